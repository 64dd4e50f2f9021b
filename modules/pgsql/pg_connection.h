/*
 * pg_connection.h - the PostgreSQL module's DbConnection and the helpers its entry points
 * share.
 *
 * One DbConnection per zel database thread. Every member except `status` and the error
 * text belongs to the one thread that uses the connection (zel's main thread before the
 * run, one database thread during it) and is touched without a lock. `status` is also
 * written by zel's stop handler and read by its supervisor, so it is an atomic byte. The
 * supervisor also reads the error text to say why a connection is down while the owning
 * thread rewrites it in its reconnect loop: the text is guarded by `error_lock`, and
 * readers get a copy of their own (mod_geterrorstring).
 */
#ifndef ZEL_PG_CONNECTION_H
#define ZEL_PG_CONNECTION_H

#include <libpq-fe.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zel_module.h"

struct DbConnection {
    PGconn* server = nullptr;  // null before the first connect and after a disconnect
    std::mutex error_lock;     // guards error_text and has_error
    std::string error_text;
    bool has_error = false;     // mod_geterrorstring answers null until the first error
    std::vector<char> scratch;  // literals made by mod_add_value live here
    // Error texts of the last mod_executebatch, one per statement that reported one.
    std::vector<std::string> batch_errors;
    std::string database_name;  // learnt at the first successful connect, kept for good
    ResultValue* result_head = nullptr;
    ResultValue* result_tail = nullptr;
    ZelModuleParams* params = nullptr;
    bool estrings = false;      // the server reads '...' literals the old way: write E'...'
    bool refused_copy = false;  // the last statement's COPY was refused by the module
    // No answer came within the answer timeout, or a stop was requested while waiting: the
    // connection is taken as lost (its protocol state is unknown) until the next connect.
    bool abandoned = false;
    std::string abandon_reason;
    std::atomic<int32_t> error_code{0};  // SQLSTATE digits of the last failure, 0 when none
    std::atomic<uint8_t> status{ZEL_STATUS_CONNECTED};
};

namespace zel_pg {

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// Runs one statement and hands back its final result. A statement that leaves the
// connection in a COPY state is wound up here (the module has no data to stream), so the
// connection stays usable; the answer is then a failure result.
Result run(DbConnection& conn, const char* statement);

// For a result in a COPY state: reads and drops the server's rows, or refuses to send any,
// and returns true; the statement's final result follows from PQgetResult. false for any
// other state.
bool wind_up_copy(DbConnection& conn, ExecStatusType state);

// Error bookkeeping: the last error text and code that mod_geterrorstring and
// mod_getlasterror report. set_error keeps libpq's message without its trailing line feed.
void set_error(DbConnection& conn, const char* text, int32_t code);
void clear_error(DbConnection& conn);

// The connect routine shared by mod_connect and mod_reconnect; 1 on success, 0 on failure
// (also when a stop request ended the attempt). The last error text is kept until the
// attempt succeeds or replaces it, so that a reader meanwhile sees why the connection is
// down rather than nothing.
int32_t connect(DbConnection& conn);

bool connection_ok(const DbConnection& conn);

// Whether the server has a transaction block open on the connection, a failed one included.
// libpq keeps this from the server's own answers, so it holds however the transaction was
// opened or ended (a statement's text, a COMMIT the server turned into a rollback, a lost
// connection); false while no answer is complete (a statement still running, a connection
// given up) and without a connection.
bool in_transaction(const DbConnection& conn);

// Waits until the server's next answer can be read without blocking. false when it did not
// come within the answer timeout of the parameter block, or a stop was requested meanwhile,
// or (for a statement sent after the stop request, such as the stop mark in the status
// table) it did not come within kAnswerAfterStopMs: the connection is then abandoned (see
// DbConnection) with the reason as its error text.
inline constexpr int64_t kAnswerAfterStopMs = 5000;
bool await_answer(DbConnection& conn);
bool await_answer(DbConnection& conn);

}  // namespace zel_pg

#endif  // ZEL_PG_CONNECTION_H
