// The start-up and shutdown sequences in-process, with the recording module as the database
// module: each step's failure with its message and result, the status rows at start and at
// shutdown, the server information, the stale set, the check mode's early end, and a full
// run with its threads that a stop request ends.
#include <regex>

#include "startup_test_util.h"
#include "zel/queues/update_queue.h"
#include "zel/sql/db_worker.h"

namespace runtest {
namespace {

class Startup : public StartupFixture {};

// What every failed start-up has in common: result 1, the level-2 line, no thread started.
void expect_failed(int result, LogRecorder& log, const std::string& message) {
    EXPECT_EQ(STARTUP_FAILED, result);
    EXPECT_TRUE(log.has(message, LOG_LEVEL_ERROR)) << "missing: " << message;
    EXPECT_EQ(0, running.load());
    EXPECT_EQ(0, active_threads.load());
}

TEST_F(Startup, MissingConfigurationFileFails) {
    g_config.config_path = dir_ + "-nothing-here.config";
    g_config.config_path_given = true;
    expect_failed(startup(), log_, "Could not open config file '" + g_config.config_path + "'");
    EXPECT_EQ(0u, fake_count("mod_init"));
}

TEST_F(Startup, FacilityThatDoesNotExistFailsBeforeTheModule) {
    write_config("checkdatabase 0\n", "facility 124\n");
    expect_failed(startup(), log_, "Defined logging facility, '124', does not exist");
    EXPECT_FALSE(log_.has("Starting zel v0.9.55"));
    EXPECT_EQ(0u, fake_count("mod_init"));
}

TEST_F(Startup, ModuleThatCannotBeLoadedFails) {
    write_config();
    std::ofstream(config_path_, std::ios::app) << "Database\ninstance " << dir_ << "-none.so\n";
    expect_failed(startup(), log_, "Error loading module file " + dir_ + "-none.so");
    EXPECT_TRUE(log_.has("Starting zel v0.9.55", LOG_LEVEL_INFO));
}

TEST_F(Startup, OperatingSystemAccountIsRefusedWithTheReason) {
    write_config("checkdatabase 0\ndomainuser ops\ndomain CORP\ndomainpassword secret\n");
    expect_failed(startup(), log_, "Unable to logon to Windows domain. Error: 50");
    EXPECT_TRUE(log_.mentions("'CORP\\ops' is not possible on this platform"));
    EXPECT_EQ(0u, fake_count("mod_connect")) << "no connection is made for a refused account";
}

TEST_F(Startup, ConnectionThatFailsNamesItsNumberAndEndsTheModule) {
    write_config();
    fake_fail_connect(3, "could not connect to server: Connection refused", 111);
    expect_failed(
        startup(), log_,
        "Connection 3 to database failed: could not connect to server: Connection refused");
    EXPECT_EQ(4u, fake_count("mod_create"));
    EXPECT_TRUE(fake_connected(1));
    EXPECT_TRUE(fake_connected(2));
    EXPECT_FALSE(fake_connected(4)) << "connections after the failed one are not tried";
    EXPECT_EQ(1u, fake_count("mod_exit"));
    EXPECT_TRUE(log_.has("Connecting to database"));
    EXPECT_FALSE(log_.has("Connected to database"));
}

TEST_F(Startup, UnreadableTableDefinitionsFail) {
    write_config();
    tabledef_path_ = dir_ + "-missing.tabledef";
    write_config();
    expect_failed(startup(), log_, "Could not read table definition file");
    EXPECT_EQ(1u, fake_count("mod_exit"));
}

TEST_F(Startup, FailedDatabaseCheckTerminatesTheRun) {
    write_config("checkdatabase 1\n");
    std::vector<FakeColumn> columns = matching_columns();
    columns.pop_back();  // zel_status.value
    fake_set_databaseinfo(columns);
    expect_failed(startup(), log_, "System check failed. Terminating");
    EXPECT_TRUE(log_.has("The SQL database check failed", LOG_LEVEL_ERROR));
    EXPECT_EQ(1u, fake_count("mod_free_databaseinfo"));
    EXPECT_EQ(1u, fake_count("mod_exit"));
}

TEST_F(Startup, DatabaseThatCannotBeDescribedFails) {
    write_config("checkdatabase 1\n");
    fake_fail_databaseinfo("permission denied for schema information_schema", 42501);
    expect_failed(startup(), log_,
                  "Database check failed. Error: 'permission denied for schema "
                  "information_schema', Code: 42501");
    EXPECT_FALSE(log_.has("System check failed. Terminating"));
    EXPECT_EQ(1u, fake_count("mod_exit"));
}

TEST_F(Startup, StatusRowsAreWrittenAtStartAndRunningIsClearedAtShutdown) {
    write_config();
    ASSERT_EQ(STARTUP_RUNNING, startup());
    EXPECT_EQ(1, running.load());
    std::vector<std::string> at_start = statements(2);
    ASSERT_GE(at_start.size(), 2u);
    std::regex startup_time(
        "UPDATE zel_status SET value = '[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}' "
        "WHERE name = 'Startup time'");
    EXPECT_TRUE(std::regex_match(at_start[0], startup_time)) << at_start[0];
    EXPECT_EQ("UPDATE zel_status SET value = '1' WHERE name = 'Running'", at_start[1]);

    request_stop();
    shutdown();
    std::vector<std::string> all = statements(2);
    EXPECT_EQ("UPDATE zel_status SET value = '0' WHERE name = 'Running'", all.back());
    EXPECT_TRUE(log_.has("Shutdown complete", LOG_LEVEL_INFO));
    EXPECT_LT(log_.index_of("Shutting down, please wait..."), log_.index_of("Shutdown complete"));
    for (int connection = 1; connection <= 4; ++connection) {
        EXPECT_EQ(1u, fake_count("mod_disconnect", connection));
        EXPECT_EQ(1u, fake_count("mod_destroy", connection));
    }
    EXPECT_EQ(1u, fake_count("mod_exit"));
    EXPECT_EQ(0, active_threads.load());
    EXPECT_FALSE(module_loaded());
}

TEST_F(Startup, EmptyStatusTableGetsItsRowsInserted) {
    write_config();
    FakeResult no_row;
    no_row.code = 0;
    fake_on_statement("WHERE name = 'Startup time'", no_row);
    fake_on_statement("WHERE name = 'Running'", no_row);
    ASSERT_EQ(STARTUP_RUNNING, startup());
    std::vector<std::string> at_start = statements(2);
    ASSERT_GE(at_start.size(), 4u);
    EXPECT_TRUE(std::regex_match(
        at_start[1], std::regex("INSERT INTO zel_status \\(name,value\\) VALUES \\('Startup "
                                "time','[0-9-]{10} [0-9:]{8}'\\)")))
        << at_start[1];
    EXPECT_EQ("UPDATE zel_status SET value = '1' WHERE name = 'Running'", at_start[2]);
    EXPECT_EQ("INSERT INTO zel_status (name,value) VALUES ('Running','1')", at_start[3]);

    request_stop();
    shutdown();
    std::vector<std::string> all = statements(2);
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ("UPDATE zel_status SET value = '0' WHERE name = 'Running'", all[all.size() - 2]);
    EXPECT_EQ("INSERT INTO zel_status (name,value) VALUES ('Running','0')", all.back());
}

// The start and stop marks run through statement execution like every other statement: a
// failing one is reported with its text and counted as failed, and the rows follow the
// status rows' rule (an UPDATE that changed any row is not followed by an INSERT).
TEST_F(Startup, StatusMarksAreReportedCountedAndUpsertedLikeEveryStatusRow) {
    write_config();
    FakeResult refused{ZEL_RESULT_REJECTED, false, {}, "permission denied", 42501};
    fake_on_statement("UPDATE zel_status SET value = '1' WHERE name = 'Running'", refused, 1,
                      FakeMatch::Exact);
    FakeResult two_rows;
    two_rows.code = 2;
    fake_on_statement("WHERE name = 'Startup time'", two_rows);
    ASSERT_EQ(STARTUP_RUNNING, startup());
    std::vector<std::string> at_start = statements(2);
    ASSERT_GE(at_start.size(), 3u);
    EXPECT_EQ(std::string::npos, at_start[1].find("'Startup time'")) << at_start[1];
    EXPECT_EQ("UPDATE zel_status SET value = '1' WHERE name = 'Running'", at_start[1]);
    EXPECT_EQ("INSERT INTO zel_status (name,value) VALUES ('Running','1')", at_start[2]);
    EXPECT_TRUE(
        log_.mentions("SQL Error:'UPDATE zel_status SET value = '1' WHERE name = "
                      "'Running'' DB:permission denied"));
    // Nothing else on queue 2 fails: the one failure counted is the refused mark.
    EXPECT_EQ(1u, g_stats->queue[1].failed);
    EXPECT_GE(g_stats->queue[1].updated, 2u);
    request_stop();
    shutdown();
}

TEST_F(Startup, NoStatusTableMeansNoStatusRows) {
    write_definitions(R"(<definitions><message mref="1" table="trades">
        <field tag="insref" column="insref" type="bigint"/></message></definitions>)");
    write_config();
    ASSERT_EQ(STARTUP_RUNNING, startup());
    request_stop();
    shutdown();
    for (const std::string& statement : statements(0)) {
        EXPECT_EQ(std::string::npos, statement.find("Startup time")) << statement;
        EXPECT_EQ(std::string::npos, statement.find("'Running'")) << statement;
    }
}

TEST_F(Startup, ServerInformationGivesTheVersionLineAndTheTransactionText) {
    write_config("checkdatabase 0\ntransactions 50\npipeline 0\n");
    fake_set_info(1, std::string("FakeSQL 9.1"), std::string("START TRANSACTION"), 90100);
    ASSERT_EQ(STARTUP_RUNNING, startup());
    EXPECT_TRUE(log_.has("Database version: FakeSQL 9.1", LOG_LEVEL_INFO));
    for (const DbWorker& worker : g_workers) {
        EXPECT_EQ("START TRANSACTION", worker.begin_transaction);
        // What statement execution runs by is the worker's own, handed over at start-up.
        EXPECT_EQ(&g_module, worker.module);
        EXPECT_NE(nullptr, worker.executebatch);
        EXPECT_EQ(g_module_executebatch, worker.executebatch);
        EXPECT_EQ(50, worker.transactions);
        EXPECT_FALSE(worker.pipeline);
    }
    ASSERT_NE(nullptr, fake_params(1));
    EXPECT_EQ(1u, fake_params(1)->use_transactions);
    EXPECT_TRUE(log_.has("Skipping SQL database check", LOG_LEVEL_INFO));
    EXPECT_TRUE(
        log_.has("Orderbooks and MBO are disabled, handling of news have been moved to "
                 "Queue #4",
                 LOG_LEVEL_INFO));
    EXPECT_EQ(0u, g_client_identification.rfind("ZEL 0.9.55 [", 0)) << g_client_identification;
}

TEST_F(Startup, MissingServerInformationIsSurvived) {
    write_config();
    fake_set_info(-1, std::nullopt, std::nullopt);
    ASSERT_EQ(STARTUP_RUNNING, startup());
    EXPECT_TRUE(log_.has("Could not get database version", LOG_LEVEL_PROBLEM));
    for (const DbWorker& worker : g_workers)
        EXPECT_TRUE(worker.begin_transaction.empty());
    EXPECT_EQ(0u, fake_params(1)->use_transactions) << "transactions 0 keeps them off";
}

TEST_F(Startup, StaleSetHoldsTheStoredReferencesBelowTheLimit) {
    write_config("checkdatabase 0\ndeletelimit 50000\n");
    FakeResult stored;
    stored.rows = {{"1001"}, {"1002"}, {"70000"}, {std::nullopt}, {"1003"}};
    fake_on_statement("SELECT insref FROM basicdata WHERE (status!=9 OR status IS NULL)", stored,
                      -1, FakeMatch::Exact, 1);
    ASSERT_EQ(STARTUP_RUNNING, startup());
    EXPECT_TRUE(staleSetExists());
    EXPECT_EQ(3u, staleSetCount());
    EXPECT_EQ(0, fake_open_results()) << "the result is handed back";
}

TEST_F(Startup, NoStaleSetWithoutADeleteLimit) {
    write_config("checkdatabase 0\ndeletelimit 0\n");
    ASSERT_EQ(STARTUP_RUNNING, startup());
    EXPECT_FALSE(staleSetExists());
    for (const std::string& statement : statements(1))
        EXPECT_EQ(std::string::npos, statement.find("SELECT")) << statement;
}

TEST_F(Startup, CheckModeEndsAfterAPassingCheckWithoutThreads) {
    g_config.check = 1;
    g_config.check_types = 1;
    write_config("checkdatabase 0\n");
    fake_set_databaseinfo(matching_columns());
    EXPECT_EQ(STARTUP_ONE_SHOT_DONE, startup());
    EXPECT_TRUE(log_.has("Checking SQL database", LOG_LEVEL_INFO));
    EXPECT_TRUE(log_.has("The SQL database check was successful", LOG_LEVEL_INFO));
    // A check run says only what concerns the check.
    EXPECT_FALSE(log_.has("Starting zel v0.9.55"));
    EXPECT_FALSE(log_.has("Connecting to database"));
    EXPECT_FALSE(log_.mentions("Database version"));
    EXPECT_EQ(0, running.load());
    EXPECT_EQ(0, active_threads.load());
    EXPECT_EQ(1u, fake_count("mod_disconnect"));
    EXPECT_EQ(1u, fake_count("mod_disconnect", 1));
    EXPECT_EQ(1u, fake_count("mod_destroy", 1));
    EXPECT_EQ(1u, fake_count("mod_exit"));
    EXPECT_TRUE(statements(2).empty()) << "no status rows in a check run";
}

TEST_F(Startup, CheckModeWithWarningsStillEndsWell) {
    g_config.check = 1;
    g_config.check_types = 1;
    write_config();
    std::vector<FakeColumn> columns = matching_columns();
    columns[1].size = "12,2";  // trades.price
    fake_set_databaseinfo(columns);
    EXPECT_EQ(STARTUP_ONE_SHOT_DONE, startup());
    EXPECT_TRUE(log_.has("The SQL database check had warnings", LOG_LEVEL_WARNING));
}

TEST_F(Startup, CheckModeWithAMissingColumnFailsWithoutTheTerminatingLine) {
    g_config.check = 1;
    write_config();
    std::vector<FakeColumn> columns = matching_columns();
    columns.erase(columns.begin());  // trades.insref
    fake_set_databaseinfo(columns);
    EXPECT_EQ(STARTUP_FAILED, startup());
    EXPECT_TRUE(log_.has("The SQL database check failed", LOG_LEVEL_ERROR));
    EXPECT_FALSE(log_.has("System check failed. Terminating"));
    EXPECT_EQ(1u, fake_count("mod_exit"));
}

TEST_F(Startup, RunWritesThroughItsThreadsUntilAStopRequest) {
    write_config("checkdatabase 0\nstopdraintime 0\n");
    ASSERT_EQ(STARTUP_RUNNING, startup());
    EXPECT_TRUE(stats_block_is_shared());
    // Six threads count themselves in; the supervisor's status items reach queue 2's thread.
    for (int i = 0; i < 200 && active_threads.load() < 6; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(6, active_threads.load());
    bool status_written = false;
    for (int i = 0; i < 300 && !status_written; ++i) {
        for (const std::string& statement : statements(2))
            status_written |= statement.find("WHERE name = 'Last write'") != std::string::npos;
        if (!status_written) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(status_written) << "the supervisor's status item was written by queue 2";

    request_stop();
    for (int connection = 1; connection <= 4; ++connection)
        EXPECT_EQ(ZEL_STATUS_STOP, fake_status(connection));
    EXPECT_TRUE(wait_stop_semaphore_for(0)) << "the stop request releases the stop semaphore";
    shutdown();
    EXPECT_EQ(0, active_threads.load());
    EXPECT_EQ(4u, fake_count("mod_destroy"));
    EXPECT_FALSE(stats_block_is_shared());
}


// Queues `count` trades of one instrument as the feed thread would.
void queue_trades(int count) {
    for (int i = 0; i < count; ++i) {
        UpdateTemplate t;
        t.kind = KIND_TRADE;
        t.insref = 77;
        t.key = "77:1:" + std::to_string(i);
        addQueueItem(fieldValueCreate(6, std::to_string(i).c_str()), t);
    }
}

size_t trade_statements() {
    size_t n = 0;
    for (const std::string& statement : fake_statements(2))
        n += statement.find("trades") != std::string::npos;
    return n;
}

// A stop first ends the feed, then writes what is queued before the threads end.
TEST_F(Startup, StopWritesWhatIsQueuedBeforeTheThreadsEnd) {
    write_config("checkdatabase 0\nstopdraintime 30\n");
    ASSERT_EQ(STARTUP_RUNNING, startup());
    // The database takes 10 ms a statement: the stop comes with nearly all trades queued.
    FakeResult slow;
    slow.code = 1;
    slow.delay_ms = 10;
    fake_on_statement("trades", slow);
    queue_trades(60);
    request_stop();
    EXPECT_EQ(0, fake_status(2)) << "the connections stay usable while the queues drain";
    shutdown();
    EXPECT_EQ(60u, trade_statements()) << "every queued trade was written";
    EXPECT_FALSE(log_.mentions("were not written"));
    EXPECT_TRUE(log_.has("Shutdown complete"));
}

// The drain is bounded: what is left at its end is logged by kind.
TEST_F(Startup, DrainTimeBoundsTheStopAndTheRestIsCounted) {
    write_config("checkdatabase 0\nstopdraintime 1\n");
    ASSERT_EQ(STARTUP_RUNNING, startup());
    // The threads count as running from their start on, not only once they have been
    // scheduled: a stop that came first would otherwise never end its drain on time.
    EXPECT_TRUE(threads_running());
    FakeResult slow;
    slow.code = 1;
    slow.delay_ms = 20;
    fake_on_statement("trades", slow);
    queue_trades(400);  // about 8 seconds of writing
    auto started = std::chrono::steady_clock::now();
    request_stop();
    shutdown();
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(5));
    size_t written = trade_statements();
    EXPECT_GT(written, 10u);
    EXPECT_LT(written, 400u);
    EXPECT_TRUE(log_.mentions("Shutdown: " + std::to_string(400 - written) +
                              " queued items were not written: " +
                              std::to_string(400 - written) + " of kind 1"));
    EXPECT_TRUE(log_.mentions("the drain time of 1 seconds (stopdraintime) is over"));
}

// A second stop request during the drain ends it at once.
TEST_F(Startup, SecondStopRequestEndsTheDrain) {
    write_config("checkdatabase 0\nstopdraintime 60\n");
    ASSERT_EQ(STARTUP_RUNNING, startup());
    FakeResult slow;
    slow.code = 1;
    slow.delay_ms = 20;
    fake_on_statement("trades", slow);
    queue_trades(400);
    request_stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    request_stop();
    for (int connection = 1; connection <= 4; ++connection)
        EXPECT_EQ(ZEL_STATUS_STOP, fake_status(connection));
    auto started = std::chrono::steady_clock::now();
    shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    EXPECT_TRUE(log_.has("Stopping at once: the queued items are no longer written"));
    EXPECT_TRUE(log_.mentions("queued items were not written"));
}

}  // namespace
}  // namespace runtest
