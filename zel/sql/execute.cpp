// execute.cpp - execute() and query(): every statement of the database threads passes
// here on its way to the module (see execute.h for the contract).
//
// Each database thread calls these with its own DbWorker only; no lock is taken. The
// error text and code are read from the module only when a statement did not simply
// succeed: they are needed for the report and the SQL log, and asking for them after every
// successful statement would double the calls into the module on the hottest path.
#include "zel/sql/execute.h"

#include <cstring>

#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/modload/module_loader.h"
#include "zel/queues/update_queue.h"

namespace {

const char* error_text(DbWorker& worker) {
    const char* text = g_module.mod_geterrorstring(worker.connection);
    return text ? text : "Unknown error";
}

void report(DbWorker& worker, const char* error, int line, SqlLabel label) {
    worker.failed_statement.assign(worker.statement.c_str());
    log_message(LOG_LEVEL_PROBLEM, "SQL Error:'%s' DB:%s: File:%s:%d/%s:%d Code:%d",
                worker.statement.c_str(), error, "zel", line, label.unit, label.line,
                g_module.mod_getlasterror(worker.connection));
}

// Rolls back on the server; the statement buffer is reused for it, as the failed
// statement has been reported already. Its result is of no use: the transaction is gone
// either way.
void rollback(DbWorker& worker) {
    worker.statement.assign("ROLLBACK");
    g_module.mod_executesql(worker.connection, worker.statement.c_str());
}

}  // namespace

int execute(DbWorker& worker, ExecMode mode, SqlLabel label) {
    for (;;) {
        int r = g_module.mod_executesql(worker.connection, worker.statement.c_str());
        if (r > 0 || (r == 0 && (mode == EXEC_PLAIN || mode == EXEC_TRY_INSERT))) {
            sql_log_write(static_cast<int>(worker.number), "%s", worker.statement.c_str());
            stat_add(worker.stats().updated, 1);
            return r;
        }
        const char* error = error_text(worker);
        sql_log_write(static_cast<int>(worker.number), "** %s : %s", worker.statement.c_str(),
                      error);
        switch (r) {
            case 0:
                // An UPDATE tried before an INSERT may match nothing: that is the INSERT's
                // cue, not an error. An UPDATE that had to match a row is one.
                if (mode == EXEC_FALLBACK_UPDATE) {
                    report(worker, error, __LINE__, label);
                    stat_add(worker.stats().failed, 1);
                }
                return 0;
            case ZEL_RESULT_FAILED:
                if (mode != EXEC_TRY_INSERT) {
                    report(worker, error, __LINE__, label);
                    stat_add(worker.stats().failed, 1);
                }
                return ZEL_RESULT_FAILED;
            case ZEL_RESULT_RERUN:
                report(worker, error, __LINE__, label);
                stat_add(worker.stats().failed, 1);
                if (worker.transaction_counter != 0) {
                    worker.transaction_counter = 0;
                    rollback(worker);
                }
                return ZEL_RESULT_RERUN;
            case ZEL_RESULT_LOST: {
                int status = g_module.mod_get_status(worker.connection) & 0xff;
                worker.failed_statement.assign(worker.statement.c_str());
                log_message(LOG_LEVEL_PROBLEM,
                            "SQL Error:'%s' DB:%s: File:%s:%d/%s:%d Code:%d Status:%d",
                            worker.statement.c_str(), error, "zel", __LINE__, label.unit,
                            label.line, g_module.mod_getlasterror(worker.connection), status);
                g_module.mod_reconnect(worker.connection);
                if (g_module.mod_get_status(worker.connection) != 0) {
                    // Told to stop while reconnecting: the statement is abandoned.
                    if (worker.transaction_counter != 0) {
                        worker.transaction_counter = 0;
                        return ZEL_RESULT_RERUN;
                    }
                    return ZEL_RESULT_LOST;
                }
                if (worker.transaction_counter != 0) {
                    // The open transaction died with the connection: only a rerun of the
                    // whole batch writes its items.
                    worker.transaction_counter = 0;
                    return ZEL_RESULT_RERUN;
                }
                // Whether a COMMIT took effect before the connection went cannot be known;
                // running it again on a fresh connection would commit nothing.
                if (worker.statement == "COMMIT") return ZEL_RESULT_LOST;
                continue;
            }
            default:
                // -4 and any code a module should not return: the statement failed.
                report(worker, error, __LINE__, label);
                stat_add(worker.stats().failed, 1);
                return r < 0 ? r : ZEL_RESULT_REJECTED;
        }
    }
}

ResultValue* query(DbWorker& worker, int32_t* status, SqlLabel label) {
    for (;;) {
        *status = 0;
        ResultValue* rows =
            g_module.mod_querysql(worker.connection, worker.statement.c_str(), status);
        if (*status >= 0) {
            sql_log_write(static_cast<int>(worker.number), "%s", worker.statement.c_str());
            return rows;
        }
        const char* error = error_text(worker);
        report(worker, error, __LINE__, label);
        if (*status == ZEL_RESULT_RERUN) {
            // A query runs inside the batch's transaction (or its implicit one): whatever
            // the server rolled back, the batch is written again from its start.
            worker.transaction_counter = 0;
            rollback(worker);
            return nullptr;
        }
        if (*status != ZEL_RESULT_LOST) {
            sql_log_write(static_cast<int>(worker.number), "** %s : %s", worker.statement.c_str(),
                          error);
            return nullptr;
        }
        g_module.mod_reconnect(worker.connection);
        if (g_config.transactions >= 2) {
            // The batch's transaction (if one was open) is gone with the connection.
            worker.transaction_counter = 0;
            *status = ZEL_RESULT_RERUN;
            return nullptr;
        }
        if (g_module.mod_get_status(worker.connection) != 0) return nullptr;
    }
}

void free_result(DbWorker& worker) {
    g_module.mod_freeresult(worker.connection);
}
