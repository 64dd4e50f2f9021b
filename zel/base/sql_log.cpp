// sql_log.cpp - sql_log_write: the daily SQL log file of the database threads.
//
// The four database threads write here at once. The open file and the date it was opened
// for are kept here rather than in Config and are guarded by g_sql_log_lock, which is held
// for the date check, the file switch and the write of one line: a line can never land in
// a file that another thread has just closed, and a new day opens exactly one file.
#include "zel/base/sql_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/files.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"

namespace {

std::mutex g_sql_log_lock;
FILE* g_sql_log_file = nullptr;  // guarded by g_sql_log_lock
// Year, month and day the open file belongs to (0 before the first line). The whole date is
// compared, not only the day of the month: a program that logs nothing for exactly a month
// must not append the new day's statements to the old day's file.
int g_sql_log_date = 0;  // guarded by g_sql_log_lock

}  // namespace

void sql_log_write(int connection, const char* format, ...) {
    const std::string& directory = g_config.logsqlpath;
    if (directory.empty()) return;

    char text[kLogMessageMax + 1];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) text[0] = '\0';
    struct tm now = local_tm(now_seconds());
    int date = (now.tm_year + 1900) * 10000 + (now.tm_mon + 1) * 100 + now.tm_mday;

    std::lock_guard<std::mutex> hold(g_sql_log_lock);
    if (date != g_sql_log_date) {
        if (g_sql_log_file) std::fclose(g_sql_log_file);
        g_sql_log_file = nullptr;
        g_sql_log_date = date;
    }
    if (!g_sql_log_file) {
        // An existing directory is the usual case; a real failure shows in the open below.
        platform_make_directory(directory.c_str());
        char name[4096];
        std::snprintf(name, sizeof name, "%sSQ%02d%02d%02d.log", directory.c_str(),
                      now.tm_year % 100, now.tm_mon + 1, now.tm_mday);
        g_sql_log_file = std::fopen(name, "a");
        if (!g_sql_log_file) return;  // the next statement tries again
    }
    std::fprintf(g_sql_log_file, "%02d:%02d:%02d [%d] %s\n", now.tm_hour, now.tm_min, now.tm_sec,
                 connection, text);
    std::fflush(g_sql_log_file);
}

void sql_log_close() {
    std::lock_guard<std::mutex> hold(g_sql_log_lock);
    if (g_sql_log_file) std::fclose(g_sql_log_file);
    g_sql_log_file = nullptr;
    g_sql_log_date = 0;
}
