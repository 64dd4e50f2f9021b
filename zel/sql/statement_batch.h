// statement_batch.h - the statements a database thread has built and not yet sent: they go
// to the server together, through the module's batch entry point, and each result is then
// handled as execute() would have handled it on its own.
//
// Why: a statement sent on its own costs a round trip to the server and back before the
// next one can go. A batch costs one. The SQL of every statement is what it would be
// anyway; only the moment it is sent changes.
//
// How a statement is handled later: the code that built it passes a continuation with it
// (submit), which receives the statement's result once the batch has been sent and may
// build and submit the next statement of its item (an INSERT after an UPDATE that matched
// no row). Such a statement goes out in the next batch; flush_statements sends batches until
// none is left. Everything that must see the server's state at once closes the batch
// first: execute() and query() flush before they run their own statement, so a builder
// that reads a query result, a COMMIT, or any statement not built for batching runs after
// every statement submitted before it.
//
// Who: each DbWorker has one StatementBatch, used by its own database thread only; no lock.
// The database thread switches collecting on while it writes the items of a pass that may
// be batched (db_thread.cpp); otherwise submit() runs the statement at once, exactly as
// execute() does.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct DbWorker;

// What becomes of a statement's result: returns ZEL_RESULT_RERUN (-3) when the batch of
// items must be written again, else 0.
using StatementThen = std::function<int(DbWorker&, int result)>;

struct PendingStatement {
    std::string text;
    int mode;          // ExecMode
    const char* unit;  // SqlLabel
    int line;
    StatementThen then;
};

// Which row an item writes: its kind, its instrument and the values of its key fields.
struct BatchedRow {
    uint8_t kind;
    uint64_t insref;
    std::string key_values;
};

struct StatementBatch {
    std::vector<PendingStatement> statements;  // built, not yet sent, in build order
    // The rows of the items with statements in the batch (BatchedRow): a later item that
    // may touch the same row closes the batch first, so that its statements follow every
    // statement of the earlier item, follow-ups included (db_thread.cpp).
    std::vector<BatchedRow> rows;
    bool collecting = false;  // submit() adds to the batch instead of running the statement
    bool rerun = false;       // a result asked for a rerun while the batch was handled
    int depth = 0;            // flushes in progress (a continuation may flush again)
};

// The most statements sent in one batch: the server's answers to them wait in the
// network buffers until the module reads them, and must fit there.
inline constexpr size_t kBatchStatements = 256;
