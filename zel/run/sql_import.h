// sql_import.h - the import mode (--import=FNAME): SQL statements read from a dump file,
// plain or gzip-compressed, or from standard input, executed one by one through the loaded
// database module.
//
// The start-up sequence calls sql_import on the main thread after the database check, with
// queue 1's connection, before any other thread of the program exists; nothing here is
// shared, so nothing is locked. DumpReader is the statement reader on its own, so that it
// can be tried without a database.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "zel_module.h"

struct gzFile_s;

// What DumpReader::next found.
enum DumpReadResult {
    DUMP_STATEMENT,  // a statement is in text(); its first line is line()
    DUMP_END,        // the input ended cleanly; nothing more
    DUMP_DAMAGED,    // the input could not be read further (damage() says why); the line
                     // that was being read when it happened is dropped, not returned
    DUMP_NO_MEMORY   // a line too long for the memory there is; the import cannot go on
};

// Reads a dump and cuts it into statements: one line is one statement (a line feed or a
// carriage return ends it, semicolons do not); backslash escapes are translated as dumps
// written for servers with backslash escapes need; texts shorter than 3 bytes and lines
// that begin with "--" or "/*" are skipped. Once a dump declares how the server is to read
// backslashes (SET standard_conforming_strings, which only dumps written for such a server
// carry), its literals are already in the server's own syntax and pass unchanged.
class DumpReader {
  public:
    DumpReader() = default;
    ~DumpReader();
    DumpReader(const DumpReader&) = delete;
    DumpReader& operator=(const DumpReader&) = delete;

    // Opens `path` ("-" exactly: standard input); gzip data is decompressed, anything else
    // passes through unchanged. False when it cannot be opened (errno tells why).
    bool open(const char* path);
    DumpReadResult next();
    void close();

    const char* text() const { return buffer_.c_str(); }
    size_t length() const { return buffer_.size(); }
    // Line number (from 1) on which the statement in text() began.
    uint64_t line() const { return statement_line_; }
    // The line being read when the reading stopped: where a damaged input broke off.
    uint64_t lines_read() const { return newlines_ + 1; }
    // Why the input could not be read further, after DUMP_DAMAGED.
    const std::string& damage() const { return damage_; }
    // Whether backslash escapes are still being translated.
    bool translating_escapes() const { return escapes_; }
    // For a server that reads backslash escapes in its literals itself: the dump's text is
    // passed as written from the first line on. Takes effect at the next open().
    void keep_escapes(bool keep) { keep_escapes_ = keep; }

  private:
    // Reads one line into buffer_: DUMP_STATEMENT for a line (the last one too, ended_
    // then set), DUMP_DAMAGED or DUMP_NO_MEMORY when the line cannot be finished.
    DumpReadResult read_line();
    bool worth_executing() const;
    void notice_string_syntax();

    gzFile_s* file_ = nullptr;
    std::string buffer_;
    std::string damage_;
    std::string path_;
    uint64_t newlines_ = 0;  // line feeds read so far
    uint64_t statement_line_ = 0;
    bool escapes_ = true;
    bool keep_escapes_ = false;
    bool ended_ = false;
};

// The counters the import prints.
struct ImportTotals {
    uint64_t executed = 0;
    uint64_t succeeded = 0;
    uint64_t failed = 0;
};

// How the connection runs the statements it is given.
struct ImportMode {
    // The connection keeps every statement in an open transaction until it is told to
    // commit (a module that turns the driver's autocommit off when zel groups statements
    // in transactions). The import then commits each statement that succeeded and rolls
    // back after each that failed, so that every statement is its own transaction, as it
    // is on a connection that commits by itself: what the import counted as executed stays
    // in the database when the import is interrupted or the connection is lost.
    bool commit_each = false;
};

// Whether the server behind `connection` reads backslash escapes in string literals (it
// answers SELECT '\\' with one backslash). False when it cannot be asked.
bool server_reads_backslash_escapes(DbConnection* connection);

// Runs the import of `path` on `connection`: failures as "'%s' DB:%s\n" on `out`, the
// progress line "\rSuccess:%llu Failed:%llu" on `progress` after every 1000th statement and
// once more (with a line end) at the end. A statement succeeds when it executes without an
// error, whatever its row count. Returns 1 when the input was read to its end and every
// statement succeeded, 0 otherwise (an input that cannot be opened or is damaged, a failed
// statement, a lost connection, no memory); every cause but a failed statement is logged.
// Backslash escapes are translated for a server that reads literals the standard way and
// passed unchanged to one that reads the escapes itself (server_reads_backslash_escapes).
int sql_import(const char* path, DbConnection* connection, FILE* out, FILE* progress,
               ImportTotals* totals = nullptr, const ImportMode& mode = {});
