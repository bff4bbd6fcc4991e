#include "HandleArgument.h"

#include <gtest/gtest.h>

#include <string>

using Platform::CHandleArgument;
using Platform::ScanHandleArgument;

namespace {

void ExpectValue(const char* argument, int value) {
    const CHandleArgument scanned = ScanHandleArgument(argument);
    EXPECT_EQ(scanned.m_eKind, CHandleArgument::eValue) << '"' << argument << '"';
    EXPECT_EQ(scanned.m_nValue, value) << '"' << argument << '"';
}

void ExpectNoNumber(const char* argument) {
    EXPECT_EQ(ScanHandleArgument(argument).m_eKind, CHandleArgument::eNoNumber)
        << '"' << argument << '"';
}

void ExpectOutOfRange(const char* argument, const std::string& text) {
    const CHandleArgument scanned = ScanHandleArgument(argument);
    EXPECT_EQ(scanned.m_eKind, CHandleArgument::eOutOfRange) << '"' << argument << '"';
    EXPECT_EQ(scanned.m_text, text);
}

}  // namespace

TEST(ScanHandleArgument, ReadsALeadingNumberAndIgnoresTheRest) {
    ExpectValue("1234", 1234);
    ExpectValue("12abc", 12);
    ExpectValue("-5", -5);
    ExpectValue("-1", -1);
    ExpectValue("+7", 7);
    ExpectValue(" \t\n\v\f\r42", 42);
    ExpectValue("0x10", 0);
    ExpectValue("007", 7);
    ExpectValue("12 34", 12);
    ExpectValue("2147483647", 2147483647);
    ExpectValue("-2147483648", -2147483647 - 1);
    ExpectValue("-0000000000002147483648", -2147483647 - 1);
}

TEST(ScanHandleArgument, SkipsWhatDoesNotBeginWithANumber) {
    ExpectNoNumber("abc");
    ExpectNoNumber("");
    ExpectNoNumber("   ");
    ExpectNoNumber("-");
    ExpectNoNumber("+-3");
    ExpectNoNumber("- 3");
    ExpectNoNumber("/opt/my");
    ExpectNoNumber(
        "\xe3\x80\x80"
        "5");  // white space outside the C locale's
}

TEST(ScanHandleArgument, ReportsValuesBeyondThirtyTwoBitsInsteadOfWrapping) {
    ExpectOutOfRange("2147483648", "2147483648");
    ExpectOutOfRange("-2147483649", "-2147483649");
    ExpectOutOfRange("4294967301x", "4294967301");  // would wrap to 5
    ExpectOutOfRange("  99999999999999999999999999", "99999999999999999999999999");
}

TEST(ScanHandleArgument, TakesTheProgramsArgumentsAsUtf8Strings) {
    const CHandleArgument scanned = ScanHandleArgument(std::string(" -12\xC3\xA9"));
    EXPECT_EQ(scanned.m_eKind, CHandleArgument::eValue);
    EXPECT_EQ(scanned.m_nValue, -12);
    EXPECT_EQ(ScanHandleArgument(std::string()).m_eKind, CHandleArgument::eNoNumber);
}
