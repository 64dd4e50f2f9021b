// sqlserver_wine_probe.cpp - drives dbdrv_sqlserver.dll under Wine for
// sqlserver_wine_test.sh, which checks what it prints and what reached the database.
//
//   sqlserver_wine_probe provider
//       prints the provider the registry of this prefix selects
//   sqlserver_wine_probe ado DLL CONNECTIONSTRING
//       loads the module, connects, creates a table and inserts rows on the main thread
//       and on a second thread (as zel's database threads do), runs a failing statement,
//       asks for the server information, and prints one "name: value" line per step
//
// Single-threaded apart from the one worker thread, which the main thread joins.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "modules/sqlserver/sqlserver_rules.h"
#include "platform/dynlib.h"
#include "platform/registry.h"
#include "zel_module.h"

namespace {

struct Module {
    mod_init_fn init;
    mod_exit_fn exit;
    mod_create_fn create;
    mod_destroy_fn destroy;
    mod_connect_fn connect;
    mod_disconnect_fn disconnect;
    mod_executesql_fn executesql;
    mod_querysql_fn querysql;
    mod_freeresult_fn freeresult;
    mod_add_value_fn add_value;
    mod_geterrorstring_fn errorstring;
    mod_getlasterror_fn lasterror;
    mod_get_info_fn get_info;
};

template <class T>
bool bind(void* library, const char* name, T* out) {
    *out = reinterpret_cast<T>(platform_library_symbol(library, name));
    if (!*out) std::printf("missing: %s\n", name);
    return *out != nullptr;
}

const char* text_or(const char* text) {
    return text ? text : "(none)";
}

int run_ado(const char* dll, const char* connection_string) {
    void* library = platform_library_open(dll);
    if (!library) {
        std::printf("load failed: %s\n", platform_library_error());
        return 1;
    }
    Module m{};
    bool ok = bind(library, "mod_init", &m.init) && bind(library, "mod_exit", &m.exit) &&
              bind(library, "mod_create", &m.create) && bind(library, "mod_destroy", &m.destroy) &&
              bind(library, "mod_connect", &m.connect) && bind(library, "mod_disconnect", &m.disconnect) &&
              bind(library, "mod_executesql", &m.executesql) && bind(library, "mod_querysql", &m.querysql) &&
              bind(library, "mod_freeresult", &m.freeresult) && bind(library, "mod_add_value", &m.add_value) &&
              bind(library, "mod_geterrorstring", &m.errorstring) &&
              bind(library, "mod_getlasterror", &m.lasterror) && bind(library, "mod_get_info", &m.get_info);
    if (!ok) return 1;
    std::printf("init: %d\n", m.init());
    ZelModuleParams params{};
    std::string connection(connection_string);
    params.connectionstring = connection.data();
    DbConnection* conn = m.create(&params);
    int32_t connected = m.connect(conn);
    std::printf("connect: %d\n", connected);
    // The session settings are SQL Server's own: another server refuses them, which must
    // not fail the connect but stay readable as the error text.
    std::printf("connect error: %s\n", text_or(m.errorstring(conn)));
    if (connected != 1) return 1;

    std::printf("create: %d\n", m.executesql(conn, "CREATE TABLE zel_ado_probe (id int PRIMARY KEY, note varchar(40))"));
    std::string insert = std::string("INSERT INTO zel_ado_probe VALUES (1, ") + m.add_value(conn, "O'Brien", 0) + ")";
    std::printf("insert main: %d %s\n", m.executesql(conn, insert.c_str()), text_or(m.errorstring(conn)));

    // The connection made on this thread, used from another one.
    std::thread worker([&] {
        std::string row = std::string("INSERT INTO zel_ado_probe VALUES (2, ") +
                          m.add_value(conn, "caf\xC3\xA9 thread", 0) + ")";
        std::printf("insert thread: %d\n", m.executesql(conn, row.c_str()));
        int32_t status = -9;
        ResultValue* rows = m.querysql(conn, "SELECT note FROM zel_ado_probe ORDER BY id", &status);
        std::printf("query thread: status %d, %s 0x%08X %s\n", status, rows ? "rows" : "no rows",
                    static_cast<unsigned>(m.lasterror(conn)), text_or(m.errorstring(conn)));
        m.freeresult(conn);
    });
    worker.join();

    int32_t failed = m.executesql(conn, "INSERT INTO zel_ado_no_such_table VALUES (1)");
    std::printf("failing statement: %d 0x%08X %s\n", failed, static_cast<unsigned>(m.lasterror(conn)),
                text_or(m.errorstring(conn)));

    ServerInfo info{};
    int32_t filled = m.get_info(conn, &info, sizeof info);
    std::printf("info: %d version %s, transaction %s\n", filled, text_or(info.version),
                text_or(info.transaction_start));
    std::free(info.version);
    std::free(info.transaction_start);

    std::printf("disconnect: %d\n", m.disconnect(conn));
    std::printf("destroy: %d\n", m.destroy(conn));
    std::printf("exit: %d\n", m.exit());
    platform_library_close(library);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 2 && std::strcmp(argv[1], "provider") == 0) {
        std::printf("provider: %s\n", sqlserver::choose_provider(platform_registry_key_exists));
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "ado") == 0) return run_ado(argv[2], argv[3]);
    std::fprintf(stderr, "usage: sqlserver_wine_probe provider | ado DLL CONNECTIONSTRING\n");
    return 2;
}
