/*
 * pg_pipeline.cpp - bracketed statements in pipeline mode (see pg_pipeline.h).
 *
 * One round trip sends, in this order: the rollback to the savepoint of a statement that
 * failed in the round before (with its release), then SAVEPOINT, the statement and RELEASE
 * for every statement not yet run, then the sync. The answers come back in the same order,
 * one result per query. The server skips every query after a failure up to the sync
 * (PGRES_PIPELINE_ABORTED), so the round ends at the first failure and the next round starts
 * behind it.
 *
 * A batch that opens its transaction sends the opening statement (START TRANSACTION) first in
 * the first round, unbracketed: the statements behind it then need no round trip of their own
 * to wait for it. Should it fail, the server skips the rest and nothing of them runs.
 *
 * Outside a transaction, run_pipelined sends plain statements without the savepoints, each
 * followed by a sync of its own, so that each commits or fails alone as it would on its own.
 *
 * Runs on the thread that owns the connection; no lock.
 */
#include "modules/pgsql/pg_pipeline.h"

namespace zel_pg {

namespace {

constexpr const char* kSavepoint = "SAVEPOINT zel_savepoint";
constexpr const char* kRelease = "RELEASE SAVEPOINT zel_savepoint";
constexpr const char* kRollbackTo = "ROLLBACK TO SAVEPOINT zel_savepoint";

bool send(PGconn* server, const char* text) {
    return PQsendQueryParams(server, text, 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
}

bool succeeded(const Result& result) {
    ExecStatusType state = PQresultStatus(result.get());
    return state == PGRES_COMMAND_OK || state == PGRES_TUPLES_OK;
}

// A failure result carrying libpq's own message, for what the server never answered.
Result client_failure(DbConnection& conn) {
    return Result(PQmakeEmptyPGresult(conn.server, PGRES_FATAL_ERROR));
}

// The answer to the next query of the pipeline. libpq ends each query's answer with a null;
// a null in place of the answer means the connection failed.
Result next_answer(DbConnection& conn) {
    if (!await_answer(conn)) return client_failure(conn);
    PGresult* first = PQgetResult(conn.server);
    if (first == nullptr) return client_failure(conn);
    Result answer(first);
    if (PQresultStatus(first) == PGRES_PIPELINE_SYNC) return answer;
    while (await_answer(conn)) {
        PGresult* more = PQgetResult(conn.server);
        if (more == nullptr) break;
        PQclear(more);
    }
    return answer;
}

// Statements [from, count) did not run: each outcome carries libpq's failure.
void leave_unrun(DbConnection& conn, BracketOutcome* outcomes, size_t from, size_t count) {
    for (size_t i = from; i < count; ++i)
        outcomes[i].result = client_failure(conn);
}

// Reads up to the sync that ends the round (skipped queries answer PGRES_PIPELINE_ABORTED)
// and leaves pipeline mode. `pending` bounds the wait on a connection that has failed and
// will never send the sync.
void finish_round(DbConnection& conn, size_t pending) {
    size_t nulls = 0;
    while (nulls <= pending + 1 && await_answer(conn)) {
        PGresult* result = PQgetResult(conn.server);
        if (result == nullptr) {
            if (PQstatus(conn.server) != CONNECTION_OK) break;
            ++nulls;
            continue;
        }
        ExecStatusType state = PQresultStatus(result);
        PQclear(result);
        if (state == PGRES_PIPELINE_SYNC) break;
    }
    PQexitPipelineMode(conn.server);
}

}  // namespace

void run_bracketed(DbConnection& conn, const char* const* statements, size_t count,
                   BracketOutcome* outcomes, const char* opening, Result* opened) {
    size_t next = 0;       // the first statement not yet run
    bool restore = false;  // a statement failed: roll back to its savepoint first
    while (next < count || restore) {
        if (PQenterPipelineMode(conn.server) != 1) {
            if (opening != nullptr) *opened = client_failure(conn);
            leave_unrun(conn, outcomes, next, count);
            return;
        }
        size_t queries = 0;
        bool sent = true;
        if (opening != nullptr) {
            sent = send(conn.server, opening);
            ++queries;
        }
        if (restore) {
            sent = send(conn.server, kRollbackTo) && send(conn.server, kRelease);
            queries += 2;
        }
        for (size_t i = next; i < count && sent; ++i) {
            sent = send(conn.server, kSavepoint) && send(conn.server, statements[i]) &&
                   send(conn.server, kRelease);
            queries += 3;
        }
        if (!sent || PQpipelineSync(conn.server) != 1) {
            // Nothing can be relied on of a round that could not be sent whole.
            if (opening != nullptr) *opened = client_failure(conn);
            leave_unrun(conn, outcomes, next, count);
            if (PQstatus(conn.server) == CONNECTION_OK && PQpipelineSync(conn.server) == 1)
                finish_round(conn, queries);
            else
                PQexitPipelineMode(conn.server);
            return;
        }

        if (opening != nullptr) {
            opening = nullptr;
            *opened = next_answer(conn);
            --queries;
            if (!succeeded(*opened)) {
                // No transaction: the server skips everything behind it up to the sync.
                leave_unrun(conn, outcomes, next, count);
                finish_round(conn, queries);
                return;
            }
        }
        if (restore) {
            restore = false;
            Result back = next_answer(conn);
            Result released = next_answer(conn);
            queries -= 2;
            if (!succeeded(back) || !succeeded(released)) {
                // The transaction could not be restored: nothing after the failure may run.
                leave_unrun(conn, outcomes, next, count);
                finish_round(conn, queries);
                return;
            }
        }

        bool stop = false;
        while (next < count && !stop) {
            BracketOutcome& out = outcomes[next];
            Result savepoint = next_answer(conn);
            if (!succeeded(savepoint)) {
                // No savepoint (a transaction that had failed already, or a lost connection):
                // the statement never ran, and those after it cannot run either.
                out.result = std::move(savepoint);
                leave_unrun(conn, outcomes, next + 1, count);
                finish_round(conn, queries);
                return;
            }
            out.result = next_answer(conn);
            out.bracketed = true;
            queries -= 2;
            ++next;
            if (!succeeded(out.result)) {
                // The release and everything after it were skipped by the server.
                restore = true;
                stop = true;
            } else {
                Result released = next_answer(conn);
                --queries;
                if (!succeeded(released)) {
                    leave_unrun(conn, outcomes, next, count);
                    finish_round(conn, queries);
                    return;
                }
            }
        }
        finish_round(conn, queries);
    }
}

size_t run_pipelined(DbConnection& conn, const char* const* statements, size_t count,
                     Result* results) {
    if (count == 0) return 0;
    if (PQenterPipelineMode(conn.server) != 1) {
        results[0] = client_failure(conn);
        return 1;
    }
    // Each statement is followed by its own sync: the server runs the queries between two
    // syncs as one implicit transaction, so without it a failing statement would take the
    // statements before it (already answered as written) down with it.
    size_t sent = 0;
    while (sent < count && send(conn.server, statements[sent]) && PQpipelineSync(conn.server) == 1)
        ++sent;
    if (sent == 0) {
        results[0] = client_failure(conn);
        PQexitPipelineMode(conn.server);
        return 1;
    }
    for (size_t i = 0; i < sent; ++i) {
        results[i] = next_answer(conn);
        Result sync = next_answer(conn);
        if (PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) {
            // The connection failed: what was sent after this statement is unknown.
            if (succeeded(results[i])) results[i] = std::move(sync);
            PQexitPipelineMode(conn.server);
            return i + 1;
        }
    }
    PQexitPipelineMode(conn.server);
    return sent;
}

}  // namespace zel_pg
