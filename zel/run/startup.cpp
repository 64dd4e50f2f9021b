// startup.cpp - the start-up and shutdown sequences (see startup.h).
//
// Main thread only. Until the last step of startup() no other thread of the program
// exists, so everything set here (Config, the table definitions, the workers' connections
// and transaction texts, the stale set) is written without locks and read without locks
// by the threads afterwards. The thread handles are kept here and joined by shutdown().
#include "zel/run/startup.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "platform/account.h"
#include "platform/process_info.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/config_file.h"
#include "zel/base/log.h"
#include "zel/base/message_kinds.h"
#include "zel/base/run_state.h"
#include "zel/base/sql_log.h"
#include "zel/feed/feed_session.h"
#include "zel/feed/stale_set.h"
#include "zel/modload/module_loader.h"
#include "zel/queues/instruments.h"
#include "zel/queues/queue_item.h"
#include "zel/queues/update_queue.h"
#include "zel/run/command_line.h"
#include "zel/run/service.h"
#include "zel/run/sql_import.h"
#include "zel/run/stop_handlers.h"
#include "zel/run/supervisor.h"
#include "zel/sql/db_thread.h"
#include "zel/sql/db_worker.h"
#include "zel/sql/execute.h"
#include "zel/sql/query_result.h"
#include "zel/sql/status_rows.h"
#include "zel/stats/stats_block.h"
#include "zel/tabledef/database_check.h"
#include "zel/tabledef/table_definitions.h"

namespace {

// The size the stale set starts with.
constexpr size_t kStaleSetSize = 102400;

// Set once the start-up has ended the module after a failure: the shutdown then makes no
// further module call.
bool g_module_ended = false;

std::thread g_feed_thread;
std::thread g_supervisor_thread;
std::thread g_db_threads[kDbWorkerCount];
// Threads started and not yet returned. The threads count themselves into `active_threads`
// only once they run, so a stop that comes right after the start would find that count at 0
// and wait in join() without ever ending a drain: this count is taken before the start.
std::atomic<int> g_live_threads{0};

bool one_shot_mode() {
    return g_config.check == 1 || g_config.import_given;
}

void end_module() {
    g_module.mod_exit();
    g_module_ended = true;
}

// The end of every start-up failure that an operator at the console must be able to read
// before the window goes away.
int fail_with_key_prompt() {
    if (!g_config.daemon) press_any_key();
    return STARTUP_FAILED;
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, pattern, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, pattern, again);
    va_end(again);
    return text;
}

// The references the basic-data table holds already (other than deleted ones) and this
// instance requests, for the stale-instrument pass of the feed thread.
void load_stale_set() {
    if (g_config.requestbasicdata != 1 || g_config.deletelimit == 0) return;
    const MessageDef* basic = find_messagedef(KIND_BASIC_DATA);
    const FieldDef* state = find_fielddef(KIND_BASIC_DATA, 126u);
    if (!basic || !state) return;
    DbWorker& worker = g_workers[0];
    worker.statement.clear();
    worker.statement.appendf("SELECT %s FROM %s ", basic->column, basic->table);
    worker.statement.appendf("WHERE (%s!=9 OR %s IS NULL)", state->column, state->column);
    QueryResult stored(worker, ZEL_LABEL);
    if (stored.rows() && staleSetCreate(kStaleSetSize)) {
        const RequestedInstruments requested(g_config.insrefs);
        for (const ResultValue* row = stored.rows(); row; row = row->next) {
            if (!row->value) continue;
            char* end = nullptr;
            unsigned long long insref = std::strtoull(row->value, &end, 10);
            if (end == row->value) continue;
            if (insref < g_config.deletelimit && requested.contains(insref)) staleSetAdd(insref);
        }
    }
}

// Starts one thread, named "zel NAME" so that an operator can tell the feed thread from the
// database threads in the system's process tools; false (logged) when the system would not.
template <typename Function>
bool start_thread(std::thread& thread, const std::string& name, Function function) {
    g_live_threads.fetch_add(1);
    try {
        thread = std::thread([function, thread_name = "zel " + name] {
            platform_name_current_thread(thread_name.c_str());
            function();
            g_live_threads.fetch_sub(1);
        });
    } catch (const std::system_error& error) {
        g_live_threads.fetch_sub(1);
        log_message(LOG_LEVEL_ERROR, "Could not start the %s thread: %s", name.c_str(),
                    error.what());
        return false;
    }
    return true;
}

void join_threads() {
    if (g_feed_thread.joinable()) g_feed_thread.join();
    if (g_supervisor_thread.joinable()) g_supervisor_thread.join();
    for (std::thread& thread : g_db_threads) {
        if (thread.joinable()) thread.join();
    }
}

bool start_threads() {
    bool started = start_thread(g_feed_thread, "feed", feed_thread_main) &&
                   start_thread(g_supervisor_thread, "supervisor", supervisor_thread_main);
    for (int i = 0; started && i < kDbWorkerCount; ++i) {
        DbWorker* worker = &g_workers[i];
        started =
            start_thread(g_db_threads[i], "database " + std::to_string(i + 1),
                         [worker] { database_thread_main(*worker); });
    }
    if (started) return true;
    // Those that did start end as they would at a stop. The feed thread may be the one
    // that never started, so the drain is not left waiting for it.
    request_stop();
    queuesProducersEnded();
    join_threads();
    return false;
}

}  // namespace

int startup() {
    Config& config = g_config;
    g_module_ended = false;

    // 1. The client identification the feed server sees at logon.
    std::string system = platform_os_description();
    if (system.empty()) system = "unknown system";
    g_client_identification = format("ZEL %s [%s]", kZelVersion, system.c_str());

    // 2. Configuration.
    if (load_configuration() != 1) return fail_with_key_prompt();

    // 3. Credentials typed in for a check run.
    if (config.check == 1) {
        if (config.dbs_user_given) {
            Config::set_param(config.db_username, config.dbs_user.c_str());
            std::string password;
            read_password("Enter SQL password: ", &password);
            Config::set_param(config.db_password, password.empty() ? nullptr : password.c_str());
        }
        if (config.domain_user_arg_given) {
            size_t separator = config.domain_user_arg.find('\\');
            if (separator == std::string::npos) {
                config.domain.clear();
                config.domain_user = config.domain_user_arg;
            } else {
                config.domain = config.domain_user_arg.substr(0, separator);
                config.domain_user = config.domain_user_arg.substr(separator + 1);
            }
            read_password("Enter Windows password: ", &config.domain_password);
        }
    }

    // 4. Syslog. A facility that does not exist ends the run at once.
    if (!setup_syslog()) return STARTUP_FAILED;
    if (!one_shot_mode()) log_message(LOG_LEVEL_INFO, "Starting zel v%s", kZelVersion);

    // 5. The database module.
    if (load_module(config.module_file.c_str()) != 1) {
        log_message(LOG_LEVEL_ERROR, "Error loading module file %s", config.module_file.c_str());
        return fail_with_key_prompt();
    }

    // 6. The update queues and the workers that drain them, each given the module bound
    // above and the settings its statement execution runs by.
    if (!createUpdateQueues()) return fail_with_key_prompt();
    init_db_workers(g_module, g_module_executebatch, config);

    // 7. An operating-system account to run as: logged on once, taken on by the main thread
    // for the connects, and by the database and supervisor threads for themselves.
    if (!config.domain_user.empty()) {
        const char* domain = config.domain.empty() ? "." : config.domain.c_str();
        int code = platform_account_logon(config.domain_user.c_str(), domain,
                                          config.domain_password.c_str(), &config.logon_token);
        if (code != 0) {
            log_message(LOG_LEVEL_ERROR, "Unable to logon to Windows domain. Error: %d", code);
            if (code == kAccountNotSupported)
                log_message(LOG_LEVEL_ERROR,
                            "Logging on as the account '%s\\%s' is not possible on this platform; "
                            "run zel under that account instead and remove domainuser from the "
                            "configuration",
                            domain, config.domain_user.c_str());
            return fail_with_key_prompt();
        }
        code = platform_account_impersonate(config.logon_token);
        if (code != 0) {
            log_message(LOG_LEVEL_ERROR, "Unable to switch to Windows domain user. Error: %d", code);
            return fail_with_key_prompt();
        }
    }

    // 8. Progress for the service manager: the account is settled, connecting follows.
    service_advance_checkpoint();

    // 9. Modules that open transactions themselves read this at connect.
    if (config.transactions > 1) config.use_transactions = 1;

    // 10. One connection per queue, connected in queue order.
    for (int i = 0; i < kDbWorkerCount; ++i)
        g_workers[i].connection = g_module.mod_create(config.module_params());
    if (!one_shot_mode()) log_message(LOG_LEVEL_INFO, "Connecting to database");
    for (int i = 0; i < kDbWorkerCount; ++i) {
        DbConnection* connection = g_workers[i].connection;
        if (g_module.mod_connect(connection) != 1) {
            if (config.logon_token != -1) platform_account_revert();
            const char* text = g_module.mod_geterrorstring(connection);
            log_message(LOG_LEVEL_ERROR, "Connection %d to database failed: %s", i + 1,
                        text ? text : "DB unknown error");
            end_module();
            return fail_with_key_prompt();
        }
    }

    // 11. Connected.
    service_advance_checkpoint();
    if (config.logon_token != -1) platform_account_revert();
    if (!one_shot_mode()) log_message(LOG_LEVEL_INFO, "Connected to database");

    // 12. The instrument tables and the table definitions.
    if (!createInstrumentTables(config.instrumenthashsize)) {
        end_module();
        return fail_with_key_prompt();
    }
    g_tabledefs.create(100);
    if (load_table_definitions() != 1) {
        log_message(LOG_LEVEL_ERROR, "Could not read table definition file");
        end_module();
        return fail_with_key_prompt();
    }

    // 13. The request switches are final now.
    setQueue4Delay();
    if (config.requestorderbooks != 1 && config.requestmbo != 1)
        log_message(LOG_LEVEL_INFO,
                    "Orderbooks and MBO are disabled, handling of news have been moved to "
                    "Queue #4");

    // 14. Server version and the statement that opens a transaction.
    ServerInfo info{};
    std::string begin_transaction;
    if (g_module.mod_get_info(g_workers[0].connection, &info, sizeof info) != -1) {
        if (config.check != 1)
            log_message(LOG_LEVEL_INFO, "Database version: %s", info.version ? info.version : "");
        if (info.transaction_start) begin_transaction = info.transaction_start;
    } else {
        log_message(LOG_LEVEL_PROBLEM, "Could not get database version");
    }
    std::free(info.version);
    std::free(info.transaction_start);
    for (DbWorker& worker : g_workers)
        worker.begin_transaction = begin_transaction;

    // 15. The database check.
    if (config.checkdatabase == 1 || config.check == 1) {
        service_advance_checkpoint();
        if (config.check == 1) log_message(LOG_LEVEL_INFO, "Checking SQL database");
        int checked = check_database(g_module, g_workers[0].connection, g_tabledefs, config);
        if (checked == DATABASE_CHECK_NO_DESCRIPTION) {
            end_module();
            return fail_with_key_prompt();
        }
        if (checked == DATABASE_CHECK_FAILED) {
            if (config.check != 1) {
                log_message(LOG_LEVEL_ERROR, "System check failed. Terminating");
                if (!config.daemon) press_any_key();
            }
            end_module();
            return STARTUP_FAILED;
        }
    } else {
        log_message(LOG_LEVEL_INFO, "Skipping SQL database check");
    }

    // 16. An import, on queue 1's connection; a check run or an import ends here.
    // A module that opens no transaction with a statement of its own keeps the connection
    // in one while zel groups statements: the import then commits each statement itself.
    ImportMode import_mode;
    import_mode.commit_each = config.use_transactions == 1 && begin_transaction.empty();
    bool imported = !config.import_given ||
                    sql_import(config.import_path.c_str(), g_workers[0].connection, stdout,
                               stderr, nullptr, import_mode) == 1;
    if (config.check == 1 || config.import_given) {
        g_module.mod_disconnect(g_workers[0].connection);
        g_module.mod_destroy(g_workers[0].connection);
        for (DbWorker& worker : g_workers)
            worker.connection = nullptr;
        g_module.mod_exit();
        unload_module();
        return imported ? STARTUP_ONE_SHOT_DONE : STARTUP_ONE_SHOT_FAILED;
    }

    // 17. The service manager may count the service as running from here.
    service_report_running();

    // 18. The stored instruments, for the stale-instrument pass.
    load_stale_set();

    // 19. From here a stop request reaches the connections and queues.
    running = 1;
    stop_handlers_arm();

    // 20. The status rows an operator reads first, on queue 2's connection (the status
    // rows' own), before its thread exists.
    mark_started(g_workers[1], find_messagedef(KIND_STATUS));

    // 21. The statistics block (private counters when the shared one cannot be made).
    create_stats_block(config.map_name.c_str());
    g_stats->instrument_hash_tablesize = instrumentTableSize();

    // 22. The threads. The queues count into the shared block before any thread can queue.
    useStatsBlock(g_stats);
    if (!start_threads()) return STARTUP_FAILED;
    return STARTUP_RUNNING;
}

bool threads_running() {
    return g_live_threads.load() > 0;
}

void wait_for_threads(const std::function<void()>& each_second) {
    // Short steps, so that a stop is not held up a whole second after the last thread ended;
    // the drain deadline and the caller's report still come once a second.
    auto next_tick = std::chrono::steady_clock::now();
    while (threads_running()) {
        if (std::chrono::steady_clock::now() >= next_tick) {
            stop_drain_tick();
            each_second();
            next_tick += std::chrono::seconds(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void shutdown() {
    log_message(LOG_LEVEL_INFO, "Shutting down, please wait...");
    wait_for_threads([] {});
    join_threads();
    stop_drain_finish();
    log_unwritten_items();

    // Stop requests from now on leave the connections and queues alone.
    stop_handlers_disarm();

    bool module_bound = g_module.mod_executesql != nullptr && !g_module_ended;
    if (module_bound && g_workers[1].connection) {
        // The threads have ended: a connection lost now is not waited for (a stop request
        // has marked it so already; a start-up that failed has not).
        g_module.mod_set_status(g_workers[1].connection, ZEL_STATUS_STOP);
        mark_stopped(g_workers[1], find_messagedef(KIND_STATUS));
    }
    if (module_bound) {
        for (DbWorker& worker : g_workers) {
            if (!worker.connection) continue;
            g_module.mod_disconnect(worker.connection);
            g_module.mod_destroy(worker.connection);
            worker.connection = nullptr;
        }
        g_module.mod_exit();
    }
    sql_log_close();

    destroyUpdateQueues();
    for (DbWorker& worker : g_workers)
        worker.queue = nullptr;
    staleSetDestroy();
    destroyInstrumentTables();
    unload_module();

    release_stats_block();
    if (g_config.logon_token != -1) {
        platform_account_close(g_config.logon_token);
        g_config.logon_token = -1;
    }
    log_message(LOG_LEVEL_INFO, "Shutdown complete");
}
