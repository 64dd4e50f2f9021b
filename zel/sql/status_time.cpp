// status_time.cpp - the time and date texts of the statements (see status_time.h).
#include "zel/sql/status_time.h"

#include <cstdio>
#include <ctime>

#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/message_kinds.h"

namespace {

struct tm broken_down(int64_t seconds, unsigned kind) {
    return stamps_local_time(kind) ? local_tm(seconds) : utc_tm(seconds);
}

}  // namespace

bool stamps_local_time(unsigned kind) {
    switch (kind) {
        case KIND_STATUS:
            return true;
        case KIND_PRICE_HISTORY:
        case KIND_CORPORATE_ACTION:
        case KIND_ADJUSTED_HISTORY:
        case KIND_HISTORY_ADJUSTMENT:
            return false;
        default:
            return g_config.localtime != 0;
    }
}

ClockText time_text_at(int64_t seconds, unsigned kind) {
    struct tm t = broken_down(seconds, kind);
    ClockText out;
    std::snprintf(out.text, sizeof out.text, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    return out;
}

ClockText date_text_at(int64_t seconds, unsigned kind) {
    struct tm t = broken_down(seconds, kind);
    ClockText out;
    std::snprintf(out.text, sizeof out.text, "%d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday);
    return out;
}

ClockText time_text(unsigned kind) {
    return time_text_at(now_seconds(), kind);
}

ClockText date_text(unsigned kind) {
    return date_text_at(now_seconds(), kind);
}
