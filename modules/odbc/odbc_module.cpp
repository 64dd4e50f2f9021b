/*
 * odbc_module.cpp - the ODBC module's connection life: the environment, connect with server
 * detection, reconnect, disconnect, destruction, the status byte, the last error and the
 * driver's diagnostics.
 *
 * zel's module loader calls these entry points; statements are in odbc_execute.cpp, batches
 * of them in odbc_batch.cpp, the schema in odbc_schema.cpp. A DbConnection is used by one
 * thread at a time (odbc_connection.h); only its status byte is shared, and it is atomic.
 */
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "modules/odbc/odbc_connection.h"
#include "platform/utf16.h"

namespace zel_odbc {

SQLHENV environment = SQL_NULL_HENV;

namespace {

constexpr size_t initial_diagnostic = 128 / sizeof(SQLWCHAR);

// A stop request ends the wait between two reconnect attempts early, so a shutdown does not
// sit out the rest of the second.
void wait_before_retry(const DbConnection& conn) {
    for (int slice = 0; slice < 20 && conn.status.load() == ZEL_STATUS_RECONNECTING; ++slice)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void free_results(DbConnection& conn) {
    ResultValue* node = conn.result_head;
    while (node != nullptr) {
        ResultValue* next = node->next;
        std::free(node->value);
        std::free(node);
        node = next;
    }
    conn.result_head = nullptr;
    conn.result_tail = nullptr;
}

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// One SQLGetInfo text in UTF-8; empty when the driver cannot answer.
std::string info_text(SQLHDBC dbc, SQLUSMALLINT item) {
    uint16_t buffer[128] = {0};
    SQLSMALLINT length = 0;
    std::string text;
    if (succeeded(SQLGetInfoW(dbc, item, buffer, sizeof buffer, &length))) {
        size_t units = length > 0 ? static_cast<size_t>(length) / sizeof(SQLWCHAR) : 0;
        if (units >= sizeof buffer / sizeof buffer[0]) units = sizeof buffer / sizeof buffer[0] - 1;
        platform_utf16_to_utf8(buffer, units, &text);
    }
    return text;
}

// Overwrites a text that held a password before its memory is given back.
void wipe(std::vector<uint16_t>& units) {
    volatile uint16_t* p = units.data();
    for (size_t i = 0; i < units.size(); ++i)
        p[i] = 0;
}

void wipe(std::string& text) {
    volatile char* p = text.data();
    for (size_t i = 0; i < text.size(); ++i)
        p[i] = '\0';
}

// Connects with the given text; 1 on success, 0 with the reason in the error text. A
// connection for the narrow calls is made through the narrow connect: Connector/ODBC takes
// the texts of a connection made through the wide one for the application's code page and
// converts every one of them, narrow or wide.
int32_t connect_with(DbConnection& conn, const std::string& connection_string, bool narrow) {
    SQLRETURN rc;
    if (narrow) {
        std::vector<char> text(connection_string.begin(), connection_string.end());
        text.push_back('\0');
        rc = SQLDriverConnect(conn.dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                              nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
        volatile char* p = text.data();
        for (size_t i = 0; i < text.size(); ++i)
            p[i] = '\0';
    } else {
        if (!platform_utf8_to_utf16(connection_string.data(), connection_string.size(),
                                    &conn.wide)) {
            set_error(conn, "Error converting the UTF-8 connectionstring to UTF-16", 0);
            return 0;
        }
        rc = SQLDriverConnectW(conn.dbc, nullptr, reinterpret_cast<SQLWCHAR*>(conn.wide.data()),
                               SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
        wipe(conn.wide);
    }
    conn.connected_narrow = narrow;
    if (!succeeded(rc)) {
        diagnose(conn, SQL_HANDLE_DBC, conn.dbc);
        return 0;
    }
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, conn.dbc, &conn.stmt))) {
        diagnose(conn, SQL_HANDLE_DBC, conn.dbc);
        conn.stmt = SQL_NULL_HSTMT;
        SQLDisconnect(conn.dbc);
        return 0;
    }
    const ZelModuleParams* params = conn.params;
    if (params != nullptr && params->use_transactions == 1) {
        rc = SQLSetConnectAttrW(
            conn.dbc, SQL_ATTR_AUTOCOMMIT,
            reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_AUTOCOMMIT_OFF)),
            SQL_IS_UINTEGER);
        if (!succeeded(rc)) {
            diagnose(conn, SQL_HANDLE_DBC, conn.dbc);
            std::fprintf(stderr, "Unable to disable autocommit: %s\n", conn.error_text.c_str());
        }
    }
    return 1;
}

// Whether the connection is made through the narrow connect: for a driver that has wide
// calls but is better given UTF-8 (SQLite's driver has only narrow calls, and the driver
// manager maps a wide connect onto them by itself).
bool narrow_connect(const DbConnection& conn) {
    return conn.narrow && !conn.sqlite;
}

// The connection string with the options this module relies on for the server found; a
// connection for the narrow calls names its character set, UTF-8, which the narrow connect
// would otherwise take from the platform's locale.
std::string options_for(const DbConnection& conn, const std::string& configured) {
    std::string text = connection_string_for(conn.kind, configured);
    if (narrow_connect(conn)) text = with_utf8_charset(text);
    return text;
}

// The driver's view of the connection after a failure; false when it cannot tell.
bool connection_dead(const DbConnection& conn) {
    if (conn.dbc == SQL_NULL_HDBC || conn.stmt == SQL_NULL_HSTMT) return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    SQLRETURN rc =
        SQLGetConnectAttrW(conn.dbc, SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr);
    return succeeded(rc) && dead == SQL_CD_TRUE;
}

int32_t run_session_statement(DbConnection& conn, const char* statement) {
    return mod_executesql(&conn, statement);
}

}  // namespace

void set_error(DbConnection& conn, const char* text, int32_t code) {
    try {
        conn.error_text = text != nullptr ? text : "";
    } catch (const std::bad_alloc&) {
        conn.error_text.clear();
    }
    conn.has_error = true;
    conn.error_code = code;
}

void clear_error(DbConnection& conn) {
    conn.error_text.clear();
    conn.has_error = false;
    conn.error_code = 0;
}

int32_t diagnose(DbConnection& conn, SQLSMALLINT handle_type, SQLHANDLE handle) {
    try {
        if (conn.diagnostic.size() < initial_diagnostic) conn.diagnostic.resize(initial_diagnostic);
        SQLWCHAR state[6] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLRETURN rc;
        for (;;) {
            const size_t capacity = conn.diagnostic.size() > 32767 ? 32767 : conn.diagnostic.size();
            rc = SQLGetDiagRecW(handle_type, handle, 1, state, &native,
                                reinterpret_cast<SQLWCHAR*>(conn.diagnostic.data()),
                                static_cast<SQLSMALLINT>(capacity), &length);
            // A message that did not fit: read the same record again with room for it.
            if (rc == SQL_SUCCESS_WITH_INFO && length >= 0 &&
                static_cast<size_t>(length) >= capacity && capacity < 32767) {
                conn.diagnostic.resize(static_cast<size_t>(length) + 1);
                continue;
            }
            break;
        }
        if (!succeeded(rc)) return ZEL_RESULT_REJECTED;
        size_t units = length > 0 ? static_cast<size_t>(length) : 0;
        if (units >= conn.diagnostic.size()) units = conn.diagnostic.size() - 1;
        std::string message;
        platform_utf16_to_utf8(conn.diagnostic.data(), units, &message);
        char sqlstate[6] = {0};
        for (int i = 0; i < 5; ++i)
            sqlstate[i] = static_cast<char>(state[i] & 0x7F);
        message += " (";
        message += sqlstate;
        message += ')';
        set_error(conn, message.c_str(), native);
        int32_t code = conn.sqlite && std::strcmp(sqlstate, "HY000") == 0
                           ? classify_sqlite_failure(native)
                           : classify_sqlstate(sqlstate);
        // A server that ends the session says so in its own words (PostgreSQL's 57P01,
        // "terminating connection"); the driver knows the connection is gone, and zel must
        // reconnect rather than count the statement as failed.
        if (code != ZEL_RESULT_LOST && connection_dead(conn)) code = ZEL_RESULT_LOST;
        return code;
    } catch (const std::bad_alloc&) {
        set_error(conn, "Out of memory while reading the driver's diagnostics", 0);
        return ZEL_RESULT_REJECTED;
    }
}

bool to_wide(DbConnection& conn, const char* text) {
    if (text == nullptr || *text == '\0') return false;
    try {
        return platform_utf8_to_utf16(text, std::strlen(text), &conn.wide);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

int32_t read_text(DbConnection& conn, SQLUSMALLINT column, std::string* out, bool* is_null) {
    out->clear();
    *is_null = false;
    // A long value comes in pieces; every piece but the last fills the buffer, less its
    // terminator. The whole value is kept, as the server stored it.
    constexpr size_t piece = 1024;
    const size_t unit = conn.narrow ? 1 : sizeof(SQLWCHAR);
    const SQLSMALLINT c_type = conn.narrow ? SQL_C_CHAR : SQL_C_WCHAR;
    conn.column.clear();
    uint16_t buffer[piece];
    for (;;) {
        SQLLEN indicator = 0;
        SQLRETURN rc = SQLGetData(conn.stmt, column, c_type, buffer,
                                  static_cast<SQLLEN>(piece * unit), &indicator);
        if (rc == SQL_NO_DATA) break;
        if (!succeeded(rc)) return diagnose(conn, SQL_HANDLE_STMT, conn.stmt);
        if (indicator == SQL_NULL_DATA) {
            *is_null = true;
            return 1;
        }
        size_t count;  // units (or bytes) of this piece
        if (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(piece * unit))
            count = piece - 1;
        else
            count = static_cast<size_t>(indicator) / unit;
        if (conn.narrow)
            out->append(reinterpret_cast<const char*>(buffer), count);
        else
            conn.column.insert(conn.column.end(), buffer, buffer + count);
        if (rc == SQL_SUCCESS) break;
    }
    if (!conn.narrow) platform_utf16_to_utf8(conn.column.data(), conn.column.size(), out);
    return 1;
}

void detect_server(DbConnection& conn, std::string* name, std::string* version) {
    conn.kind = kind_other;
    conn.version = ServerVersion();
    *name = info_text(conn.dbc, SQL_DBMS_NAME);
    *version = info_text(conn.dbc, SQL_DBMS_VER);
    conn.kind = kind_from_dbms_name(name->c_str());
    conn.sqlite = driver_is_narrow(name->c_str());
    conn.narrow = conn.sqlite;
#ifndef _WIN32
    // unixODBC hands narrow calls to a driver that has them unchanged; the Windows driver
    // manager would convert them through the ANSI code page, so there the wide calls stay.
    if (conn.params != nullptr && conn.params->connectionstring != nullptr &&
        narrow_calls_preferred(conn.kind, conn.params->connectionstring))
        conn.narrow = true;
#endif
    conn.version = parse_version(version->c_str());
    conn.detected = true;
}

void disconnect(DbConnection& conn, bool commit) {
    if (conn.stmt == SQL_NULL_HSTMT) return;
    if (commit) SQLEndTran(SQL_HANDLE_DBC, conn.dbc, SQL_COMMIT);
    SQLFreeHandle(SQL_HANDLE_STMT, conn.stmt);
    conn.stmt = SQL_NULL_HSTMT;
    SQLDisconnect(conn.dbc);
}

int32_t connect(DbConnection& conn) {
    clear_error(conn);
    if (environment == SQL_NULL_HENV) {
        set_error(conn, "The ODBC environment is not set up (mod_init)", 0);
        return 0;
    }
    if (conn.dbc == SQL_NULL_HDBC &&
        !succeeded(SQLAllocHandle(SQL_HANDLE_DBC, environment, &conn.dbc))) {
        conn.dbc = SQL_NULL_HDBC;
        diagnose(conn, SQL_HANDLE_ENV, environment);
        return 0;
    }
    // A connect on a connection that is still up starts afresh.
    disconnect(conn, false);
    conn.wrote = false;
    conn.joins = false;

    const ZelModuleParams* params = conn.params;
    if (params == nullptr || params->connectionstring == nullptr ||
        params->connectionstring[0] == '\0') {
        set_error(conn, "A Connection String is required for this module", 0);
        return 0;
    }
    try {
        // Copies of the connection string hold the password: they are wiped when they go.
        struct Secret {
            std::string text;
            ~Secret() { wipe(text); }
        } configured{params->connectionstring}, used;
        // Once the server is known, the connection string carries the options this module
        // relies on for it (found rows, statement-level rollback).
        used.text = conn.detected ? options_for(conn, configured.text) : configured.text;
        if (connect_with(conn, used.text, conn.detected && narrow_connect(conn)) != 1) return 0;
        if (!conn.version.known()) {
            std::string name, version;
            detect_server(conn, &name, &version);
            // The first connect could not know the server: connect again with its options.
            Secret wanted{options_for(conn, configured.text)};
            if (wanted.text != used.text || narrow_connect(conn) != conn.connected_narrow) {
                disconnect(conn, false);
                if (connect_with(conn, wanted.text, narrow_connect(conn)) != 1) return 0;
            }
        }
    } catch (const std::bad_alloc&) {
        set_error(conn, "Out of memory while connecting", 0);
        return 0;
    }

    // Calculated columns divide decimals on the server; by default MariaDB keeps only four
    // more decimal places than the operands have, and a ratio stored in a double would lose
    // most of its digits.
    if (conn.kind == kind_mysql &&
        run_session_statement(conn, "SET SESSION div_precision_increment=30") < 0)
        std::fprintf(stderr, "SET div_precision_increment failed: %s\n", conn.error_text.c_str());
    if (conn.kind == kind_sqlserver) {
        if (run_session_statement(conn, "SET NOCOUNT OFF") != 0)
            std::fprintf(stderr, "SET NOCOUNT OFF failed: %s\n", conn.error_text.c_str());
        if (run_session_statement(conn, "SET XACT_ABORT OFF") != 0)
            std::fprintf(stderr, "SET XACT_ABORT OFF failed: %s\n", conn.error_text.c_str());
    }
    conn.joins = conn.kind == kind_mysql && try_joined_statements(conn);
    clear_error(conn);
    return 1;
}

}  // namespace zel_odbc

using namespace zel_odbc;

extern "C" {

int32_t mod_init(void) {
    if (environment != SQL_NULL_HENV) return 1;
    SQLHENV env = SQL_NULL_HENV;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return 0;
    if (!succeeded(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION,
                                 reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_OV_ODBC3)),
                                 0))) {
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        return 0;
    }
    environment = env;
    return 1;
}

int32_t mod_exit(void) {
    if (environment != SQL_NULL_HENV) {
        SQLFreeHandle(SQL_HANDLE_ENV, environment);
        environment = SQL_NULL_HENV;
    }
    return 1;
}

DbConnection* mod_create(ZelModuleParams* params) {
    DbConnection* conn = new (std::nothrow) DbConnection;
    if (conn == nullptr) return nullptr;
    conn->params = params;
    return conn;
}

int32_t mod_destroy(DbConnection* conn) {
    if (conn == nullptr) return 0;
    disconnect(*conn, false);
    if (conn->dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, conn->dbc);
    free_results(*conn);
    delete conn;
    return 1;
}

int32_t mod_connect(DbConnection* conn) {
    if (conn == nullptr) return 0;
    return zel_odbc::connect(*conn);
}

int32_t mod_disconnect(DbConnection* conn) {
    if (conn == nullptr) return 0;
    // An open transaction is committed, not lost.
    disconnect(*conn, conn->params != nullptr && conn->params->use_transactions == 1);
    return 1;
}

void mod_reconnect(DbConnection* conn) {
    if (conn == nullptr) return;
    // Only "connected" may become "reconnecting": a stop request that arrives at any moment
    // must survive, or the retry loop below would never end.
    uint8_t expected = ZEL_STATUS_CONNECTED;
    if (!conn->status.compare_exchange_strong(expected, ZEL_STATUS_RECONNECTING) &&
        expected != ZEL_STATUS_RECONNECTING)
        return;
    while (conn->status.load() == ZEL_STATUS_RECONNECTING) {
        // The server that dropped the session has rolled its transaction back: nothing to
        // commit on the way out.
        disconnect(*conn, false);
        if (zel_odbc::connect(*conn) == 1) {
            uint8_t retrying = ZEL_STATUS_RECONNECTING;
            conn->status.compare_exchange_strong(retrying, ZEL_STATUS_CONNECTED);
            return;
        }
        wait_before_retry(*conn);
    }
}

int32_t mod_getlasterror(DbConnection* conn) {
    return conn != nullptr ? conn->error_code : -1;
}

const char* mod_geterrorstring(DbConnection* conn) {
    if (conn == nullptr || !conn->has_error) return nullptr;
    return conn->error_text.c_str();
}

uint8_t mod_get_status(DbConnection* conn) {
    return conn != nullptr ? conn->status.load() : 0;
}

void mod_set_status(DbConnection* conn, int32_t status) {
    if (conn != nullptr) conn->status.store(static_cast<uint8_t>(status & 0xFF));
}

void mod_freeresult(DbConnection* conn) {
    if (conn != nullptr) free_results(*conn);
}

int32_t mod_get_info(DbConnection* conn, ServerInfo* info, uint32_t info_size) {
    if (conn == nullptr) return -1;  // zel's "could not get the version", as for every module
    std::string name, version;
    // Without a connection the driver cannot tell, and the kind found at connect stays.
    if (conn->stmt != SQL_NULL_HSTMT) detect_server(*conn, &name, &version);
    if (info == nullptr) return 1;
    if (info_size < 16) return 0;
    info->version = nullptr;
    if (!name.empty() && !version.empty())
        info->version = strdup((name + " " + version).c_str());
    else if (!version.empty())
        info->version = strdup(version.c_str());
    // Autocommit off: every statement after a COMMIT opens the next transaction by itself.
    info->transaction_start = nullptr;
    if (conn->params != nullptr) conn->params->server_version = 0;
    return 1;
}

}  // extern "C"
