// db_worker.cpp - storage of the four DbWorkers and their set-up (see db_worker.h).
#include "zel/sql/db_worker.h"

#include "zel/base/config.h"

DbWorker g_workers[kDbWorkerCount];

void init_db_workers(const DbModule& module, mod_executebatch_fn executebatch,
                     const Config& config) {
    for (int i = 0; i < kDbWorkerCount; ++i) {
        DbWorker& worker = g_workers[i];
        worker.queue = g_queues ? &g_queues[i] : nullptr;
        worker.module = &module;
        worker.executebatch = executebatch;
        worker.transactions = config.transactions;
        worker.pipeline = config.pipeline != 0;
        worker.connection = nullptr;
        worker.statement.clear();
        worker.tail.clear();
        worker.begin_transaction.clear();
        worker.transaction = Transaction{};
        worker.reruns = 0;
        worker.isolate = 0;
        worker.failed_statement.clear();
        worker.batch = StatementBatch{};
        worker.number = static_cast<uint32_t>(i + 1);
    }
}

void append_tail(DbWorker& worker) {
    worker.statement.append(worker.tail.view());
    worker.tail.clear();
}
