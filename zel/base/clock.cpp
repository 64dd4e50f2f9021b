// clock.cpp - the program's clock, replaceable by tests (see clock.h).
#include "zel/base/clock.h"

#include <atomic>

#include "platform/time_conv.h"

namespace {
std::atomic<ClockSource> g_source{nullptr};
}

void set_clock_source(ClockSource source) { g_source.store(source); }

int64_t now_seconds() {
    if (ClockSource source = g_source.load(std::memory_order_relaxed)) return source();
    int64_t seconds;
    platform_now(&seconds, nullptr);
    return seconds;
}

void now_timeval(int64_t* seconds, int32_t* microseconds) {
    if (ClockSource source = g_source.load(std::memory_order_relaxed)) {
        *seconds = source();
        *microseconds = 0;
        return;
    }
    platform_now(seconds, microseconds);
}

struct tm local_tm(int64_t seconds) {
    struct tm out {};
    platform_local_tm(seconds, &out);
    return out;
}

struct tm utc_tm(int64_t seconds) {
    struct tm out {};
    platform_utc_tm(seconds, &out);
    return out;
}

int64_t local_mktime(struct tm* broken_down) { return platform_local_mktime(broken_down); }

int64_t utc_mktime(struct tm* broken_down) { return platform_utc_mktime(broken_down); }
