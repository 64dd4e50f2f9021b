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
 * release go to the server as one query text, so the bracket costs one round trip rather than
 * three; the server answers each part separately, and stops at the first part that fails.
 */
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "modules/common/utf8_limit.h"
#include "modules/pgsql/pg_connection.h"
#include "modules/pgsql/pg_dialect.h"

using namespace zel_pg;

namespace {

constexpr const char* not_connected = "Not connected to the database server";

bool is_statement(const char* text, const char* statement) {
    return std::strcmp(text, statement) == 0;
}

// Runs a statement whose outcome only matters as success or failure.
bool run_command(DbConnection& conn, const char* statement) {
    Result result = run(conn, statement);
    return PQresultStatus(result.get()) == PGRES_COMMAND_OK;
}

bool is_failure(ExecStatusType state) {
    return state == PGRES_FATAL_ERROR || state == PGRES_BAD_RESPONSE;
}

// The parts of a bracketed statement as the server answered them: the savepoint, the
// statement and the release, in that order; a part the server did not run has no result.
struct BracketResults {
    Result part[3];
};

// Sends SAVEPOINT, the statement and RELEASE in one query text and collects the answers.
// False when the text could not be sent at all.
bool run_bracketed(DbConnection& conn, const char* statement, BracketResults* results) {
    std::string& text = conn.bracketed;
    text.assign("SAVEPOINT zel_savepoint;");
    text.append(statement);
    // On a line of its own, so that a comment at the statement's end cannot swallow it.
    text.append("\n;RELEASE SAVEPOINT zel_savepoint");
    if (PQsendQuery(conn.server, text.c_str()) != 1) return false;
    int n = 0;
    while (PGresult* next = PQgetResult(conn.server)) {
        Result result(next);
        // A COPY statement's final answer follows its COPY state and takes its place.
        if (wind_up_copy(conn, PQresultStatus(next))) continue;
        if (n < 3) results->part[n++] = std::move(result);
    }
    return true;
}

int32_t affected_rows(PGresult* result) {
    long long count = std::strtoll(PQcmdTuples(result), nullptr, 10);
    return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

// Records libpq's message and the SQLSTATE of a failed statement; returns the SQLSTATE.
const char* record_failure(DbConnection& conn, PGresult* result) {
    const char* sqlstate =
        result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    set_error(conn, PQerrorMessage(conn.server), sqlstate_code(sqlstate));
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
    bool savepoint = false;
    Result result;
    if (conn->in_transaction && !ends_transaction) {
        BracketResults parts;
        if (run_bracketed(*conn, statement, &parts) &&
            PQresultStatus(parts.part[0].get()) == PGRES_COMMAND_OK) {
            savepoint = true;
            result = std::move(parts.part[1]);
        }
        // Without its savepoint the server ran nothing of the text (a transaction already
        // failed, or a connection gone): the statement runs on its own, as it would have.
    } else if (conn->in_transaction) {
        conn->in_transaction = false;
    } else if (starts_transaction) {
        conn->in_transaction = true;
    }

    if (!savepoint) result = run(*conn, statement);
    ExecStatusType state = PQresultStatus(result.get());
    if (state != PGRES_COMMAND_OK && starts_transaction) conn->in_transaction = false;

    if (is_failure(state)) {
        const char* sqlstate = record_failure(*conn, result.get());
        // The server skipped the release after the failure; both go in one round trip.
        if (savepoint)
            run_command(*conn,
                        "ROLLBACK TO SAVEPOINT zel_savepoint;RELEASE SAVEPOINT zel_savepoint");
        return classify_failure(Origin::execute, sqlstate, connection_ok(*conn));
    }

    // A statement that succeeds inside the bracket was released with it.
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
        const char* sqlstate = record_failure(*conn, result.get());
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
        // Text that is not valid in the client encoding: the server would refuse the literal
        // anyway, and the statement would fail with a less helpful message.
        set_error(*conn, PQerrorMessage(conn->server), 0);
    }
    out[pos++] = '\'';
    out[pos] = '\0';
    return out;
}

}  // extern "C"
