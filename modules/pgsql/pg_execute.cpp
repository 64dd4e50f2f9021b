/*
 * pg_execute.cpp - statements, queries and quoted values of the PostgreSQL module.
 *
 * zel's statement execution calls mod_executesql and mod_querysql on a database thread's own
 * connection, and its statement builders call mod_add_value on the same thread; nothing here
 * is shared between connections, so no lock is taken.
 *
 * Whether a transaction is open is the server's word (in_transaction, pg_connection.h), not
 * a guess from the statements that went by: a transaction opened by any text, ended by the
 * server or lost with the connection is seen as it is.
 *
 * Inside a transaction every statement runs between a savepoint and its release: a failing
 * statement is rolled back to the savepoint, so the transaction stays usable and zel decides
 * whether to go on or roll the whole transaction back. The savepoint, the statement and the
 * release travel as three queries of one pipeline (pg_pipeline.h): one round trip, and the
 * savepoint exists before the statement is parsed, so even a statement that does not parse
 * fails alone.
 *
 * mod_executebatch sends many statements in one pipeline: inside a transaction each still
 * between its savepoint and its release (pg_pipeline.h), outside one as plain queries. A
 * START TRANSACTION at the head of a batch goes out in the same pipeline as the statements
 * behind it. Its results mean what mod_executesql's would for each statement alone.
 *
 * A COMMIT of a transaction that the server had already aborted is answered with the
 * command tag ROLLBACK and no error; it is reported as a rerun, never as written.
 */
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "modules/common/utf8_limit.h"
#include "modules/pgsql/pg_connection.h"
#include "modules/pgsql/pg_dialect.h"
#include "modules/pgsql/pg_pipeline.h"

using namespace zel_pg;

namespace {

constexpr const char* not_connected = "Not connected to the database server";

bool is_statement(const char* text, const char* statement) {
    return std::strcmp(text, statement) == 0;
}

bool is_failure(ExecStatusType state) {
    return state == PGRES_FATAL_ERROR || state == PGRES_BAD_RESPONSE;
}

int32_t affected_rows(PGresult* result) {
    long long count = std::strtoll(PQcmdTuples(result), nullptr, 10);
    return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

// Records the message and the SQLSTATE of a failed statement; returns the SQLSTATE. A
// statement run on its own is described by the connection's message, which also carries
// what the server said before it went away. In a pipeline the connection's message may
// already speak of what ran after the statement (the rollback to its savepoint): the
// statement's own result tells its failure there.
const char* record_failure(DbConnection& conn, PGresult* result, bool in_pipeline) {
    if (conn.abandoned) {
        set_error(conn, conn.abandon_reason.c_str(), 0);
        return nullptr;
    }
    const char* sqlstate =
        result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const char* message = in_pipeline && result != nullptr ? PQresultErrorMessage(result) : nullptr;
    if (message == nullptr || *message == '\0') message = PQerrorMessage(conn.server);
    set_error(conn, message, sqlstate_code(sqlstate));
    if (sqlstate != nullptr && std::strcmp(sqlstate, "25006") == 0) {
        // The server takes no writes any more (a demoted primary): nothing more is sent on
        // this connection, the caller reconnects and the host list finds the writable one.
        conn.abandoned = true;
        conn.abandon_reason =
            "The server refused a write as read-only (a standby or a demoted primary); the "
            "connection is given up so that a reconnect finds the writable server";
    }
    return sqlstate;
}

bool append_value(DbConnection& conn, const char* text) {
    auto* node = static_cast<ResultValue*>(std::calloc(1, sizeof(ResultValue)));
    if (node == nullptr) return false;
    if (text != nullptr && *text != '\0') {
        node->value = strdup(text);
        if (node->value == nullptr) {
            std::free(node);
            return false;
        }
    }
    if (conn.result_tail == nullptr)
        conn.result_head = node;
    else
        conn.result_tail->next = node;
    conn.result_tail = node;
    return true;
}

// mod_executesql's result for a statement's final answer, with the error text and code
// recorded for a failure or for no row affected.
int32_t outcome(DbConnection& conn, PGresult* result, const char* statement, bool in_pipeline) {
    if (is_failure(PQresultStatus(result))) {
        const char* sqlstate = record_failure(conn, result, in_pipeline);
        if (conn.refused_copy) return ZEL_RESULT_REJECTED;
        return classify_failure(Origin::execute, sqlstate, connection_ok(conn));
    }

    if (is_statement(statement, "COMMIT") && std::strcmp(PQcmdStatus(result), "ROLLBACK") == 0) {
        // The transaction had failed on the server before the COMMIT: nothing of it was
        // written, and only running it again writes it.
        set_error(conn,
                  "COMMIT answered with ROLLBACK: the server had aborted the transaction, "
                  "nothing of it was written",
                  0);
        return ZEL_RESULT_RERUN;
    }

    int32_t count = affected_rows(result);
    if (count == 0) set_error(conn, "Affected rows:0", 0);
    return count;
}

bool opens_transaction(const char* statement) {
    return is_statement(statement, "START TRANSACTION") || is_statement(statement, "BEGIN");
}

// The statements zel opens and ends transactions with. A batch asks the server whether a
// transaction is open once for a run of statements, so these, which change the answer, go
// to mod_executesql one at a time (there the ones that end a transaction get no savepoint),
// except an opening statement at the head of a run, which goes out with it
// (batch_opening_transaction).
bool controls_transaction(const char* statement) {
    return is_statement(statement, "COMMIT") || is_statement(statement, "ROLLBACK") ||
           opens_transaction(statement);
}

// Fills one batch result; the error text of a result of 0 or less is kept on the
// connection until the next batch.
void fill(DbConnection& conn, int32_t index, int32_t result, ZelBatchResult& out) {
    out.result = result;
    out.error_code = 0;
    out.error = nullptr;
    if (result > 0) return;
    out.error_code = conn.error_code.load();
    std::lock_guard<std::mutex> hold(conn.error_lock);
    if (!conn.has_error) return;
    conn.batch_errors[static_cast<size_t>(index)] = conn.error_text;
    out.error = conn.batch_errors[static_cast<size_t>(index)].c_str();
}

bool ends_batch(int32_t result) {
    return result == ZEL_RESULT_LOST || result == ZEL_RESULT_RERUN;
}

// Statements [first, end) inside the open transaction, each with its savepoint in one
// pipeline. Returns how many have results; the run ends at a lost connection or a
// transaction the server gave up.
// The results of statements [first, end) from their bracketed outcomes.
int32_t settle_bracketed(DbConnection& conn, const char* const* statements, int32_t first,
                         int32_t end, std::vector<BracketOutcome>& outcomes,
                         ZelBatchResult* results) {
    const size_t count = static_cast<size_t>(end - first);
    for (size_t i = 0; i < count; ++i) {
        const int32_t index = first + static_cast<int32_t>(i);
        int32_t r = outcome(conn, outcomes[i].result.get(), statements[index], true);
        // A statement that never reached its savepoint did not run: the transaction could
        // not go on (or could not be restored after a failure), and only a rerun writes it.
        if (!outcomes[i].bracketed && r != ZEL_RESULT_LOST) r = ZEL_RESULT_RERUN;
        fill(conn, index, r, results[index]);
        if (ends_batch(r)) return index + 1 - first;
    }
    return end - first;
}

int32_t batch_in_transaction(DbConnection& conn, const char* const* statements, int32_t first,
                             int32_t end, ZelBatchResult* results) {
    std::vector<BracketOutcome> outcomes(static_cast<size_t>(end - first));
    run_bracketed(conn, statements + first, outcomes.size(), outcomes.data());
    return settle_bracketed(conn, statements, first, end, outcomes, results);
}

// statements[opening] opens a transaction and [opening + 1, end) run inside it: all in one
// round trip, which saves the wait for the opening statement's answer. Returns how many have
// results: only the opening one when it failed (nothing behind it ran).
int32_t batch_opening_transaction(DbConnection& conn, const char* const* statements,
                                  int32_t opening, int32_t end, ZelBatchResult* results) {
    std::vector<BracketOutcome> outcomes(static_cast<size_t>(end - opening - 1));
    Result opened;
    run_bracketed(conn, statements + opening + 1, outcomes.size(), outcomes.data(),
                  statements[opening], &opened);
    const int32_t r = outcome(conn, opened.get(), statements[opening], true);
    fill(conn, opening, r, results[opening]);
    if (r < 0) return 1;
    return 1 + settle_bracketed(conn, statements, opening + 1, end, outcomes, results);
}

// Statements [first, end) outside a transaction as plain queries of one pipeline; a
// failure ends a pipeline, and the statements behind it go out in the next.
int32_t batch_plain(DbConnection& conn, const char* const* statements, int32_t first,
                    int32_t end, ZelBatchResult* results) {
    std::vector<Result> answers(static_cast<size_t>(end - first));
    int32_t next = first;
    while (next < end) {
        const size_t ran = run_pipelined(conn, statements + next, static_cast<size_t>(end - next),
                                         answers.data() + (next - first));
        for (size_t i = 0; i < ran; ++i, ++next) {
            int32_t r = outcome(conn, answers[static_cast<size_t>(next - first)].get(),
                                statements[next], true);
            fill(conn, next, r, results[next]);
            if (ends_batch(r)) return next + 1 - first;
        }
    }
    return end - first;
}

}  // namespace

extern "C" {

int32_t mod_executesql(DbConnection* conn, const char* statement) {
    if (conn == nullptr) return ZEL_RESULT_FAILED;
    if (statement == nullptr) {
        set_error(*conn, "No statement given", 0);
        return ZEL_RESULT_FAILED;
    }
    if (conn->server == nullptr) {
        set_error(*conn, not_connected, 0);
        return ZEL_RESULT_FAILED;
    }

    // The COMMIT or ROLLBACK that ends the transaction runs as it is: a savepoint around
    // it would end with the transaction.
    const bool ends_transaction =
        is_statement(statement, "ROLLBACK") || is_statement(statement, "COMMIT");
    conn->refused_copy = false;
    Result result;
    const bool in_pipeline = in_transaction(*conn) && !ends_transaction;
    if (in_pipeline) {
        BracketOutcome outcome;
        run_bracketed(*conn, &statement, 1, &outcome);
        result = std::move(outcome.result);
    } else {
        result = run(*conn, statement);
    }
    return outcome(*conn, result.get(), statement, in_pipeline);
}

int32_t mod_executebatch(DbConnection* conn, const char* const* statements, int32_t count,
                         ZelBatchResult* results) {
    if (conn == nullptr) return -1;
    if (statements == nullptr || results == nullptr || count < 0) {
        set_error(*conn, "No statements given", 0);
        return -1;
    }
    conn->batch_errors.assign(static_cast<size_t>(count), std::string());
    int32_t done = 0;
    while (done < count) {
        const char* first = statements[done];
        // The run of ordinary statements from `start`; an opening statement leads it when
        // it opens the transaction they run in.
        const bool opening = conn->server != nullptr && first != nullptr &&
                             opens_transaction(first) && !in_transaction(*conn);
        const int32_t start = opening ? done + 1 : done;
        int32_t end = start;
        while (end < count && statements[end] != nullptr && !controls_transaction(statements[end]))
            ++end;
        if (conn->server == nullptr || first == nullptr || end == start ||
            (controls_transaction(first) && !opening)) {
            int32_t r = mod_executesql(conn, first);
            fill(*conn, done, r, results[done]);
            ++done;
            if (ends_batch(r) || conn->server == nullptr) break;
            continue;
        }
        conn->refused_copy = false;
        const int32_t wanted = end - done;
        int32_t ran = opening ? batch_opening_transaction(*conn, statements, done, end, results)
                      : in_transaction(*conn)
                          ? batch_in_transaction(*conn, statements, done, end, results)
                          : batch_plain(*conn, statements, done, end, results);
        done += ran;
        if (ran < wanted) break;  // ended early: lost, a transaction given up, no transaction
    }
    return done;
}

ResultValue* mod_querysql(DbConnection* conn, const char* query, int32_t* status) {
    int32_t ignored = 0;
    if (status == nullptr) status = &ignored;
    if (conn == nullptr) {
        *status = ZEL_RESULT_FAILED;
        return nullptr;
    }
    // A query that cannot run is a failure, not an empty answer.
    if (query == nullptr || conn->server == nullptr) {
        set_error(*conn, query == nullptr ? "No query given" : not_connected, 0);
        *status = ZEL_RESULT_FAILED;
        return nullptr;
    }

    *status = 0;
    Result result = run(*conn, query);
    if (is_failure(PQresultStatus(result.get()))) {
        const char* sqlstate = record_failure(*conn, result.get(), false);
        *status = classify_failure(Origin::query, sqlstate, connection_ok(*conn));
        return nullptr;
    }

    const int rows = PQntuples(result.get());
    const int columns = PQnfields(result.get());
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            const char* value = PQgetisnull(result.get(), row, column)
                                    ? nullptr
                                    : PQgetvalue(result.get(), row, column);
            if (!append_value(*conn, value)) {
                set_error(*conn, "Out of memory while reading the query result", 0);
                *status = ZEL_RESULT_REJECTED;
                return nullptr;
            }
        }
    }
    return conn->result_head;
}

const char* mod_add_value(DbConnection* conn, const char* value, uint64_t max_chars) {
    if (conn == nullptr || value == nullptr || conn->server == nullptr) return nullptr;

    const size_t length = std::strlen(value);
    const size_t n = zel_utf8_limit(value, length, max_chars, nullptr);

    const size_t needed = 2 * n + 5;
    if (conn->scratch.size() < needed) {
        try {
            conn->scratch.resize(needed / 1024 * 1024 + 1024);
        } catch (const std::bad_alloc&) {
            set_error(*conn, "Out of memory while quoting a value", 0);
            return nullptr;
        }
    }

    char* out = conn->scratch.data();
    size_t pos = 0;
    if (conn->estrings) out[pos++] = 'E';
    out[pos++] = '\'';
    int failed = 0;
    pos += PQescapeStringConn(conn->server, out + pos, value, n, &failed);
    if (failed) {
        // Text that is not valid in the client encoding: whatever the escape left in the
        // buffer is no safe literal. The caller writes NULL instead, as for any value the
        // module cannot quote.
        set_error(*conn, PQerrorMessage(conn->server), 0);
        return nullptr;
    }
    out[pos++] = '\'';
    out[pos] = '\0';
    return out;
}

}  // extern "C"
