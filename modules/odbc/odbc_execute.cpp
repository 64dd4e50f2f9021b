/*
 * odbc_execute.cpp - statements, queries and quoted values of the ODBC module.
 *
 * zel's statement execution calls mod_executesql and mod_querysql on a database thread's own
 * connection, and its statement builders call mod_add_value on the same thread; nothing here
 * is shared between connections, so no lock is taken.
 *
 * Transactions are the driver's: with autocommit off every statement joins the open
 * transaction, and "COMMIT" ends it through the driver rather than as statement text.
 */
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "modules/common/utf8_limit.h"
#include "modules/odbc/odbc_connection.h"

using namespace zel_odbc;

namespace {

constexpr const char* not_connected = "Not connected to the database server";
constexpr const char* conversion_failed = "Error converting the UTF-8 query to UTF-16";

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

bool append_value(DbConnection& conn, const char* text) {
    auto* node = static_cast<ResultValue*>(std::calloc(1, sizeof(ResultValue)));
    if (node == nullptr) return false;
    if (text != nullptr) {
        node->value = strdup(text);
        if (node->value == nullptr) {
            std::free(node);
            return false;
        }
    }
    if (conn.result_tail == nullptr)
        conn.result_head = node;
    else
        conn.result_tail->next = node;
    conn.result_tail = node;
    return true;
}

// The query result's failure: what was read so far is dropped, so that a caller never takes
// part of an answer for all of it.
ResultValue* fail_query(DbConnection& conn, int32_t* status, int32_t code) {
    mod_freeresult(&conn);
    *status = code == ZEL_RESULT_FAILED ? ZEL_RESULT_REJECTED : code;
    return nullptr;
}

}  // namespace

namespace zel_odbc {

SQLRETURN execute_direct(DbConnection& conn, const char* text) {
    if (conn.narrow)
        return SQLExecDirect(conn.stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text)),
                             SQL_NTS);
    return SQLExecDirectW(conn.stmt, reinterpret_cast<SQLWCHAR*>(conn.wide.data()), SQL_NTS);
}

int32_t affected_rows(DbConnection& conn) {
    SQLLEN count = 0;
    if (!succeeded(SQLRowCount(conn.stmt, &count)) || count < 0) return 0;
    // Drivers that count rather than answer "no data" (MariaDB's) get the same text, so that
    // zel's log says why an UPDATE was followed by an INSERT.
    if (count == 0) set_error(conn, "No rows matched the WHERE statement", 0);
    return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

}  // namespace zel_odbc

extern "C" {

int32_t mod_executesql(DbConnection* conn, const char* statement) {
    if (conn == nullptr) return ZEL_RESULT_FAILED;  // an invalid call, as for every module
    clear_error(*conn);
    if (conn->stmt == SQL_NULL_HSTMT) {
        set_error(*conn, not_connected, 0);
        return ZEL_RESULT_LOST;
    }
    // With autocommit off the transaction is the driver's: it ends it, so that the driver's
    // own idea of an open transaction stays true. A ROLLBACK sent as text would end the
    // transaction behind the back of a driver that keeps one (SQLite's), whose next commit
    // would then fail.
    const bool commit = statement != nullptr && std::strcmp(statement, "COMMIT") == 0;
    const bool rollback = statement != nullptr && std::strcmp(statement, "ROLLBACK") == 0 &&
                          conn->params != nullptr && conn->params->use_transactions == 1;
    if (commit || rollback) {
        conn->wrote = false;
        if (!succeeded(SQLEndTran(SQL_HANDLE_DBC, conn->dbc, commit ? SQL_COMMIT : SQL_ROLLBACK)))
            return diagnose(*conn, SQL_HANDLE_DBC, conn->dbc);
        return 0;
    }
    conn->wrote = true;
    SQLFreeStmt(conn->stmt, SQL_CLOSE);
    if (!to_wide(*conn, statement)) {
        set_error(*conn, conversion_failed, 0);
        return ZEL_RESULT_REJECTED;
    }
    SQLRETURN rc = execute_direct(*conn, statement);
    if (rc == SQL_NO_DATA) {
        set_error(*conn, "No rows matched the WHERE statement", 0);
        return 0;
    }
    if (!succeeded(rc)) return diagnose(*conn, SQL_HANDLE_STMT, conn->stmt);
    return affected_rows(*conn);
}

ResultValue* mod_querysql(DbConnection* conn, const char* query, int32_t* status) {
    int32_t ignored = 0;
    if (status == nullptr) status = &ignored;
    if (conn == nullptr) {
        *status = ZEL_RESULT_FAILED;
        return nullptr;
    }
    mod_freeresult(conn);
    clear_error(*conn);
    if (conn->stmt == SQL_NULL_HSTMT) {
        set_error(*conn, not_connected, 0);
        *status = ZEL_RESULT_LOST;
        return nullptr;
    }
    SQLFreeStmt(conn->stmt, SQL_CLOSE);
    if (!to_wide(*conn, query)) {
        set_error(*conn, conversion_failed, 0);
        *status = ZEL_RESULT_FAILED;
        return nullptr;
    }
    SQLRETURN rc = execute_direct(*conn, query);
    *status = 0;
    if (rc == SQL_NO_DATA) return nullptr;  // a statement that matched no row
    if (!succeeded(rc)) {
        *status = diagnose(*conn, SQL_HANDLE_STMT, conn->stmt);
        return nullptr;
    }
    SQLSMALLINT columns = 0;
    if (!succeeded(SQLNumResultCols(conn->stmt, &columns)))
        return fail_query(*conn, status, diagnose(*conn, SQL_HANDLE_STMT, conn->stmt));
    if (columns <= 0) return nullptr;  // nothing to read: no rows

    try {
        std::string value;
        for (;;) {
            rc = SQLFetch(conn->stmt);
            if (rc == SQL_NO_DATA) break;
            // A fetch that fails ends the reading with the driver's error, never with a
            // result that looks complete.
            if (!succeeded(rc))
                return fail_query(*conn, status, diagnose(*conn, SQL_HANDLE_STMT, conn->stmt));
            for (SQLSMALLINT column = 1; column <= columns; ++column) {
                bool is_null = false;
                int32_t read =
                    read_text(*conn, static_cast<SQLUSMALLINT>(column), &value, &is_null);
                if (read != 1) return fail_query(*conn, status, read);
                if (!append_value(*conn, is_null ? nullptr : value.c_str())) {
                    set_error(*conn, "Out of memory while reading the query result", 0);
                    return fail_query(*conn, status, ZEL_RESULT_REJECTED);
                }
            }
        }
    } catch (const std::bad_alloc&) {
        set_error(*conn, "Out of memory while reading the query result", 0);
        return fail_query(*conn, status, ZEL_RESULT_REJECTED);
    }
    SQLFreeStmt(conn->stmt, SQL_CLOSE);
    // With autocommit off a query opens a transaction too. One that has only read is ended
    // here: otherwise it would keep its snapshot or read lock while the thread waits for
    // work, and on SQLite every other connection's writes would wait for it.
    if (!conn->wrote && conn->params != nullptr && conn->params->use_transactions == 1)
        SQLEndTran(SQL_HANDLE_DBC, conn->dbc, SQL_COMMIT);
    return conn->result_head;
}

const char* mod_add_value(DbConnection* conn, const char* value, uint64_t max_chars) {
    if (conn == nullptr || value == nullptr) return nullptr;
    const size_t length = std::strlen(value);
    const size_t n = zel_utf8_limit(value, length, max_chars, nullptr);
    const size_t needed = 2 * n + 4;
    if (conn->scratch.size() < needed) {
        try {
            conn->scratch.resize(needed / 1024 * 1024 + 1024);
        } catch (const std::bad_alloc&) {
            set_error(*conn, "Out of memory while quoting a value", 0);
            return nullptr;
        }
    }
    quote_value(conn->kind, value, n, conn->scratch.data());
    return conn->scratch.data();
}

}  // extern "C"
