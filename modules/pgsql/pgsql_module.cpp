/*
 * pgsql_module.cpp - the PostgreSQL module's connection life: creation, connect, reconnect,
 * disconnect, destruction, the status byte and the last error.
 *
 * zel's module loader calls these entry points; statements are in pg_execute.cpp, the schema
 * in pg_schema.cpp. A DbConnection is used by one thread at a time (pg_connection.h); its
 * status byte is shared and atomic, its error text is shared under its own lock. The module
 * has no process-wide state; mod_geterrorstring hands each calling thread a copy of its own.
 *
 * The connect steps libpq's handshake itself (PQconnectStartParams and PQconnectPoll) and
 * waits on the socket in short slices, so that a stop request ends a connect to a server
 * that never answers, and the connect_timeout holds (libpq enforces it only in its own
 * blocking connect). For the same reason a host list is tried one host at a time here, each
 * host with its own connect_timeout (connect_each_host).
 */
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "modules/pgsql/pg_connection.h"
#include "modules/pgsql/pg_dialect.h"
#include "platform/socket.h"

namespace zel_pg {

namespace {

constexpr size_t initial_scratch = 1024;

// A stop request ends the wait between two reconnect attempts early, so a shutdown does not
// sit out the rest of the second.
void wait_before_retry(const DbConnection& conn) {
    for (int slice = 0; slice < 20 && conn.status.load() == ZEL_STATUS_RECONNECTING; ++slice)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void close_server(DbConnection& conn) {
    if (conn.server != nullptr) {
        PQfinish(conn.server);
        conn.server = nullptr;
    }
}

void free_results(DbConnection& conn) {
    ResultValue* node = conn.result_head;
    while (node != nullptr) {
        ResultValue* next = node->next;
        std::free(node->value);
        std::free(node);
        node = next;
    }
    conn.result_head = nullptr;
    conn.result_tail = nullptr;
}

}  // namespace

void set_error(DbConnection& conn, const char* text, int32_t code) {
    size_t length = text != nullptr ? std::strlen(text) : 0;
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        --length;
    std::lock_guard<std::mutex> hold(conn.error_lock);
    try {
        conn.error_text.assign(text != nullptr ? text : "", length);
    } catch (const std::bad_alloc&) {
        conn.error_text.clear();
    }
    conn.has_error = true;
    conn.error_code = code;
}

void clear_error(DbConnection& conn) {
    std::lock_guard<std::mutex> hold(conn.error_lock);
    conn.error_text.clear();
    conn.has_error = false;
    conn.error_code = 0;
}

bool connection_ok(const DbConnection& conn) {
    return conn.server != nullptr && !conn.abandoned && PQstatus(conn.server) == CONNECTION_OK;
}

bool in_transaction(const DbConnection& conn) {
    if (conn.server == nullptr) return false;
    const PGTransactionStatusType state = PQtransactionStatus(conn.server);
    return state == PQTRANS_INTRANS || state == PQTRANS_INERROR;
}

bool await_answer(DbConnection& conn) {
    if (conn.abandoned) return false;
    // A stop request that arrives during the wait ends it: a stop must not hang on a server
    // that does not answer. A statement sent after the request was made on purpose (the
    // drain's last writes, the stop mark in the status table), so its answer is waited for,
    // but briefly: nobody can interrupt that wait any more.
    const bool sent_after_stop = conn.status.load() == ZEL_STATUS_STOP;
    int64_t limit_ms =
        conn.params != nullptr ? static_cast<int64_t>(conn.params->answer_timeout) * 1000 : 0;
    if (sent_after_stop && (limit_ms == 0 || limit_ms > kAnswerAfterStopMs))
        limit_ms = kAnswerAfterStopMs;
    const auto started = std::chrono::steady_clock::now();
    while (PQisBusy(conn.server)) {
        const int64_t waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count();
        const char* reason = nullptr;
        if (!sent_after_stop && conn.status.load() == ZEL_STATUS_STOP)
            reason = "A stop was requested while the server had not answered; the connection is "
                     "given up";
        else if (sent_after_stop && waited >= limit_ms)
            reason = "The server did not answer a statement sent after the stop request in time; "
                     "the connection is given up";
        else if (limit_ms > 0 && waited >= limit_ms)
            reason = "The server did not answer within the answer timeout; the connection is "
                     "taken as lost";
        if (reason != nullptr) {
            conn.abandoned = true;
            conn.abandon_reason = reason;
            set_error(conn, reason, 0);
            return false;
        }
        int64_t slice = 100;
        if (limit_ms > 0 && limit_ms - waited < slice) slice = limit_ms - waited;
        int ready = platform_socket_wait_readable(PQsocket(conn.server), static_cast<int>(slice));
        // A failed wait or read is the connection's own failure: PQgetResult reports it.
        if (ready < 0 || (ready > 0 && PQconsumeInput(conn.server) == 0)) break;
    }
    return true;
}

bool wind_up_copy(DbConnection& conn, ExecStatusType state) {
    if (state != PGRES_COPY_IN && state != PGRES_COPY_OUT && state != PGRES_COPY_BOTH) return false;
    if (state == PGRES_COPY_OUT) {
        char* row = nullptr;
        while (PQgetCopyData(conn.server, &row, 0) > 0) {
            PQfreemem(row);
            row = nullptr;
        }
    } else {
        PQputCopyEnd(conn.server, "statements that stream COPY data are not supported");
        // The server answers the refusal as a cancelled statement; that is no transient
        // failure worth a rerun.
        conn.refused_copy = true;
    }
    return true;
}

// As PQexec, but the wait for each answer is bounded by await_answer: the first failure of
// a text of several statements is its answer, otherwise its last result.
Result run(DbConnection& conn, const char* statement) {
    if (conn.abandoned || PQsendQuery(conn.server, statement) != 1)
        return Result(PQmakeEmptyPGresult(conn.server, PGRES_FATAL_ERROR));
    Result answer;
    bool failed = false;
    for (;;) {
        if (!await_answer(conn)) return Result(PQmakeEmptyPGresult(conn.server, PGRES_FATAL_ERROR));
        PGresult* next = PQgetResult(conn.server);
        if (next == nullptr) break;
        ExecStatusType state = PQresultStatus(next);
        if (wind_up_copy(conn, state)) {
            PQclear(next);
            continue;
        }
        if (failed) {
            PQclear(next);
            continue;
        }
        failed = state == PGRES_FATAL_ERROR || state == PGRES_BAD_RESPONSE;
        answer.reset(next);
    }
    if (!answer) answer.reset(PQmakeEmptyPGresult(conn.server, PGRES_FATAL_ERROR));
    return answer;
}

namespace {

bool stop_requested(const DbConnection& conn) {
    return conn.status.load() == ZEL_STATUS_STOP;
}

// Overwrites a text that held a password before its memory is given back.
void wipe(std::string& text) {
    volatile char* p = text.data();
    for (size_t i = 0; i < text.size(); ++i)
        p[i] = '\0';
}

// The keyword and value lists for PQconnectStartParams: the defaults, then what the
// connection text sets (later entries win). Null-terminated; the values point into
// `parsed`, which must outlive them. Returns the connect_timeout in force.
int64_t connect_lists(const PQconninfoOption* parsed, std::vector<const char*>& keywords,
                      std::vector<const char*>& values) {
    const char* timeout = nullptr;
    for (size_t i = 0; i < kConnectDefaultCount; ++i) {
        keywords.push_back(kConnectDefaults[i].keyword);
        values.push_back(kConnectDefaults[i].value);
        if (std::strcmp(kConnectDefaults[i].keyword, "connect_timeout") == 0)
            timeout = kConnectDefaults[i].value;
    }
    for (const PQconninfoOption* option = parsed; option->keyword != nullptr; ++option) {
        if (option->val == nullptr) continue;
        keywords.push_back(option->keyword);
        values.push_back(option->val);
        if (std::strcmp(option->keyword, "connect_timeout") == 0) timeout = option->val;
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    return connect_timeout_ms(timeout);
}

// Steps the handshake until it succeeds, fails, runs out of time or a stop is requested.
// 1 on success; 0 otherwise, with the error text set (a stop leaves the last one).
int32_t complete_connect(DbConnection& conn, int64_t timeout_ms) {
    const int64_t deadline = timeout_ms > 0 ? platform_monotonic_ms() + timeout_ms : -1;
    PostgresPollingStatusType step = PGRES_POLLING_WRITING;
    for (;;) {
        if (step == PGRES_POLLING_OK) return 1;
        if (step == PGRES_POLLING_FAILED) {
            set_error(conn, PQerrorMessage(conn.server), 0);
            return 0;
        }
        if (stop_requested(conn)) return 0;
        int64_t slice = 100;
        if (deadline >= 0) {
            int64_t left = deadline - platform_monotonic_ms();
            if (left <= 0) {
                char text[160];
                std::snprintf(text, sizeof text,
                              "No answer from the database server within %lld seconds "
                              "(connect_timeout)",
                              static_cast<long long>(timeout_ms / 1000));
                set_error(conn, text, 0);
                return 0;
            }
            if (left < slice) slice = left;
        }
        const intptr_t socket = PQsocket(conn.server);
        int ready = 1;
        if (socket >= 0) {
            ready = step == PGRES_POLLING_READING
                        ? platform_socket_wait_readable(socket, static_cast<int>(slice))
                        : platform_socket_wait_writable(socket, static_cast<int>(slice));
        }
        if (ready != 0) step = PQconnectPoll(conn.server);
    }
}

// One connect attempt with the given lists; 1 on success, 0 with the error text set.
int32_t attempt_connect(DbConnection& conn, const std::vector<const char*>& keywords,
                        const std::vector<const char*>& values, int64_t timeout_ms) {
    close_server(conn);
    conn.server = PQconnectStartParams(keywords.data(), values.data(), 0);
    if (conn.server == nullptr) {
        set_error(conn, "Out of memory while connecting", 0);
        return 0;
    }
    if (PQstatus(conn.server) == CONNECTION_BAD) {
        set_error(conn, PQerrorMessage(conn.server), 0);
        return 0;
    }
    return complete_connect(conn, timeout_ms);
}

// The value the lists give a keyword (the last entry wins, as in libpq), or -1.
int find_keyword(const std::vector<const char*>& keywords, const char* keyword) {
    int found = -1;
    for (size_t i = 0; i + 1 < keywords.size(); ++i)
        if (std::strcmp(keywords[i], keyword) == 0) found = static_cast<int>(i);
    return found;
}

// Connects through a host list one host at a time, each with a connect_timeout of its own,
// as libpq's own blocking connect does. Stepping the handshake here, libpq would try the next
// host only after the current one failed: a host that accepts the TCP connection and never
// answers (a hung primary) would use up the whole attempt, and every later attempt would start
// with it again, so the standby that took over would never be reached.
int32_t connect_each_host(DbConnection& conn, const std::vector<const char*>& keywords,
                          std::vector<const char*> values, int64_t timeout_ms) {
    const int host_at = find_keyword(keywords, "host");
    const int addr_at = find_keyword(keywords, "hostaddr");
    const int port_at = find_keyword(keywords, "port");
    auto at = [&](int index) { return index >= 0 ? values[index] : nullptr; };
    const std::vector<HostAttempt> attempts =
        host_attempts(at(host_at), at(addr_at), at(port_at));
    if (attempts.empty()) return attempt_connect(conn, keywords, values, timeout_ms);

    std::string reasons;
    for (const HostAttempt& one : attempts) {
        if (host_at >= 0) values[host_at] = one.host.c_str();
        if (addr_at >= 0) values[addr_at] = one.hostaddr.c_str();
        if (port_at >= 0) values[port_at] = one.port.c_str();
        if (attempt_connect(conn, keywords, values, timeout_ms) == 1) return 1;
        if (stop_requested(conn)) return 0;
        std::lock_guard<std::mutex> hold(conn.error_lock);
        if (!reasons.empty()) reasons += "; ";
        reasons += one.label;
        reasons += ": ";
        reasons += conn.error_text;
    }
    set_error(conn, reasons.c_str(), 0);
    return 0;
}

}  // namespace

int32_t connect(DbConnection& conn) {
    // The error text of the last failure stays until this attempt decides: a reader (the
    // supervisor) then sees why the connection is down, not an empty text.
    conn.error_code = 0;
    close_server(conn);
    conn.abandoned = false;
    if (stop_requested(conn)) return 0;

    const ZelModuleParams* params = conn.params;
    const bool given = params != nullptr && params->connectionstring != nullptr &&
                       params->connectionstring[0] != '\0';
    std::string built;
    PQconninfoOption* parsed = nullptr;
    // The parsed settings hold the password: it is overwritten before they are given back.
    auto free_parsed = [&] {
        if (parsed == nullptr) return;
        for (PQconninfoOption* option = parsed; option->keyword != nullptr; ++option) {
            if (option->val != nullptr && std::strcmp(option->keyword, "password") == 0) {
                volatile char* p = option->val;
                for (size_t i = 0; p[i] != '\0'; ++i)
                    p[i] = '\0';
            }
        }
        PQconninfoFree(parsed);
        parsed = nullptr;
    };
    int32_t connected = 0;
    try {
        if (!given && params != nullptr) built = build_conninfo(*params);
        char* problem = nullptr;
        parsed = PQconninfoParse(given ? params->connectionstring : built.c_str(), &problem);
        wipe(built);
        if (parsed == nullptr) {
            // libpq's message quotes the text near the fault, which may be a password: say
            // what is wrong without it.
            std::string text = given ? "The configured connectionstring cannot be used: "
                                     : "The connection settings cannot be used: ";
            text += conninfo_problem(problem);
            text += " (the text is not shown, as it may hold a password)";
            if (problem != nullptr) PQfreemem(problem);
            set_error(conn, text.c_str(), 0);
            return 0;
        }
        std::vector<const char*> keywords;
        std::vector<const char*> values;
        const int64_t timeout_ms = connect_lists(parsed, keywords, values);
        connected = connect_each_host(conn, keywords, values, timeout_ms);
        free_parsed();
    } catch (const std::bad_alloc&) {
        wipe(built);
        free_parsed();
        set_error(conn, "Out of memory while building the connection string", 0);
        return 0;
    }
    if (connected != 1) return 0;
    if (PQsetClientEncoding(conn.server, "UNICODE") != 0 &&
        PQsetClientEncoding(conn.server, "UTF8") != 0) {
        set_error(conn, PQerrorMessage(conn.server), 0);
        return 0;
    }
    // Follow the server that is connected now: E'' literals with escaping made for a server
    // that reads plain literals the standard way would let a backslash end the literal.
    const char* standard = PQparameterStatus(conn.server, "standard_conforming_strings");
    conn.estrings = standard != nullptr && std::strcmp(standard, "off") == 0;
    if (conn.database_name.empty()) {
        const char* name = PQdb(conn.server);
        try {
            conn.database_name = name != nullptr ? name : "";
        } catch (const std::bad_alloc&) {
            set_error(conn, "Out of memory", 0);
            return 0;
        }
    }
    clear_error(conn);
    return 1;
}

}  // namespace zel_pg

using namespace zel_pg;

extern "C" {

int32_t mod_init(void) {
    return 1;
}

int32_t mod_exit(void) {
    return 1;
}

DbConnection* mod_create(ZelModuleParams* params) {
    DbConnection* conn = new (std::nothrow) DbConnection;
    if (conn == nullptr) return nullptr;
    try {
        conn->scratch.resize(initial_scratch);
    } catch (const std::bad_alloc&) {
        delete conn;
        return nullptr;
    }
    conn->params = params;
    return conn;
}

int32_t mod_destroy(DbConnection* conn) {
    if (conn == nullptr) return -1;
    close_server(*conn);
    free_results(*conn);
    delete conn;
    return 1;
}

int32_t mod_connect(DbConnection* conn) {
    if (conn == nullptr) return 0;
    return zel_pg::connect(*conn);
}

int32_t mod_disconnect(DbConnection* conn) {
    if (conn == nullptr) return -1;
    close_server(*conn);
    return 1;
}

void mod_reconnect(DbConnection* conn) {
    if (conn == nullptr) return;
    // Only "connected" may become "reconnecting": a stop request that arrives at any moment
    // must survive, or the retry loop below would never end.
    uint8_t expected = ZEL_STATUS_CONNECTED;
    if (!conn->status.compare_exchange_strong(expected, ZEL_STATUS_RECONNECTING) &&
        expected != ZEL_STATUS_RECONNECTING)
        return;
    while (conn->status.load() == ZEL_STATUS_RECONNECTING) {
        if (zel_pg::connect(*conn) == 1) {
            uint8_t retrying = ZEL_STATUS_RECONNECTING;
            conn->status.compare_exchange_strong(retrying, ZEL_STATUS_CONNECTED);
            return;
        }
        wait_before_retry(*conn);
    }
}

int32_t mod_getlasterror(DbConnection* conn) {
    return conn != nullptr ? conn->error_code.load() : -1;
}

const char* mod_geterrorstring(DbConnection* conn) {
    // The supervisor asks while the owning thread may be replacing the text: each thread
    // reads a copy of its own, valid until its next call here.
    thread_local char copy[4096];
    if (conn == nullptr) return nullptr;
    std::lock_guard<std::mutex> hold(conn->error_lock);
    if (!conn->has_error) return nullptr;
    size_t length = conn->error_text.size();
    if (length >= sizeof copy) {
        length = sizeof copy - 1;
        // Cut before a character, never inside one.
        while (length > 0 && (static_cast<unsigned char>(conn->error_text[length]) & 0xC0) == 0x80)
            --length;
    }
    std::memcpy(copy, conn->error_text.data(), length);
    copy[length] = '\0';
    return copy;
}

uint8_t mod_get_status(DbConnection* conn) {
    return conn != nullptr ? conn->status.load() : 0;
}

void mod_set_status(DbConnection* conn, int32_t status) {
    if (conn != nullptr) conn->status.store(static_cast<uint8_t>(status & 0xFF));
}

void mod_freeresult(DbConnection* conn) {
    if (conn != nullptr) free_results(*conn);
}

}  // extern "C"
