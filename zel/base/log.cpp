// log.cpp - log_message: one call, three destinations (system log, console, syslog).
//
// Called from every thread. Each call formats into its own stack buffer and hands each
// destination one finished piece, so concurrent lines never interleave; the only shared
// state is the test observer, read under its own lock.
#include "zel/base/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/system_log.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"

namespace {

std::mutex g_observer_lock;
LogObserver g_observer = nullptr;    // guarded by g_observer_lock
void* g_observer_context = nullptr;  // guarded by g_observer_lock

}  // namespace

void log_set_observer(LogObserver observer, void* context) {
    std::lock_guard<std::mutex> hold(g_observer_lock);
    g_observer = observer;
    g_observer_context = context;
}

int log_message(int level, const char* format, ...) {
    char text[kLogMessageMax + 1];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) text[0] = '\0';

    if (g_config.syslog_enabled) syslog_send(level, "%s", text);

    platform_system_log(level, text);

    if (!g_config.silent) {
        struct tm now = local_tm(now_seconds());
        // One fwrite per line: stdio locks the stream per call, so lines of different
        // threads stay whole.
        char line[sizeof text + 16];
        int line_length = std::snprintf(line, sizeof line, "%02d:%02d:%02d  %s\n", now.tm_hour,
                                        now.tm_min, now.tm_sec, text);
        if (line_length > 0) {
            std::fwrite(line, 1, static_cast<size_t>(line_length), stdout);
            std::fflush(stdout);
        }
    }

    std::lock_guard<std::mutex> hold(g_observer_lock);
    if (g_observer) g_observer(level, text, g_observer_context);
    return 1;
}
