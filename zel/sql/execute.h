// execute.h - running a worker's statement through the loaded module: execute() for
// statements that change data, query() for the SELECTs whose rows a builder reads.
//
// Called by the database threads and every statement builder, each with its own DbWorker
// only, so the statement buffer, the connection and the transaction are never shared and
// nothing here takes a lock. The module called and the settings run by are the worker's
// own (db_worker.h), never the program's globals. These two functions decide from the
// module's result and the caller's execution mode what is logged (log and SQL log), what is
// counted (updated / failed of the worker's queue), when the connection is re-established
// and when the open transaction is rolled back and the caller told to rerun its batch (-3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>

#include "zel/sql/db_worker.h"
#include "zel/sql/statement_batch.h"
#include "zel_module.h"

// How the caller reads the outcome of its statement.
enum ExecMode {
    EXEC_PLAIN = 0,           // ordinary statement
    EXEC_TRY_UPDATE = 1,      // an UPDATE that may match no row (an INSERT follows then)
    EXEC_TRY_INSERT = 2,      // an INSERT that may fail because the row exists (an UPDATE follows)
    EXEC_FALLBACK_UPDATE = 3  // an UPDATE that must affect a row (after a failed try-insert)
};

// Where a statement was issued: a source unit and a line, printed in the error report so
// an operator can find the statement's origin.
struct SqlLabel {
    const char* unit;
    int line;
};

// The two source units: "zel" for the database threads and statement execution, and
// "sqlbuilds" for the statement builders.
#define ZEL_LABEL (SqlLabel{"zel", __LINE__})
#define SQLBUILDS_LABEL (SqlLabel{"sqlbuilds", __LINE__})

// Runs worker.statement. Returns the rows affected (0 or more) or ZEL_RESULT_FAILED (-1),
// ZEL_RESULT_LOST (-2: the connection was lost and could not be used again), ZEL_RESULT_RERUN
// (-3: the transaction is gone; the caller abandons its item and its batch is rerun) or
// ZEL_RESULT_REJECTED (-4). After a lost connection it reconnects and runs the statement
// again, unless a transaction was open (-3) or the statement is "COMMIT" (-2). A rerun
// gives up the worker's open transaction (rolled back first when the server still has it).
int execute(DbWorker& worker, ExecMode mode, SqlLabel label);

// Runs worker.statement as a query. Returns the module's result list (row-major, a null
// value for SQL NULL), or null when there are no rows or the query failed; *status gets
// 0 or more on success, otherwise the module's negative code, or -3 when the caller must
// rerun its batch (the server rolled back, or the connection went while a transaction was
// open; as in execute(), a lost connection with none open runs the query again). The
// caller reads the list and then calls free_result.
ResultValue* query(DbWorker& worker, int32_t* status, SqlLabel label);

// Adds a copy of worker.statement to the worker's batch with `then` for its result, and
// returns 0 (submit() while the batch is collecting).
int collect(DbWorker& worker, ExecMode mode, SqlLabel label, StatementThen then);

// Runs worker.statement now and hands its result to `then`, or, while the worker's batch is
// collecting, adds a copy to the batch and returns 0: the result is handled when the batch
// is sent (statement_batch.h). Run now, it returns -3 for a rerun (without calling `then`),
// else what `then` returned (0 without one).
//
// A template so that a statement run now calls its continuation as it is: kept in a
// StatementThen, a continuation whose captures outgrow std::function's own room costs an
// allocation, and only a statement that waits in a batch needs it kept.
template <typename Then = std::nullptr_t>
int submit(DbWorker& worker, ExecMode mode, SqlLabel label, Then&& then = nullptr) {
    if (worker.batch.collecting)
        return collect(worker, mode, label, StatementThen(std::forward<Then>(then)));
    const int r = execute(worker, mode, label);
    if (r == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    if constexpr (std::is_same_v<std::decay_t<Then>, std::nullptr_t>) {
        return 0;
    } else if constexpr (std::is_same_v<std::decay_t<Then>, StatementThen>) {
        return then ? then(worker, r) : 0;
    } else {
        return then(worker, r);
    }
}

// Sends the worker's batch, and the batches its continuations fill, until none is left.
// Returns -3 when a result asked for a rerun (the statements not yet handled are dropped),
// else 0. execute() and query() call it before their own statement.
int flush_statements(DbWorker& worker);

// Whether the worker's statements may be batched: its module has the batch entry point and
// its configuration (key pipeline) does not turn batches off.
bool batches_available(const DbWorker& worker);

// Hands the worker's current result list back to the module.
void free_result(DbWorker& worker);
