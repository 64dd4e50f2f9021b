// time_conv.cpp - POSIX clock and time conversions (clock_gettime, localtime_r, timegm).
#include "platform/time_conv.h"

#include <time.h>

void platform_now(int64_t* seconds, int32_t* microseconds) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    *seconds = ts.tv_sec;
    if (microseconds) *microseconds = static_cast<int32_t>(ts.tv_nsec / 1000);
}

void platform_local_tm(int64_t seconds, struct tm* out) {
    time_t t = static_cast<time_t>(seconds);
    localtime_r(&t, out);
}

void platform_utc_tm(int64_t seconds, struct tm* out) {
    time_t t = static_cast<time_t>(seconds);
    gmtime_r(&t, out);
}

int64_t platform_local_mktime(struct tm* broken_down) { return mktime(broken_down); }

int64_t platform_utc_mktime(struct tm* broken_down) { return timegm(broken_down); }
