// execute.cpp - execute() and query(): every statement of the database threads passes
// here on its way to the module (see execute.h for the contract).
//
// Each database thread calls these with its own DbWorker only; no lock is taken. The
// error text and code are read from the module only when a statement did not simply
// succeed: they are needed for the report and the SQL log, and asking for them after every
// successful statement would double the calls into the module on the hottest path.
//
// It also holds the statement batches (statement_batch.h): submit() and flush_statements()
// hand each batched statement's result to the same handling as execute() gives the
// statement it runs itself, so a result means the same, is logged the same and counted
// the same whichever way the statement went.
#include "zel/sql/execute.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "zel/base/log.h"
#include "zel/queues/update_queue.h"

namespace {

// Value of settle() for a statement to run again: the connection was lost and is back,
// and no transaction was open.
constexpr int kRunAgain = -1000;

// Where the text and code of a failure come from: the module's last error for a statement
// run alone, or what the module's batch call reported for the statement.
struct ErrorSource {
    bool given = false;
    const char* text = nullptr;
    int32_t code = 0;
};

const char* error_text(DbWorker& worker, const ErrorSource& source = {}) {
    const char* text =
        source.given ? source.text : worker.module->mod_geterrorstring(worker.connection);
    return text ? text : "Unknown error";
}

int32_t error_code(DbWorker& worker, const ErrorSource& source) {
    return source.given ? source.code : worker.module->mod_getlasterror(worker.connection);
}

void report(DbWorker& worker, const char* error, int line, SqlLabel label,
            const ErrorSource& source = {}) {
    worker.failed_statement.assign(worker.statement.c_str());
    log_message(LOG_LEVEL_PROBLEM, "SQL Error:'%s' DB:%s: File:%s:%d/%s:%d Code:%d",
                worker.statement.c_str(), error, "zel", line, label.unit, label.line,
                error_code(worker, source));
}

// Rolls back on the server; the statement buffer is reused for it, as the failed
// statement has been reported already. Its result is of no use: the transaction is gone
// either way.
void rollback(DbWorker& worker) {
    worker.statement.assign("ROLLBACK");
    worker.module->mod_executesql(worker.connection, worker.statement.c_str());
}

// A unique violation (SQLSTATE 23505) of an INSERT in the batch that is written again after
// its COMMIT lost the connection: that COMMIT took effect after all, and the row the INSERT
// would make is there, as this run would have made it. (A tried INSERT has its UPDATE.)
bool stored_by_unknown_commit(DbWorker& worker, const ErrorSource& source) {
    constexpr int32_t kUniqueViolation = 23505;
    return worker.transaction.commit_unknown() && error_code(worker, source) == kUniqueViolation &&
           std::strncmp(worker.statement.c_str(), "INSERT ", 7) == 0;
}

// What the result r of worker.statement means: logs, counts, rolls back or reconnects as
// the contract of execute() says, and returns execute()'s result, or kRunAgain.
int settle(DbWorker& worker, int r, ExecMode mode, SqlLabel label, const ErrorSource& source) {
    if (r > 0 || (r == 0 && (mode == EXEC_PLAIN || mode == EXEC_TRY_INSERT))) {
        sql_log_write(static_cast<int>(worker.number), "%s", worker.statement.c_str());
        stat_add(worker.stats().updated, 1);
        return r;
    }
    const char* error = error_text(worker, source);
    sql_log_write(static_cast<int>(worker.number), "** %s : %s", worker.statement.c_str(), error);
    switch (r) {
        case 0:
            // An UPDATE tried before an INSERT may match nothing: that is the INSERT's
            // cue, not an error. An UPDATE that had to match a row is one.
            if (mode == EXEC_FALLBACK_UPDATE) {
                report(worker, error, __LINE__, label, source);
                stat_add(worker.stats().failed, 1);
            }
            return 0;
        case ZEL_RESULT_FAILED:
            if (mode != EXEC_TRY_INSERT && stored_by_unknown_commit(worker, source)) {
                log_message(LOG_LEVEL_INFO,
                            "Already stored by the COMMIT whose answer was lost: '%s'",
                            worker.statement.c_str());
                stat_add(worker.stats().updated, 1);
                return 1;
            }
            if (mode != EXEC_TRY_INSERT) {
                report(worker, error, __LINE__, label, source);
                stat_add(worker.stats().failed, 1);
            }
            return ZEL_RESULT_FAILED;
        case ZEL_RESULT_RERUN:
            report(worker, error, __LINE__, label, source);
            stat_add(worker.stats().failed, 1);
            if (worker.transaction.open()) {
                worker.transaction.lost();
                rollback(worker);
            }
            return ZEL_RESULT_RERUN;
        case ZEL_RESULT_LOST: {
            int status = worker.module->mod_get_status(worker.connection) & 0xff;
            worker.failed_statement.assign(worker.statement.c_str());
            log_message(LOG_LEVEL_PROBLEM,
                        "SQL Error:'%s' DB:%s: File:%s:%d/%s:%d Code:%d Status:%d",
                        worker.statement.c_str(), error, "zel", __LINE__, label.unit, label.line,
                        error_code(worker, source), status);
            worker.module->mod_reconnect(worker.connection);
            if (worker.module->mod_get_status(worker.connection) != 0) {
                // Told to stop while reconnecting: the statement is abandoned.
                if (worker.transaction.open()) {
                    worker.transaction.lost();
                    return ZEL_RESULT_RERUN;
                }
                return ZEL_RESULT_LOST;
            }
            if (worker.transaction.open()) {
                // The open transaction died with the connection: only a rerun of the
                // whole batch writes its items.
                worker.transaction.lost();
                return ZEL_RESULT_RERUN;
            }
            // Whether a COMMIT took effect before the connection went cannot be known;
            // running it again on a fresh connection would commit nothing.
            if (worker.statement == "COMMIT") return ZEL_RESULT_LOST;
            return kRunAgain;
        }
        default:
            // -4 and any code a module should not return: the statement failed.
            report(worker, error, __LINE__, label, source);
            stat_add(worker.stats().failed, 1);
            return r < 0 ? r : ZEL_RESULT_REJECTED;
    }
}

// The module's answers to statements[0..count): at least one. A module that reports
// nothing run (it should not) has the first statement run on its own.
int32_t run_batch(DbWorker& worker, const std::vector<const char*>& texts,
                  std::vector<ZelBatchResult>& results) {
    const auto count = static_cast<int32_t>(texts.size());
    int32_t ran = worker.executebatch(worker.connection, texts.data(), count, results.data());
    if (ran >= 1) return ran > count ? count : ran;
    results[0].result = worker.module->mod_executesql(worker.connection, texts[0]);
    results[0].error_code = 0;
    results[0].error = nullptr;
    if (results[0].result <= 0) {
        results[0].error = worker.module->mod_geterrorstring(worker.connection);
        results[0].error_code = worker.module->mod_getlasterror(worker.connection);
    }
    return 1;
}

// Sends one round of statements and hands each result on. Stops when a result asks for a
// rerun (batch.rerun is then set).
void send_round(DbWorker& worker, std::vector<PendingStatement>& round) {
    StatementBatch& batch = worker.batch;
    std::vector<const char*> texts;
    std::vector<ZelBatchResult> results;
    size_t next = 0;
    while (next < round.size() && !batch.rerun) {
        texts.clear();
        for (size_t i = next; i < round.size(); ++i)
            texts.push_back(round[i].text.c_str());
        results.assign(texts.size(), ZelBatchResult{});
        const int32_t ran = run_batch(worker, texts, results);
        for (int32_t i = 0; i < ran; ++i) {
            PendingStatement& pending = round[next];
            worker.statement.assign(pending.text);
            const ZelBatchResult& result = results[static_cast<size_t>(i)];
            int r = settle(worker, result.result, static_cast<ExecMode>(pending.mode),
                           SqlLabel{pending.unit, pending.line},
                           ErrorSource{true, result.error, result.error_code});
            // Back on a new connection outside a transaction: this statement and those
            // behind it (which the module did not run) go out again.
            if (r == kRunAgain) break;
            ++next;
            if (r == ZEL_RESULT_RERUN ||
                (pending.then && pending.then(worker, r) == ZEL_RESULT_RERUN) || batch.rerun) {
                batch.rerun = true;
                return;
            }
        }
    }
}

}  // namespace

int execute(DbWorker& worker, ExecMode mode, SqlLabel label) {
    // Whatever was submitted before this statement goes to the server before it.
    if (!worker.batch.statements.empty() && flush_statements(worker) == ZEL_RESULT_RERUN)
        return ZEL_RESULT_RERUN;
    for (;;) {
        int r = worker.module->mod_executesql(worker.connection, worker.statement.c_str());
        r = settle(worker, r, mode, label, ErrorSource{});
        if (r != kRunAgain) return r;
    }
}

bool batches_available(const DbWorker& worker) {
    return worker.pipeline && worker.executebatch != nullptr;
}

int collect(DbWorker& worker, ExecMode mode, SqlLabel label, StatementThen then) {
    worker.batch.statements.push_back(PendingStatement{std::string(worker.statement.view()),
                                                       mode, label.unit, label.line,
                                                       std::move(then)});
    return 0;
}

int flush_statements(DbWorker& worker) {
    StatementBatch& batch = worker.batch;
    if (batch.statements.empty()) return batch.depth > 0 && batch.rerun ? ZEL_RESULT_RERUN : 0;
    if (batch.depth == 0) batch.rerun = false;
    ++batch.depth;
    // The builder that called execute() or query() has its statement in the buffer.
    std::string held(worker.statement.view());
    while (!batch.statements.empty() && !batch.rerun) {
        const size_t n = std::min(batch.statements.size(), kBatchStatements);
        std::vector<PendingStatement> round(std::make_move_iterator(batch.statements.begin()),
                                            std::make_move_iterator(batch.statements.begin() + n));
        batch.statements.erase(batch.statements.begin(), batch.statements.begin() + n);
        send_round(worker, round);
    }
    const bool rerun = batch.rerun;
    // After a rerun nothing of the batch may be written: its items are taken again.
    if (rerun) batch.statements.clear();
    --batch.depth;
    if (batch.depth == 0) {
        batch.rows.clear();
        batch.rerun = false;
    }
    worker.statement.assign(held);
    return rerun ? ZEL_RESULT_RERUN : 0;
}

ResultValue* query(DbWorker& worker, int32_t* status, SqlLabel label) {
    // A builder reads the server's state: everything submitted before it is sent first.
    if (!worker.batch.statements.empty() && flush_statements(worker) == ZEL_RESULT_RERUN) {
        *status = ZEL_RESULT_RERUN;
        return nullptr;
    }
    for (;;) {
        *status = 0;
        ResultValue* rows =
            worker.module->mod_querysql(worker.connection, worker.statement.c_str(), status);
        if (*status >= 0) {
            sql_log_write(static_cast<int>(worker.number), "%s", worker.statement.c_str());
            return rows;
        }
        const char* error = error_text(worker);
        report(worker, error, __LINE__, label);
        if (*status == ZEL_RESULT_RERUN) {
            // A query runs inside the batch's transaction (or its implicit one): whatever
            // the server rolled back, the batch is written again from its start.
            worker.transaction.lost();
            rollback(worker);
            return nullptr;
        }
        if (*status != ZEL_RESULT_LOST) {
            sql_log_write(static_cast<int>(worker.number), "** %s : %s", worker.statement.c_str(),
                          error);
            return nullptr;
        }
        worker.module->mod_reconnect(worker.connection);
        if (worker.transaction.open()) {
            // The batch's transaction is gone with the connection, as in execute().
            worker.transaction.lost();
            *status = ZEL_RESULT_RERUN;
            return nullptr;
        }
        if (worker.module->mod_get_status(worker.connection) != 0) return nullptr;
    }
}

void free_result(DbWorker& worker) {
    worker.module->mod_freeresult(worker.connection);
}
