// status_time.h - the current time and date as the texts the statements stamp rows with.
//
// The status rows, the reset statements and the start-up's own status rows call these on
// whatever thread builds the statement; they read the program's clock (clock.h) and keep
// nothing, so any thread may call them at once.
//
// Which clock: local time for the status table (kind 30), which an operator reads; UTC for
// the price history, the corporate actions and the adjusted history (kinds 4, 11, 252 and
// 253), whose dates must not move with the server's time zone; for every other kind local
// time when `localtime` is set, UTC otherwise.
#pragma once

#include <cstdint>

// A small fixed text; no allocation.
struct ClockText {
    char text[32];
    const char* c_str() const { return text; }
};

// Whether rows of message `kind` are stamped in local time (else UTC).
bool stamps_local_time(unsigned kind);

// "%02d:%02d:%02d" (hour, minute, second) of now, in the clock of `kind`.
ClockText time_text(unsigned kind);
// "%d-%02d-%02d" (year, month, day) of now, in the clock of `kind`.
ClockText date_text(unsigned kind);

// The same for a given moment (seconds since 1970), for callers that stamp a date and a
// time of one instant.
ClockText time_text_at(int64_t seconds, unsigned kind);
ClockText date_text_at(int64_t seconds, unsigned kind);
