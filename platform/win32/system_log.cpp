// system_log.cpp - the Windows event log (see platform/system_log.h).
//
// Each message registers the source, reports one event and deregisters, so that nothing
// is held between messages and any thread may log at any time. The identifiers need a
// message file registered for the source by the installation (docs/windows.md); without it
// the event viewer shows the insertion string with a note that the description is missing.
// A failure is printed to standard output, since the event log cannot report itself.
#include "platform/system_log.h"

#include <windows.h>

#include <cstdio>

#include "platform/win32/event_log.h"

namespace {

thread_local EventLogOutcome t_last{};

}  // namespace

EventLogRecord platform_event_for(int level, const char* text) {
    switch (level) {
        case 2:
            return {EVENTLOG_ERROR_TYPE, 0, 0xCFFF0001u, text};
        case 3:
            return {EVENTLOG_WARNING_TYPE, 0, 0x8FFF0002u, text};
        default:
            return {EVENTLOG_INFORMATION_TYPE, 0, 0x4FFF0003u, text};
    }
}

EventLogOutcome platform_last_event() {
    return t_last;
}

void platform_system_log(int level, const char* text) {
    EventLogRecord record = platform_event_for(level, text);
    t_last = EventLogOutcome{record, 0, false};
    HANDLE source = RegisterEventSourceA(nullptr, kSystemLogSource);
    if (!source) {
        t_last.error = GetLastError();
        t_last.register_failed = true;
        std::printf("RegisterEventSource() failed: %lu\n", t_last.error);
        return;
    }
    LPCSTR strings[1] = {record.text};
    if (!ReportEventA(source, record.type, record.category, record.identifier, nullptr, 1, 0,
                      strings, nullptr)) {
        t_last.error = GetLastError();
        std::printf("ReportEvent() failed: %lu\n", t_last.error);
    }
    DeregisterEventSource(source);
}
