// db_worker.h - DbWorker, the database side of one update queue.
//
// There are four, one per update queue (g_workers[n - 1] drains queue n). Each holds what
// only its database thread touches: the module connection, the statement buffer that
// every builder writes (statement and tail), the text that opens a transaction and the
// open transaction itself (transaction.h). It also carries what execution runs by - the
// bound module and the settings that decide transactions and statement batches - so that
// execution reads neither the global module nor the configuration, and a test sets up a
// worker rather than the program. Because
// nothing here is shared between threads, nothing here is locked; the queue the worker
// drains has its own lock (update_queue.h).
//
// Builders take a DbWorker& and write `statement` (and `tail`, for a clause they assemble
// aside and join with append_tail); execute.h runs `statement` on `connection`.
//
// Lifecycle: init_db_workers binds the workers to the queues once g_queues exists and hands
// each the bound module and the configuration's settings; the start-up then sets each
// worker's `connection` (connection n for queue n) and `begin_transaction` before it starts
// the database threads.
#pragma once

#include <cstdint>
#include <string>

#include "zel/modload/module_loader.h"
#include "zel/queues/update_queue.h"
#include "zel/sql/sql_text.h"
#include "zel/sql/statement_batch.h"
#include "zel/sql/transaction.h"
#include "zel_module.h"

struct Config;

struct DbWorker {
    UpdateQueue* queue = nullptr;
    // The bound module's entry points, and its optional batch entry point (null: statements
    // go one by one). Set by init_db_workers once the module is loaded.
    const DbModule* module = nullptr;
    mod_executebatch_fn executebatch = nullptr;
    // Items one transaction may hold (key transactions); 1 or less: no transactions.
    int32_t transactions = 0;
    // Whether statements may be sent in batches when the module can (key pipeline).
    bool pipeline = true;
    DbConnection* connection = nullptr;
    SqlText statement;  // the statement execute() and query() run
    SqlText tail;       // a clause built aside (WHERE ..., VALUES (...)), joined by append_tail
    // The statement that opens a transaction on this server; empty when the server opens
    // transactions implicitly or the module could not say.
    std::string begin_transaction;
    // The open transaction: opened, counted and committed by the database thread, given up
    // by execute() and query() when the server rolls it back or the connection takes it.
    Transaction transaction;
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

// Binds worker n to g_queues[n - 1] and sets its number; gives every worker the module
// (its 19 entry points and the optional batch one) and the settings of `config` that
// execution runs by; clears its texts, its connection, its transaction text and its
// transaction. Main thread, before the database threads start, after createUpdateQueues
// and after the module is bound.
void init_db_workers(const DbModule& module, mod_executebatch_fn executebatch,
                     const Config& config);

// Appends the tail text to the statement (one copy) and empties the tail.
void append_tail(DbWorker& worker);
