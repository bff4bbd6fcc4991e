#include "TimeText.h"

#include <time.h>

#include <cstdio>

namespace Platform::TimeText {

namespace {

// The local calendar time of a time in milliseconds, and its milliseconds.
tm LocalTime(std::int64_t nTime, int* pMilliseconds) {
    // Floored, so a time before the epoch keeps its milliseconds positive.
    std::int64_t nSeconds = nTime / 1000;
    std::int64_t nMilliseconds = nTime % 1000;
    if (nMilliseconds < 0) {
        nMilliseconds += 1000;
        --nSeconds;
    }
    const auto seconds = static_cast<time_t>(nSeconds);
    tm local{};
    localtime_r(&seconds, &local);
    *pMilliseconds = static_cast<int>(nMilliseconds);
    return local;
}

}  // namespace

std::string Clock(std::int64_t nTime) {
    int nMilliseconds = 0;
    const tm local = LocalTime(nTime, &nMilliseconds);
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour,
                                local.tm_min, local.tm_sec, nMilliseconds);
    return std::string(text, static_cast<std::size_t>(n));
}

std::string Stamp(std::int64_t nTime) {
    int nMilliseconds = 0;
    const tm local = LocalTime(nTime, &nMilliseconds);
    char text[48];
    const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d ",
                                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec, nMilliseconds);
    return std::string(text, static_cast<std::size_t>(n));
}

}  // namespace Platform::TimeText
