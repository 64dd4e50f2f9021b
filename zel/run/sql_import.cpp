// sql_import.cpp - the import mode: the dump reader and the loop that executes what it reads
// (see sql_import.h).
//
// Main thread only, called by the start-up sequence before the program's threads exist;
// the reader's buffer is the only state and belongs to its DumpReader.
//
// The reader holds one line at a time, so an import needs the memory of its longest line
// whatever the size of the dump. zlib reads both kinds of input: a file without the gzip
// signature passes through its reader unchanged. Its gzgetc ends a damaged or cut-off gzip
// stream with -1 just as it ends a sound one; gzerror tells them apart, and the reader
// reports the damage rather than taking it for the end of the dump.
#include "zel/run/sql_import.h"

#include <zlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>

#include "platform/files.h"
#include "zel/base/log.h"
#include "zel/modload/module_loader.h"

namespace {

// Statements between two progress lines.
constexpr uint64_t kProgressEvery = 1000;
// zlib's input buffer: large reads from the file, the same decompressed bytes either way.
constexpr unsigned kReadBufferBytes = 256 * 1024;

// The byte stored for the byte after a backslash; -1: the pair stores nothing, -2: a quote,
// stored as two (the server reads a doubled quote as one, without backslash escapes).
int escaped(int c) {
    switch (c) {
        case '%':
            return '%';
        case '\'':
            return -2;
        case '"':
            return '"';
        case '\\':
            return '\\';
        case '_':
            return '_';
        case 'b':
            return 8;
        case 'n':
            return 10;
        case 'r':
            return 13;
        case 't':
            return 9;
        default:
            return -1;
    }
}

bool starts_with_word(const char*& text, const char* word) {
    size_t n = std::strlen(word);
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    text += n;
    return true;
}

void skip_blanks(const char*& text) {
    while (*text == ' ' || *text == '\t')
        ++text;
}

void print_progress(FILE* progress, const ImportTotals& totals) {
    std::fprintf(progress, "\rSuccess:%" PRIu64 " Failed:%" PRIu64, totals.succeeded,
                 totals.failed);
    std::fflush(progress);
}

}  // namespace

DumpReader::~DumpReader() {
    close();
}

bool DumpReader::open(const char* path) {
    close();
    buffer_.clear();
    damage_.clear();
    newlines_ = statement_line_ = 0;
    path_ = path;
    escapes_ = !keep_escapes_;
    ended_ = false;
    if (std::strcmp(path, "-") == 0) {
        file_ = gzdopen(platform_binary_standard_input(), "rb");
    } else {
        file_ = gzopen(path, "rb");
    }
    if (!file_) return false;
    gzbuffer(file_, kReadBufferBytes);
    return true;
}

void DumpReader::close() {
    if (file_) gzclose(file_);
    file_ = nullptr;
}

DumpReadResult DumpReader::read_line() {
    buffer_.clear();
    statement_line_ = newlines_ + 1;
    // A line that begins with a backslash is a command for an interactive client, not SQL:
    // it is kept as written, so that it can be recognised.
    bool client_command = false;
    try {
        for (;;) {
            int c = gzgetc(file_);
            if (c == -1) break;
            if (c == '\n') ++newlines_;
            if (c == '\n' || c == '\r') return DUMP_STATEMENT;
            if (buffer_.empty() && c == '\\') client_command = true;
            if (c != '\\' || !escapes_ || client_command) {
                buffer_.push_back(static_cast<char>(c));
                continue;
            }
            c = gzgetc(file_);
            if (c == -1) break;
            if (c == '\n') ++newlines_;  // the pair joins two lines
            int stored = escaped(c);
            if (stored == -2) {
                buffer_.append("''");
            } else if (stored >= 0) {
                buffer_.push_back(static_cast<char>(stored));
            }
        }
    } catch (const std::bad_alloc&) {
        return DUMP_NO_MEMORY;
    }
    int code = Z_OK;
    const char* message = gzerror(file_, &code);
    if (code != Z_OK) {
        damage_ = code == Z_ERRNO ? std::strerror(errno) : (message ? message : "read error");
        // zlib puts the file name first; the caller names the file itself.
        if (damage_.compare(0, path_.size() + 2, path_ + ": ") == 0)
            damage_.erase(0, path_.size() + 2);
        return DUMP_DAMAGED;
    }
    ended_ = true;
    return DUMP_STATEMENT;
}

bool DumpReader::worth_executing() const {
    if (buffer_.size() < 3) return false;
    if (buffer_.compare(0, 2, "--") == 0 || buffer_.compare(0, 2, "/*") == 0) return false;
    // The guard that newer dump tools put around a dump against commands smuggled into it
    // in data: it means nothing to the server, and the import runs no client commands
    // anyway. Other client commands are sent, fail and are reported.
    return buffer_.compare(0, 10, "\\restrict ") != 0 &&
           buffer_.compare(0, 12, "\\unrestrict ") != 0;
}

// A dump that sets standard_conforming_strings was written for a server that reads its
// literals itself: backslashes in it are data (or the server's own escapes), and turning
// them into something else would change the rows.
void DumpReader::notice_string_syntax() {
    const char* text = buffer_.c_str();
    skip_blanks(text);
    if (!starts_with_word(text, "set")) return;
    if (*text != ' ' && *text != '\t') return;
    skip_blanks(text);
    if (!starts_with_word(text, "standard_conforming_strings")) return;
    skip_blanks(text);
    if (*text == '=' || starts_with_word(text, "to")) escapes_ = false;
}

DumpReadResult DumpReader::next() {
    if (!file_) return DUMP_END;
    while (!ended_) {
        DumpReadResult result = read_line();
        if (result != DUMP_STATEMENT) {
            buffer_.clear();
            return result;
        }
        if (!worth_executing()) continue;
        if (escapes_) notice_string_syntax();
        return DUMP_STATEMENT;
    }
    buffer_.clear();
    return DUMP_END;
}

// A literal of two backslashes: one backslash from a server that reads escapes, both from
// one that reads standard SQL. The same text on every server, so no dialect is guessed.
bool server_reads_backslash_escapes(DbConnection* connection) {
    if (g_module.mod_querysql == nullptr) return false;
    int32_t status = 0;
    ResultValue* result = g_module.mod_querysql(connection, "SELECT '\\\\'", &status);
    const bool reads = status >= 0 && result != nullptr && result->value != nullptr &&
                       std::strcmp(result->value, "\\") == 0;
    if (g_module.mod_freeresult != nullptr) g_module.mod_freeresult(connection);
    return reads;
}

int sql_import(const char* path, DbConnection* connection, FILE* out, FILE* progress,
               ImportTotals* totals_out, const ImportMode& mode) {
    ImportTotals totals;
    DumpReader reader;
    // Translating "\\" into "\" for a server that reads escapes would turn the backslash
    // into the start of one: such a server gets the dump's literals as they were written.
    const bool server_escapes = server_reads_backslash_escapes(connection);
    reader.keep_escapes(server_escapes);
    if (server_escapes)
        log_message(LOG_LEVEL_INFO,
                    "The server reads backslash escapes: the statements are sent as written");
    errno = 0;
    if (!reader.open(path)) {
        log_message(LOG_LEVEL_ERROR, "Error opening file: %s", path);
        if (errno != 0) log_message(LOG_LEVEL_ERROR, "%s: %s", path, std::strerror(errno));
        if (totals_out) *totals_out = totals;
        return 0;
    }
    bool complete = true;
    DumpReadResult read;
    while ((read = reader.next()) == DUMP_STATEMENT) {
        int32_t result = g_module.mod_executesql(connection, reader.text());
        // A statement counts as executed once it is committed; a commit that fails (the
        // server gave up the transaction) is the statement's failure.
        if (mode.commit_each && result >= 0) result = g_module.mod_executesql(connection, "COMMIT");
        ++totals.executed;
        if (result >= 0) {
            ++totals.succeeded;
        } else {
            ++totals.failed;
            const char* error = g_module.mod_geterrorstring(connection);
            std::fprintf(out, "'%s' DB:%s\n", reader.text(), error ? error : "Unknown error");
            // A server that gives up the whole transaction at a failed statement would
            // refuse every statement after it until the transaction ends.
            if (mode.commit_each && result != ZEL_RESULT_LOST)
                g_module.mod_executesql(connection, "ROLLBACK");
        }
        if (totals.executed % kProgressEvery == 0) print_progress(progress, totals);
        if (result == ZEL_RESULT_LOST) {
            // Every further statement would fail the same way, each printed in full.
            log_message(LOG_LEVEL_ERROR,
                        "The connection to the database was lost at line %" PRIu64
                        " of %s; the import stops there",
                        reader.line(), path);
            complete = false;
            break;
        }
    }
    if (read == DUMP_DAMAGED) {
        log_message(LOG_LEVEL_ERROR,
                    "Error reading %s at line %" PRIu64
                    ": %s; the statements before that line were executed, the rest of "
                    "the file is lost",
                    path, reader.lines_read(), reader.damage().c_str());
        complete = false;
    } else if (read == DUMP_NO_MEMORY) {
        log_message(LOG_LEVEL_ERROR,
                    "Out of memory reading line %" PRIu64 " of %s; the import stops there",
                    reader.lines_read(), path);
        complete = false;
    }
    reader.close();
    std::fflush(out);
    print_progress(progress, totals);
    std::fputc('\n', progress);
    std::fflush(progress);
    if (totals_out) *totals_out = totals;
    return complete && totals.failed == 0 ? 1 : 0;
}
