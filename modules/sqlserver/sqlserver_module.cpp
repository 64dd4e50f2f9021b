// sqlserver_module.cpp - the SQL Server module's life cycle: init and exit, create and
// destroy, connect, reconnect and disconnect, the status byte and the error accessors.
//
// COM is made ready lazily, once on every thread that calls the module (zel connects on
// its main thread and then uses each connection from its own database thread), in the
// multithreaded apartment so that objects made on one thread are usable on another.
// Callers: zel's loader, start-up and database threads (see zel_module.h for who calls
// what from which thread). The status byte is atomic; nothing else is shared.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "modules/sqlserver/sqlserver_connection.h"
#include "modules/sqlserver/sqlserver_rules.h"
#include "platform/registry.h"

namespace sqlserver {

namespace {

// Whether COM is usable on this thread. A plain flag: thread_local objects with destructors
// are unsafe with MinGW (see platform/thread_exit.h).
thread_local bool thread_ready = false;
// Whether mod_init initialised COM on its thread and mod_exit must release it.
bool process_initialised = false;

bool registry_key_exists(const char* key_path) {
    return platform_registry_key_exists(key_path);
}

void store_status_unless_stop(DbConnection* conn, uint8_t from, uint8_t to) {
    uint8_t expected = from;
    conn->status.compare_exchange_strong(expected, to);
}

}  // namespace

void clear_error(DbConnection* conn) {
    conn->has_error = false;
    conn->error_text.clear();
    conn->error_code = 0;
}

void set_error(DbConnection* conn, const std::string& text, int32_t code) {
    conn->has_error = true;
    conn->error_text = text;
    conn->error_code = code;
}

std::string error_text_of(const AdoError& error, const char* fallback) {
    return error.has_description ? error.description : fallback;
}

bool ensure_thread_ready(DbConnection* conn) {
    if (thread_ready) return true;
    int32_t hresult = ado_provider().init_thread();
    // A thread that its owner already put in another apartment can still use COM.
    if (hresult >= 0 || hresult == kHrChangedMode) {
        thread_ready = true;
        return true;
    }
    char text[96];
    std::snprintf(text, sizeof text, "COM could not be initialised on this thread (0x%08X)",
                  static_cast<unsigned>(hresult));
    set_error(conn, text, hresult);
    return false;
}

bool convert_statement(DbConnection* conn, const char* text) {
    if (!text) {
        set_error(conn, "Error converting UTF-8 NULL query", -1);
        return false;
    }
    if (!utf8_to_utf16(text, &conn->wide)) {
        // ERROR_NO_UNICODE_TRANSLATION, the code the system's converter gives invalid UTF-8.
        set_error(conn, "Error converting UTF-8 to widechar: the statement is not valid UTF-8", 1113);
        return false;
    }
    return true;
}

void apply_session_settings(DbConnection* conn, bool with_xact_abort) {
    static constexpr const char* kSettings[] = {"SET NOCOUNT OFF", "SET XACT_ABORT OFF"};
    std::string failures;
    int32_t code = 0;
    for (const char* setting : kSettings) {
        if (setting != kSettings[0] && !with_xact_abort) break;
        // Session settings affect no rows: only a negative result is a failure.
        if (execute_statement(conn, setting) >= 0) continue;
        std::string line = std::string(setting) + " failed: " + conn->error_text;
        std::printf("%s\n", line.c_str());
        if (!failures.empty()) failures += "; ";
        failures += line;
        code = conn->error_code;
    }
    // The connect itself succeeded: a failed setting stays readable as the error text
    // (the log shows it) instead of being lost on standard output.
    if (failures.empty())
        clear_error(conn);
    else
        set_error(conn, failures, code);
}

}  // namespace sqlserver

using namespace sqlserver;

extern "C" {

int32_t mod_init(void) {
    int32_t hresult = ado_provider().init_process();
    if (hresult < 0) return -1;
    process_initialised = true;
    thread_ready = true;
    return 1;
}

int32_t mod_exit(void) {
    if (process_initialised) {
        ado_provider().exit_process();
        process_initialised = false;
        thread_ready = false;
    }
    return 1;
}

DbConnection* mod_create(ZelModuleParams* params) {
    DbConnection* conn = new (std::nothrow) DbConnection();
    if (!conn) return nullptr;
    conn->params = params;
    conn->scratch.reserve(1024);
    return conn;
}

int32_t mod_destroy(DbConnection* conn) {
    if (!conn) return -1;
    if (conn->ado) {
        ensure_thread_ready(conn);
        AdoError ignored;
        bool open = false;
        if (conn->ado->is_open(&open, &ignored) && open) conn->ado->close(&ignored);
    }
    free_result(conn);
    delete conn;
    return 1;
}

int32_t mod_connect(DbConnection* conn) {
    if (!conn) return 0;
    clear_error(conn);
    const ZelModuleParams* params = conn->params;
    if (params && params->connectionstring)
        conn->connection_string = params->connectionstring;
    else
        conn->connection_string = build_connection_string(params ? *params : ZelModuleParams{},
                                                          registry_key_exists);
    if (!ensure_thread_ready(conn)) {
        store_status_unless_stop(conn, ZEL_STATUS_CONNECTED, ZEL_STATUS_RECONNECTING);
        return -1;
    }
    AdoError error;
    conn->ado.reset();  // a fresh object at every connect
    conn->ado = ado_provider().create_connection(&error);
    bool ok = conn->ado && conn->ado->open(conn->connection_string, &error);
    if (ok) {
        store_status_unless_stop(conn, ZEL_STATUS_RECONNECTING, ZEL_STATUS_CONNECTED);
        ok = conn->ado->set_command_timeout(0, &error);  // statements run as long as they need
    }
    if (!ok) {
        set_error(conn, error_text_of(error, "Unknown connection error"), connect_error_code(error.hresult));
        store_status_unless_stop(conn, ZEL_STATUS_CONNECTED, ZEL_STATUS_RECONNECTING);
        return -1;
    }
    apply_session_settings(conn, true);
    return 1;
}

int32_t mod_disconnect(DbConnection* conn) {
    if (!conn) return 0;
    if (!conn->ado) return 1;
    if (!ensure_thread_ready(conn)) return 1;
    AdoError error;
    bool open = false;
    if (conn->ado->is_open(&open, &error) && open) conn->ado->close(&error);
    return 1;
}

void mod_reconnect(DbConnection* conn) {
    if (!conn) return;
    uint8_t current = conn->status.load();
    do {
        if (current == ZEL_STATUS_STOP) return;
    } while (!conn->status.compare_exchange_weak(current, ZEL_STATUS_RECONNECTING));
    while (conn->status.load() == ZEL_STATUS_RECONNECTING) {
        AdoError error;
        bool ok = ensure_thread_ready(conn);
        if (ok) {
            // The object of the last connect is reused; one that could not be made then
            // is made now.
            if (!conn->ado) conn->ado = ado_provider().create_connection(&error);
            bool open = false;
            ok = conn->ado != nullptr;
            if (ok && conn->ado->is_open(&open, &error) && open) conn->ado->close(&error);
            ok = ok && conn->ado->open(conn->connection_string, &error) &&
                 conn->ado->set_command_timeout(0, &error);
            if (ok) {
                store_status_unless_stop(conn, ZEL_STATUS_RECONNECTING, ZEL_STATUS_CONNECTED);
                apply_session_settings(conn, false);
                return;
            }
            set_error(conn, error_text_of(error, "Unknown reconnect error"),
                      connect_error_code(error.hresult));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
}

int32_t mod_getlasterror(DbConnection* conn) {
    return conn ? conn->error_code : -1;
}

const char* mod_geterrorstring(DbConnection* conn) {
    if (!conn || !conn->has_error) return nullptr;
    return conn->error_text.c_str();
}

uint8_t mod_get_status(DbConnection* conn) {
    return conn ? conn->status.load() : 0;
}

void mod_set_status(DbConnection* conn, int32_t status) {
    if (conn) conn->status.store(static_cast<uint8_t>(status));
}

}  // extern "C"
