// clock.h - the program's clock: seconds since 1970 and their breakdown.
//
// Everything that decides by time (queue delays, the logon watch, the news timeout, the
// supervisor's outage timer, the SQL log's day) reads the clock here, so tests can replace
// it with one they move by hand. The replacement is installed before the threads start.
#pragma once

#include <cstdint>
#include <ctime>

int64_t now_seconds();
// Current time with microseconds, for the console and log time stamps.
void now_timeval(int64_t* seconds, int32_t* microseconds);

// Breaks seconds since 1970 down as local time or as UTC (thread-safe).
struct tm local_tm(int64_t seconds);
struct tm utc_tm(int64_t seconds);
// Local broken-down time (month 1-12 etc. left as struct tm has them) to seconds.
int64_t local_mktime(struct tm* broken_down);
int64_t utc_mktime(struct tm* broken_down);

// Test clock: every later now_seconds() returns what `source` returns. nullptr restores
// the system clock.
using ClockSource = int64_t (*)();
void set_clock_source(ClockSource source);
