/*
 * odbc_batch.cpp - mod_executebatch of the ODBC module: several statements in one round trip
 * where the server and its driver allow it, one at a time everywhere else.
 *
 * zel's database threads call it on their own connection (convention 11 of zel_module.h);
 * nothing here is shared between connections, so no lock is taken.
 *
 * MySQL and MariaDB run several statements sent as one text when the connection allows multi
 * statements (Connector/ODBC's option bit, which connection_string_for adds; connect checks
 * with try_joined_statements that the server really takes them). The server runs them in
 * order and stops at the first that fails, the batch's own contract, and the driver hands
 * back one result per statement, walked with SQLMoreResults. Only statements that
 * mysql_statement_joinable accepts are joined: their text is sent unchanged, and the server's
 * split falls exactly on the joins. Everything else, and every statement on other servers,
 * runs alone through mod_executesql: psqlODBC would run a joined text as one implicit
 * transaction under one savepoint (a failure would undo the statements before it), and a
 * SQLite file is no round trip away.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "modules/odbc/odbc_connection.h"

using namespace zel_odbc;

namespace {

// Far below the smallest max_allowed_packet a server is likely to have (1 MB): a longer run
// of statements goes out in several texts.
constexpr size_t kJoinedBytes = 512 * 1024;

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// Runs a text of the module's own on the statement handle.
SQLRETURN run_text(DbConnection& conn, const char* text) {
    SQLFreeStmt(conn.stmt, SQL_CLOSE);
    if (!conn.narrow && !to_wide(conn, text)) return SQL_ERROR;
    return execute_direct(conn, text);
}

bool joinable(DbConnection& conn, const char* text) {
    // A text mod_executesql would refuse (not UTF-8) is left to it, so that it fails alone.
    return text != nullptr && mysql_statement_joinable(text) && to_wide(conn, text);
}

// Result i as mod_executesql's caller would see it: the error text and code that
// mod_geterrorstring and mod_getlasterror give now, kept for the batch's caller.
void fill(DbConnection& conn, int32_t i, int32_t result, ZelBatchResult& out) {
    out.result = result;
    out.error_code = 0;
    out.error = nullptr;
    if (result > 0 || !conn.has_error) return;
    try {
        conn.batch_errors[static_cast<size_t>(i)] = conn.error_text;
        out.error = conn.batch_errors[static_cast<size_t>(i)].c_str();
    } catch (const std::bad_alloc&) {
        out.error = nullptr;
    }
    out.error_code = conn.error_code;
}

// The failure of a statement after the first of a joined text. Connector/ODBC reports it as
// HY000 with native error 0, whatever the server said; the server's own SQLSTATE and error
// number are still in its diagnostics area, which GET DIAGNOSTICS reads without clearing.
// The result is then what mod_executesql would have said for the statement alone: a
// duplicate key is -1, a deadlock -3, not -4.
int32_t diagnose_later_statement(DbConnection& conn) {
    int32_t code = diagnose(conn, SQL_HANDLE_STMT, conn.stmt);
    if (code == ZEL_RESULT_LOST) return code;
    std::string message = conn.error_text;
    const int32_t native = conn.error_code;
    // The driver's message ends with its own SQLSTATE, " (HY000)"; the server's replaces it.
    const size_t mark = message.rfind(" (");
    if (mark != std::string::npos && message.size() - mark == 8) message.erase(mark);

    std::string sqlstate, number;
    bool is_null = false;
    SQLRETURN rc = run_text(conn,
                            "GET DIAGNOSTICS CONDITION 1 @zel_sqlstate = RETURNED_SQLSTATE, "
                            "@zel_errno = MYSQL_ERRNO");
    if (succeeded(rc)) rc = run_text(conn, "SELECT @zel_sqlstate, @zel_errno");
    if (succeeded(rc)) rc = SQLFetch(conn.stmt);
    int32_t read = succeeded(rc) ? 1 : diagnose(conn, SQL_HANDLE_STMT, conn.stmt);
    if (read == 1) read = read_text(conn, 1, &sqlstate, &is_null);
    if (read == 1 && !is_null) read = read_text(conn, 2, &number, &is_null);
    SQLFreeStmt(conn.stmt, SQL_CLOSE);
    if (read != 1 || is_null || sqlstate.size() != 5) {
        // Nothing more to learn: the connection went (-2), or the statement failed for a
        // reason the module cannot name (-4).
        const bool lost = read == ZEL_RESULT_LOST;
        set_error(conn, (message + " (HY000)").c_str(), native);
        return lost ? ZEL_RESULT_LOST : ZEL_RESULT_REJECTED;
    }
    set_error(conn, (message + " (" + sqlstate + ")").c_str(),
              static_cast<int32_t>(std::strtol(number.c_str(), nullptr, 10)));
    return classify_sqlstate(sqlstate.c_str());
}

// Runs statements[first, first + n) joined into one text and fills their results; returns
// how many ran. It stops after the first negative result, as the server did.
int32_t run_joined(DbConnection& conn, const char* const* statements, int32_t first, int32_t n,
                   ZelBatchResult* results) {
    try {
        conn.joined.clear();
        for (int32_t i = 0; i < n; ++i) {
            if (i > 0) conn.joined += ';';
            conn.joined += statements[first + i];
        }
    } catch (const std::bad_alloc&) {
        return 0;  // the caller runs them one at a time
    }
    conn.wrote = true;
    clear_error(conn);
    SQLFreeStmt(conn.stmt, SQL_CLOSE);
    if (!conn.narrow && !to_wide(conn, conn.joined.c_str())) return 0;
    SQLRETURN rc = execute_direct(conn, conn.joined.c_str());
    for (int32_t i = 0; i < n; ++i) {
        if (i > 0) {
            rc = SQLMoreResults(conn.stmt);
            // No answer for this statement though none failed before it: the server ran no
            // more. The caller sends the rest again.
            if (rc == SQL_NO_DATA) return i;
        }
        clear_error(conn);
        int32_t r;
        if (rc == SQL_NO_DATA) {
            set_error(conn, "No rows matched the WHERE statement", 0);
            r = 0;
        } else if (succeeded(rc)) {
            r = affected_rows(conn);
        } else {
            r = i == 0 ? diagnose(conn, SQL_HANDLE_STMT, conn.stmt)
                       : diagnose_later_statement(conn);
        }
        fill(conn, first + i, r, results[first + i]);
        if (r < 0) return i + 1;
    }
    // The server answered every statement; anything after would be an answer to a statement
    // the texts did not hold, and must not stay in the way of the next call.
    while (succeeded(SQLMoreResults(conn.stmt))) {
    }
    return n;
}

}  // namespace

namespace zel_odbc {

bool try_joined_statements(DbConnection& conn) {
    if (conn.stmt == SQL_NULL_HSTMT) return false;
    SQLRETURN rc = run_text(conn, "DO 1;DO 1");
    bool joins = succeeded(rc);
    if (joins) joins = succeeded(SQLMoreResults(conn.stmt));
    if (joins) joins = SQLMoreResults(conn.stmt) == SQL_NO_DATA;
    if (!joins) {
        if (!succeeded(rc)) diagnose(conn, SQL_HANDLE_STMT, conn.stmt);
        std::fprintf(stderr,
                     "The server does not take several statements in one text (%s): batches "
                     "are sent one statement at a time\n",
                     conn.has_error ? conn.error_text.c_str() : "a second answer is missing");
    }
    SQLFreeStmt(conn.stmt, SQL_CLOSE);
    return joins;
}

}  // namespace zel_odbc

extern "C" {

int32_t mod_executebatch(DbConnection* conn, const char* const* statements, int32_t count,
                         ZelBatchResult* results) {
    if (conn == nullptr) return -1;
    if (statements == nullptr || results == nullptr || count < 0) {
        set_error(*conn, "No statements given", 0);
        return -1;
    }
    try {
        conn->batch_errors.assign(static_cast<size_t>(count), std::string());
    } catch (const std::bad_alloc&) {
        set_error(*conn, "Out of memory while taking a batch of statements", 0);
        return -1;
    }
    int32_t done = 0;
    while (done < count) {
        int32_t end = done;
        if (conn->joins && conn->stmt != SQL_NULL_HSTMT) {
            size_t bytes = 0;
            while (end < count && joinable(*conn, statements[end])) {
                bytes += std::strlen(statements[end]) + 1;
                if (end > done && bytes > kJoinedBytes) break;
                ++end;
            }
        }
        const int32_t wanted = end - done;
        if (wanted >= 2) {
            const int32_t ran = run_joined(*conn, statements, done, wanted, results);
            if (ran > 0) {
                done += ran;
                if (ran < wanted || results[done - 1].result < 0) break;
                continue;
            }
        }
        // One statement alone, or a text the server would not take joined.
        const int32_t r = mod_executesql(conn, statements[done]);
        fill(*conn, done, r, results[done]);
        ++done;
        if (r < 0) break;
    }
    return done;
}

}  // extern "C"
