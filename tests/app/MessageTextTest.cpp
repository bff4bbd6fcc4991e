// The text a message gives its log line: the rules one by one, then random bytes against
// Qt's own UTF-8 decoder with the control characters made visible.
#include "MessageText.h"

#include <gtest/gtest.h>

#include <QString>

#include <random>
#include <string>

namespace {

std::string Text(const std::string& bytes) {
    std::string line = "127.0.0.1:5 -> ";
    AppendMessageText(line, bytes.data(), bytes.size());
    return line.substr(15);
}

// What the rules say, built from QString::fromUtf8, the decoder the log used before.
std::string Expected(const std::string& bytes) {
    const std::string::size_type nZero = bytes.find('\0');
    QString text = QString::fromUtf8(
        bytes.data(), static_cast<qsizetype>(nZero == std::string::npos ? bytes.size() : nZero));
    for (QChar& c : text) {
        if (c.unicode() < 0x20 && c != QLatin1Char('\t')) c = QChar(0x2400 + c.unicode());
        if (c.unicode() == 0x7F) c = QChar(0x2421);
    }
    return text.toStdString();
}

TEST(MessageTextTest, LineBreaksAndControlsBecomeVisibleSymbolsOnOneLine) {
    EXPECT_EQ(Text("a\nb"), "a\u240Ab");
    EXPECT_EQ(Text("a\rb"), "a\u240Db");
    EXPECT_EQ(Text("a\r\nb\n"), "a\u240D\u240Ab\u240A");
    EXPECT_EQ(Text("\n1.2.3.4:5 -> OnAccept"), "\u240A1.2.3.4:5 -> OnAccept");
    EXPECT_EQ(Text("\x01\x1B[2J\x1F\x7F"), "\u2401\u241B[2J\u241F\u2421");
    EXPECT_EQ(Text("tab\tstays"), "tab\tstays");
    EXPECT_EQ(Text(std::string("cut\0\nhere", 9)), "cut");
    EXPECT_EQ(Text(""), "");
    EXPECT_EQ(Text("caf\xE9"), "caf\uFFFD");
    EXPECT_EQ(Text("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");  // a surrogate, one per byte
    EXPECT_EQ(Text("日本\x80!"), "日本\uFFFD!");
    EXPECT_EQ(Text("\xF0\x9F\x98\x80"), "\U0001F600");
}

TEST(MessageTextTest, RandomBytesDecodeAsQtDecodesThemWithControlsMadeVisible) {
    // Bytes that matter most often: ASCII, controls, lead and continuation bytes, limits.
    const unsigned char alphabet[] = {'a',  ' ',  '\t', '\n', '\r', 0x00, 0x01, 0x1F, 0x7F,
                                      0x80, 0x8F, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                      0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    std::mt19937 random(20261207);
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 1);
    std::uniform_int_distribution<int> length(0, 12);
    for (int i = 0; i < 100000; ++i) {
        std::string bytes(static_cast<std::size_t>(length(random)), '\0');
        for (char& b : bytes) b = static_cast<char>(alphabet[pick(random)]);
        ASSERT_EQ(Text(bytes), Expected(bytes))
            << QByteArray::fromStdString(bytes).toHex().constData();
    }
}

}  // namespace
