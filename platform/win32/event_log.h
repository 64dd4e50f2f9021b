// event_log.h - the event the Windows event log is given for one message (win32 only).
//
// Split from the call itself so that tests can check what the program reports: some
// event logs (Wine's among them) accept events and store none, so the record passed to
// ReportEvent is the one thing a test can see there.
#pragma once

#include <cstdint>

struct EventLogRecord {
    uint16_t type;        // EVENTLOG_ERROR_TYPE, _WARNING_TYPE or _INFORMATION_TYPE
    uint16_t category;    // always 0
    uint32_t identifier;  // 0xCFFF0001, 0x8FFF0002 or 0x4FFF0003
    const char* text;     // the one insertion string: the message
};

// Level 2 is an error, level 3 a warning, every other level information.
EventLogRecord platform_event_for(int level, const char* text);

// What the last platform_system_log call of this thread passed to the event log, and what
// came of it: 0 when the source was registered and the event reported, else the system
// error of the failing call (register_failed tells which).
struct EventLogOutcome {
    EventLogRecord record;
    unsigned long error;
    bool register_failed;
};
EventLogOutcome platform_last_event();
