// system_log.cpp - the system log through syslog(3).
//
// openlog runs once (glibc keeps the identity pointer, so it points at a literal); syslog
// itself is thread-safe. No LOG_CONS: a machine without a log daemon must not get every
// line of the program on its system console.
#include "platform/system_log.h"

#include <syslog.h>

#include <mutex>

void platform_system_log(int level, const char* text) {
    static std::once_flag opened;
    std::call_once(opened, [] { openlog(kSystemLogSource, LOG_PID | LOG_NDELAY, LOG_DAEMON); });
    int severity = level == 2 ? LOG_ERR : level == 3 ? LOG_WARNING : LOG_INFO;
    syslog(severity, "%s", text);
}
