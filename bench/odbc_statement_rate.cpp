// odbc_statement_rate.cpp - statements per second through a database module on one
// connection, with nothing else of zel around it: the cost of the module's and the driver's
// path per statement, to set beside a plain client sending the same statements.
//
//   odbc_statement_rate MODULE_FILE CONNECTION_STRING [COUNT [query | batch N]]
//
// Makes a table micro_rate (id, v) with one row, then runs COUNT (default 10000) times
// "UPDATE micro_rate SET v=v+1 WHERE id=1" with transactions on, committing every 1000, as
// zel's database threads do. Prints the rate. The same statements for the mariadb client:
//   for i in $(seq 10000); do echo "UPDATE micro_rate SET v=v+1 WHERE id=1;";
//       ((i % 1000)) || echo "COMMIT;"; done | mariadb ... --init-command="SET autocommit=0" DB
// With "query", every second statement is "SELECT v FROM micro_rate WHERE id=1" through
// mod_querysql instead, as zel's calculated fields read stored values between writes.
// With "batch N", the UPDATEs go through mod_executebatch, N at a time (N divides 1000), as
// zel's database threads send them with pipelining on.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "zel_module.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: odbc_statement_rate MODULE_FILE CONNECTION_STRING [COUNT]\n");
        return 2;
    }
    const int count = argc > 3 ? std::atoi(argv[3]) : 10000;
    void* library = platform_library_open(argv[1]);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[1], platform_library_error());
        return 1;
    }
    auto init = reinterpret_cast<mod_init_fn>(platform_library_symbol(library, "mod_init"));
    auto create = reinterpret_cast<mod_create_fn>(platform_library_symbol(library, "mod_create"));
    auto connect = reinterpret_cast<mod_connect_fn>(platform_library_symbol(library, "mod_connect"));
    auto execute = reinterpret_cast<mod_executesql_fn>(platform_library_symbol(library, "mod_executesql"));
    auto error = reinterpret_cast<mod_geterrorstring_fn>(platform_library_symbol(library, "mod_geterrorstring"));
    auto query = reinterpret_cast<mod_querysql_fn>(platform_library_symbol(library, "mod_querysql"));
    auto free_result = reinterpret_cast<mod_freeresult_fn>(platform_library_symbol(library, "mod_freeresult"));
    const bool with_queries = argc > 4 && std::string(argv[4]) == "query";
    const int batch_size = argc > 5 && std::string(argv[4]) == "batch" ? std::atoi(argv[5]) : 0;
    auto execute_batch = reinterpret_cast<mod_executebatch_fn>(
        platform_library_symbol(library, "mod_executebatch"));
    if (batch_size != 0 && (batch_size < 1 || 1000 % batch_size != 0 || !execute_batch)) {
        std::fprintf(stderr, "batch N: N must divide 1000 and the module must have batches\n");
        return 2;
    }
    if (!init || !create || !connect || !execute || !error || !query || !free_result || init() != 1) {
        std::fprintf(stderr, "%s is not a usable database module\n", argv[1]);
        return 1;
    }
    ZelModuleParams params{};
    params.connectionstring = argv[2];
    params.use_transactions = 1;
    DbConnection* conn = create(&params);
    if (conn == nullptr || connect(conn) != 1) {
        std::fprintf(stderr, "connect failed: %s\n", conn && error(conn) ? error(conn) : "?");
        return 1;
    }
    execute(conn, "DROP TABLE IF EXISTS micro_rate");
    if (execute(conn, "CREATE TABLE micro_rate (id int NOT NULL PRIMARY KEY, v int)") < 0 ||
        execute(conn, "INSERT INTO micro_rate VALUES (1, 0)") != 1 || execute(conn, "COMMIT") < 0) {
        std::fprintf(stderr, "cannot make the table: %s\n", error(conn) ? error(conn) : "?");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const char* update = "UPDATE micro_rate SET v=v+1 WHERE id=1";
    std::vector<const char*> texts(static_cast<size_t>(batch_size), update);
    std::vector<ZelBatchResult> results(static_cast<size_t>(batch_size));
    for (int i = batch_size; batch_size != 0 && i <= count; i += batch_size) {
        const int32_t ran = execute_batch(conn, texts.data(), batch_size, results.data());
        for (int32_t k = 0; k < batch_size; ++k) {
            if (k >= ran || results[static_cast<size_t>(k)].result != 1) {
                std::fprintf(stderr, "batch statement %d failed: %s\n", i - batch_size + k + 1,
                             error(conn) ? error(conn) : "?");
                return 1;
            }
        }
        if (i % 1000 == 0) execute(conn, "COMMIT");
    }
    for (int i = 1; batch_size == 0 && i <= count; ++i) {
        if (with_queries && i % 2 == 0) {
            int32_t status = 0;
            ResultValue* row = query(conn, "SELECT v FROM micro_rate WHERE id=1", &status);
            if (status < 0 || row == nullptr) {
                std::fprintf(stderr, "query %d failed: %s\n", i, error(conn) ? error(conn) : "?");
                return 1;
            }
            free_result(conn);
        } else if (execute(conn, "UPDATE micro_rate SET v=v+1 WHERE id=1") != 1) {
            std::fprintf(stderr, "statement %d failed: %s\n", i, error(conn) ? error(conn) : "?");
            return 1;
        }
        if (i % 1000 == 0) execute(conn, "COMMIT");
    }
    execute(conn, "COMMIT");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d statements in %.2f s: %.0f/s\n", count, seconds, count / seconds);
    return 0;
}
