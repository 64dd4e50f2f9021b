// db_worker.h - DbWorker, the database side of one update queue.
//
// There are four, one per update queue (g_workers[n - 1] drains queue n). Each holds what
// only its database thread touches: the module connection, the statement buffer that
// every builder writes (statement and tail), the text that opens a transaction and the
// count of items in the open transaction. Because nothing here is shared between threads,
// nothing here is locked; the queue the worker drains has its own lock (update_queue.h).
//
// Builders take a DbWorker& and write `statement` (and `tail`, for a clause they assemble
// aside and join with append_tail); execute.h runs `statement` on `connection`.
//
// Lifecycle: init_db_workers binds the workers to the queues once g_queues exists; the
// start-up then sets each worker's `connection` (connection n for queue n) and
// `begin_transaction` before it starts the database threads.
#pragma once

#include <cstdint>
#include <string>

#include "zel/queues/update_queue.h"
#include "zel/sql/sql_text.h"
#include "zel/sql/statement_batch.h"
#include "zel_module.h"

struct DbWorker {
    UpdateQueue* queue = nullptr;
    DbConnection* connection = nullptr;
    SqlText statement;  // the statement execute() and query() run
    SqlText tail;       // a clause built aside (WHERE ..., VALUES (...)), joined by append_tail
    // The statement that opens a transaction on this server; empty when the server opens
    // transactions implicitly or the module could not say.
    std::string begin_transaction;
    // Items in the open transaction; 0 means none is open. Cleared by execute() and query()
    // when they roll back or lose the transaction with the connection.
    uint32_t transaction_counter = 0;
    // Set when a COMMIT lost its connection before the answer came, cleared by the next
    // COMMIT that succeeds: the batch is written again then, and an INSERT that meets its own
    // row (unique violation) finds what that COMMIT stored after all (execute.cpp).
    bool commit_unknown = false;
    uint32_t number = 0;  // 1 to 4, the queue's number; also the SQL log's connection number
    // Reruns of the batch at the queue's head since a batch was last written. At the limit
    // the batch is written item by item without a transaction instead (db_thread.cpp).
    uint32_t reruns = 0;
    // Items still to be written one by one, each on its own without a transaction.
    uint64_t isolate = 0;
    // The last statement execute() reported as an error, for the line that names an item
    // given up on (the statement buffer may hold a ROLLBACK by then).
    std::string failed_statement;
    // Statements built and not yet sent (statement_batch.h).
    StatementBatch batch;

    // This queue's five counters (queued, empty_items, updated, deduplicated, failed).
    QueueStats& stats() { return *queue->stats; }
};

inline constexpr int kDbWorkerCount = 4;

// g_workers[n - 1] belongs to queue n's database thread.
extern DbWorker g_workers[kDbWorkerCount];

// Binds worker n to g_queues[n - 1] and sets its number; clears its texts, its
// connection, its transaction text and its counter. Main thread, before the database
// threads start and after createUpdateQueues.
void init_db_workers();

// Appends the tail text to the statement (one copy) and empties the tail.
void append_tail(DbWorker& worker);
