// time_conv.h - the system clock and conversions between seconds and broken-down time.
#pragma once

#include <cstdint>
#include <ctime>

// Seconds since 1970 and the microseconds within the second.
void platform_now(int64_t* seconds, int32_t* microseconds);
// Thread-safe breakdown as local time or UTC.
void platform_local_tm(int64_t seconds, struct tm* out);
void platform_utc_tm(int64_t seconds, struct tm* out);
// Broken-down time (taken as local time or as UTC) to seconds since 1970.
int64_t platform_local_mktime(struct tm* broken_down);
int64_t platform_utc_mktime(struct tm* broken_down);
