// time_conv.cpp - the Windows clock and the C runtime's 64-bit time conversions.
//
// The system time comes as 100-nanosecond ticks since 1601; the conversions use the
// runtime's _s and 64-bit forms, which are thread-safe and good beyond 2038.
#include "platform/time_conv.h"

#include <windows.h>

#include <time.h>

namespace {

// Ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDifferenceTicks = 116444736000000000LL;

}  // namespace

void platform_now(int64_t* seconds, int32_t* microseconds) {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    int64_t ticks = (static_cast<int64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
                    kEpochDifferenceTicks;
    *seconds = ticks / 10000000;
    if (microseconds) *microseconds = static_cast<int32_t>(ticks % 10000000 / 10);
}

void platform_local_tm(int64_t seconds, struct tm* out) {
    __time64_t t = seconds;
    _localtime64_s(out, &t);
}

void platform_utc_tm(int64_t seconds, struct tm* out) {
    __time64_t t = seconds;
    _gmtime64_s(out, &t);
}

int64_t platform_local_mktime(struct tm* broken_down) {
    return _mktime64(broken_down);
}

int64_t platform_utc_mktime(struct tm* broken_down) {
    return _mkgmtime64(broken_down);
}
