// log.h - the program's one logging call and the SQL log.
//
// log_message sends a line to the system log, to the console (unless `silent`) and, when a
// facility is configured, to a syslog server over UDP. sql_log_write appends to the daily
// SQL log file when `logsqlpath` is set. Both may be called from any thread at once and
// never fail their caller.
#pragma once

#include <cstdint>

// Log levels, in the manner of syslog severities.
enum LogLevel : int {
    LOG_LEVEL_ERROR = 2,    // errors, fatal start-up conditions
    LOG_LEVEL_PROBLEM = 3,  // recoverable problems
    LOG_LEVEL_WARNING = 4,  // warnings of the database check
    LOG_LEVEL_INFO = 6      // information
};

// Longest message text: longer messages are cut to this many characters.
inline constexpr int kLogMessageMax = 10247;

int log_message(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Interprets the `facility` setting and opens syslog. Returns 1 when the start-up may go
// on (syslog on or deliberately off), 0 when the facility does not exist (logged).
int setup_syslog();
void syslog_open(const char* identity, int options, int facility_value);
void syslog_send(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

void sql_log_write(int connection, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Tests observe what the program logs through this hook (one observer at a time; nullptr
// removes it). It is called with the finished, cut text after the other destinations.
using LogObserver = void (*)(int level, const char* text, void* context);
void log_set_observer(LogObserver observer, void* context);
