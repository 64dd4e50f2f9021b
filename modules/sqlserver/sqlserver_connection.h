// sqlserver_connection.h - the SQL Server module's DbConnection and the helpers its entry
// points share (error recording, the per-thread COM readiness, statement conversion).
//
// A DbConnection is used by one database thread at a time; only its status byte is also
// touched by the stop handler and the supervisor, hence the atomic. The COM readiness flag
// is per thread and needs no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "modules/sqlserver/ado_layer.h"
#include "zel_module.h"

struct DbConnection {
    ZelModuleParams* params = nullptr;
    bool has_error = false;
    std::string error_text;
    int32_t error_code = 0;
    std::atomic<uint8_t> status{ZEL_STATUS_CONNECTED};
    std::string scratch;         // mod_add_value's literal, mod_add_column's statement
    std::u16string wide;         // the last statement in UTF-16
    ResultValue* head = nullptr;  // the current query result
    ResultValue* tail = nullptr;
    std::string connection_string;  // taken or built at the last connect
    std::unique_ptr<sqlserver::AdoConnection> ado;
};

namespace sqlserver {

void clear_error(DbConnection* conn);
void set_error(DbConnection* conn, const std::string& text, int32_t code);
// The text of a failed call: its description, or `fallback` when it carried none.
std::string error_text_of(const AdoError& error, const char* fallback);

// Makes the calling thread ready for COM once; false (with the error set) when it cannot be.
bool ensure_thread_ready(DbConnection* conn);

// Converts a statement into conn->wide; false with the error set when it cannot be.
bool convert_statement(DbConnection* conn, const char* text);

// Runs a statement through the connection object the way mod_executesql does and returns
// its result code (rows affected, or a negative code with the error set).
int32_t execute_statement(DbConnection* conn, const char* text);

void free_result(DbConnection* conn);

// The session settings every (re)connect sends. A failure does not fail the connect; its
// text is printed and kept as the connection's error text and code.
void apply_session_settings(DbConnection* conn, bool with_xact_abort);

}  // namespace sqlserver
