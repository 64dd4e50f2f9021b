/*
 * pgsql_module.cpp - the PostgreSQL module's connection life: creation, connect, reconnect,
 * disconnect, destruction, the status byte and the last error.
 *
 * zel's module loader calls these entry points; statements are in pg_execute.cpp, the schema
 * in pg_schema.cpp. A DbConnection is used by one thread at a time (pg_connection.h); only
 * its status byte is shared, and it is atomic. The module has no process-wide state.
 */
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "modules/pgsql/pg_connection.h"
#include "modules/pgsql/pg_dialect.h"

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
    try {
        conn.error_text = text != nullptr ? text : "";
        while (!conn.error_text.empty() &&
               (conn.error_text.back() == '\n' || conn.error_text.back() == '\r'))
            conn.error_text.pop_back();
    } catch (const std::bad_alloc&) {
        conn.error_text.clear();
    }
    conn.has_error = true;
    conn.error_code = code;
}

void clear_error(DbConnection& conn) {
    conn.error_text.clear();
    conn.has_error = false;
    conn.error_code = 0;
}

bool connection_ok(const DbConnection& conn) {
    return conn.server != nullptr && PQstatus(conn.server) == CONNECTION_OK;
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
    }
    return true;
}

Result run(DbConnection& conn, const char* statement) {
    Result result(PQexec(conn.server, statement));
    if (!wind_up_copy(conn, PQresultStatus(result.get()))) return result;
    result.reset();
    while (PGresult* next = PQgetResult(conn.server))
        result.reset(next);
    return result;
}

int32_t connect(DbConnection& conn) {
    clear_error(conn);
    conn.in_transaction = false;
    close_server(conn);

    try {
        const ZelModuleParams* params = conn.params;
        std::string built;
        const char* conninfo = nullptr;
        if (params != nullptr && params->connectionstring != nullptr &&
            params->connectionstring[0] != '\0') {
            conninfo = params->connectionstring;
        } else {
            if (params != nullptr) built = build_conninfo(*params);
            conninfo = built.c_str();
        }
        conn.server = PQconnectdb(conninfo);
        // The built text holds the password: do not leave it behind in freed memory.
        volatile char* wipe = built.data();
        for (size_t i = 0; i < built.size(); ++i)
            wipe[i] = '\0';
    } catch (const std::bad_alloc&) {
        set_error(conn, "Out of memory while building the connection string", 0);
        return 0;
    }
    if (conn.server == nullptr) {
        set_error(conn, "Out of memory while connecting", 0);
        return 0;
    }
    if (PQstatus(conn.server) != CONNECTION_OK) {
        set_error(conn, PQerrorMessage(conn.server), 0);
        return 0;
    }
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
    conn->in_transaction = false;
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
    return conn != nullptr ? conn->error_code : -1;
}

const char* mod_geterrorstring(DbConnection* conn) {
    if (conn == nullptr || !conn->has_error) return nullptr;
    return conn->error_text.c_str();
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
