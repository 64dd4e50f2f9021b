/*
 * odbc_connection.h - the ODBC module's DbConnection and the helpers its entry points share.
 *
 * One DbConnection per zel database thread. Every member except `status` belongs to the one
 * thread that uses the connection (zel's main thread before the run, one database thread
 * during it) and is touched without a lock. `status` is also written by zel's stop handler
 * and read by its supervisor, so it is an atomic byte. The environment handle is the
 * module's one process-wide object: made by mod_init, only read until mod_exit.
 */
#ifndef ZEL_ODBC_CONNECTION_H
#define ZEL_ODBC_CONNECTION_H

// The driver manager's headers are its interface; on Windows they build on the system's base
// types, which only its main header declares.
#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "modules/odbc/odbc_dialect.h"
#include "zel_module.h"

static_assert(sizeof(SQLWCHAR) == 2, "the wide-character calls take UTF-16 texts");

struct DbConnection {
    SQLHDBC dbc = SQL_NULL_HDBC;     // made at the first connect, kept until mod_destroy
    SQLHSTMT stmt = SQL_NULL_HSTMT;  // non-null exactly while connected
    ZelModuleParams* params = nullptr;
    ResultValue* result_head = nullptr;
    ResultValue* result_tail = nullptr;
    std::vector<uint16_t> diagnostic;  // the driver's message text, grown to fit
    std::string error_text;
    bool has_error = false;        // mod_geterrorstring answers null until the first error
    std::vector<char> scratch;     // literals made by mod_add_value live here
    std::vector<uint16_t> wide;    // the last statement, as the driver takes it
    std::vector<uint16_t> column;  // one value of a result, read in pieces
    zel_odbc::ServerKind kind = zel_odbc::kind_other;
    zel_odbc::ServerVersion version;
    bool detected = false;   // kind and version read at a successful connect
    bool narrow = false;     // the driver takes UTF-8 texts through the narrow calls
    bool connected_narrow = false;  // the connection was made through the narrow connect
    bool sqlite = false;     // failures are told apart by SQLite's result codes
    bool wrote = false;      // a statement ran since the transaction began
    bool joins = false;      // the server takes several statements in one text (a batch)
    std::string joined;      // the text of the last joined batch
    std::vector<std::string> batch_errors;  // the error texts of mod_executebatch's results
    int32_t error_code = 0;  // the driver's native error number, 0 when none
    std::atomic<uint8_t> status{ZEL_STATUS_CONNECTED};
};

namespace zel_odbc {

// The environment of mod_init; SQL_NULL_HENV outside mod_init..mod_exit.
extern SQLHENV environment;

// Reads the driver's first diagnostic record for a failed call on handle, keeps its message
// with the SQLSTATE as the error text and its native error as the error code, and returns
// the result code of the SQLSTATE (-4 when the driver has no record).
int32_t diagnose(DbConnection& conn, SQLSMALLINT handle_type, SQLHANDLE handle);

void set_error(DbConnection& conn, const char* text, int32_t code);
void clear_error(DbConnection& conn);

// conn.wide becomes text in UTF-16; false (nothing sent) for an empty or malformed text.
bool to_wide(DbConnection& conn, const char* text);

// Reads column number `column` of the current row as UTF-8 into out and returns 1; a failed
// read is diagnosed and its result code returned. *is_null tells an SQL NULL apart from an
// empty text.
int32_t read_text(DbConnection& conn, SQLUSMALLINT column, std::string* out, bool* is_null);

// Runs text on the statement handle in the form the driver takes: for a wide driver,
// conn.wide must hold text in UTF-16 (to_wide).
SQLRETURN execute_direct(DbConnection& conn, const char* text);

// The result of a statement that the driver answered with success: its row count, with
// mod_executesql's error text for 0 rows.
int32_t affected_rows(DbConnection& conn);

// Whether the connection's server runs statements joined into one text (MySQL and MariaDB
// with multi statements allowed): tried once with a harmless pair of statements.
bool try_joined_statements(DbConnection& conn);

// The connect routine shared by mod_connect and mod_reconnect; 1 on success, 0 on failure.
int32_t connect(DbConnection& conn);

// Drops the server connection; with commit, an open transaction is committed first.
void disconnect(DbConnection& conn, bool commit);

// Reads the DBMS name and version from the driver into conn (kind other, version 0.0.0
// when the driver cannot tell). The texts are handed back for display.
void detect_server(DbConnection& conn, std::string* name, std::string* version);

}  // namespace zel_odbc

#endif  // ZEL_ODBC_CONNECTION_H
