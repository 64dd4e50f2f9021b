/*
 * pg_execute.cpp - statements, queries and quoted values of the PostgreSQL module.
 *
 * zel's statement execution calls mod_executesql and mod_querysql on a database thread's own
 * connection, and its statement builders call mod_add_value on the same thread; nothing here
 * is shared between connections, so no lock is taken.
 *
 * Inside a transaction every statement runs between a savepoint and its release: a failing
 * statement is rolled back to the savepoint, so the transaction stays usable and zel decides
 * whether to go on or roll the whole transaction back. The savepoint, the statement and the
 * release travel as three queries of one pipeline (pg_pipeline.h): one round trip, and the
 * savepoint exists before the statement is parsed, so even a statement that does not parse
 * fails alone.
 *
 * A COMMIT of a transaction that the server had already aborted is answered with the
 * command tag ROLLBACK and no error; it is reported as a rerun, never as written.
 */
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

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

    const bool ends_transaction =
        is_statement(statement, "ROLLBACK") || is_statement(statement, "COMMIT");
    const bool starts_transaction = is_statement(statement, "START TRANSACTION");
    conn->refused_copy = false;
    Result result;
    const bool in_pipeline = conn->in_transaction && !ends_transaction;
    if (in_pipeline) {
        BracketOutcome outcome;
        run_bracketed(*conn, &statement, 1, &outcome);
        result = std::move(outcome.result);
    } else {
        if (conn->in_transaction) {
            conn->in_transaction = false;
        } else if (starts_transaction) {
            conn->in_transaction = true;
        }
        result = run(*conn, statement);
    }
    ExecStatusType state = PQresultStatus(result.get());
    if (state != PGRES_COMMAND_OK && starts_transaction) conn->in_transaction = false;

    if (is_failure(state)) {
        const char* sqlstate = record_failure(*conn, result.get(), in_pipeline);
        if (conn->refused_copy) return ZEL_RESULT_REJECTED;
        return classify_failure(Origin::execute, sqlstate, connection_ok(*conn));
    }

    if (is_statement(statement, "COMMIT") &&
        std::strcmp(PQcmdStatus(result.get()), "ROLLBACK") == 0) {
        // The transaction had failed on the server before the COMMIT: nothing of it was
        // written, and only running it again writes it.
        set_error(*conn,
                  "COMMIT answered with ROLLBACK: the server had aborted the transaction, "
                  "nothing of it was written",
                  0);
        return ZEL_RESULT_RERUN;
    }

    int32_t count = affected_rows(result.get());
    if (count == 0) set_error(*conn, "Affected rows:0", 0);
    return count;
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
