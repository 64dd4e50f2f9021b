// Statement execution against the recording module: every row of the result table (what
// is returned, counted, logged and written to the SQL log), the rollback on -3, the
// reconnect after -2 with its COMMIT and open-transaction rules, and the query rules.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/execute.h"
#include "zel/sql/query_result.h"

namespace {

namespace fs = std::filesystem;
using sqltest::hold_transaction;
using sqltest::LogRecorder;
using sqltest::set_transactions;
using sqltest::SqlTest;

class ExecuteTest : public SqlTest {
  protected:
    // The SQL log keeps its file open for the day, so every test of the process shares one
    // directory and reads only what was written after its start.
    static fs::path log_dir() {
        static const fs::path dir = fs::temp_directory_path() /
                                    ("zel_sql_execute_" + std::to_string(std::random_device{}()));
        return dir;
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(log_dir(), ignored);
    }
    void SetUp() override {
        SqlTest::SetUp();
        fs::create_directories(log_dir());
        g_config.logsqlpath = log_dir().string() + "/";
        start_ = log_size();
    }
    void TearDown() override {
        g_config.logsqlpath.clear();
        SqlTest::TearDown();
    }

    static uintmax_t log_size() {
        uintmax_t size = 0;
        for (auto& entry : fs::directory_iterator(log_dir()))
            size += fs::file_size(entry.path());
        return size;
    }

    // The SQL log's lines of this test without their time stamp ("[n] text").
    std::vector<std::string> sql_log() {
        std::vector<std::string> out;
        for (auto& entry : fs::directory_iterator(log_dir())) {
            std::ifstream in(entry.path());
            in.seekg(static_cast<std::streamoff>(start_));
            std::string line;
            while (std::getline(in, line))
                out.push_back(line.size() > 9 ? line.substr(9) : line);
        }
        return out;
    }

    int run(const char* statement, ExecMode mode, uint32_t transaction_items = 0) {
        worker(1).statement.assign(statement);
        hold_transaction(worker(1), transaction_items);
        return execute(worker(1), mode, SqlLabel{"caller", 77});
    }

    uintmax_t start_ = 0;
    LogRecorder log_;
};

FakeResult code(int32_t value, const char* text = "fake statement error", int32_t error_code = 0) {
    FakeResult r;
    r.code = value;
    r.error_text = text;
    r.error_code = error_code;
    return r;
}

TEST_F(ExecuteTest, RowsAffectedAreUpdatesInEveryMode) {
    fake_set_default_rows(3);
    for (ExecMode mode : {EXEC_PLAIN, EXEC_TRY_UPDATE, EXEC_TRY_INSERT, EXEC_FALLBACK_UPDATE}) {
        EXPECT_EQ(3, run("UPDATE t SET a=1", mode));
    }
    EXPECT_EQ(4u, stats(1).updated);
    EXPECT_EQ(0u, stats(1).failed);
    EXPECT_EQ(0u, log_.lines.size());
    EXPECT_EQ(std::vector<std::string>(4, "[1] UPDATE t SET a=1"), sql_log());
}

TEST_F(ExecuteTest, NoRowByMode) {
    fake_set_default_rows(0);
    EXPECT_EQ(0, run("UPDATE t SET a=1 WHERE k=1", EXEC_PLAIN));
    EXPECT_EQ(0, run("INSERT INTO t (k) VALUES (1)", EXEC_TRY_INSERT));
    EXPECT_EQ(2u, stats(1).updated);
    EXPECT_EQ(0u, log_.lines.size());

    // A try-update that matches nothing is the cue for the INSERT: "**" in the SQL log, no
    // report, no counter.
    EXPECT_EQ(0, run("UPDATE t SET a=2 WHERE k=2", EXEC_TRY_UPDATE));
    EXPECT_EQ(2u, stats(1).updated);
    EXPECT_EQ(0u, stats(1).failed);
    EXPECT_EQ(0u, log_.lines.size());

    // A fallback update that matches nothing is a failure.
    EXPECT_EQ(0, run("UPDATE t SET a=3 WHERE k=3", EXEC_FALLBACK_UPDATE));
    EXPECT_EQ(2u, stats(1).updated);
    EXPECT_EQ(1u, stats(1).failed);
    ASSERT_EQ(1u, log_.lines.size());
    EXPECT_EQ(LOG_LEVEL_PROBLEM, log_.lines[0].first);
    EXPECT_EQ(0u, log_.lines[0].second.find(
                      "SQL Error:'UPDATE t SET a=3 WHERE k=3' DB:Unknown error: File:zel:"));
    EXPECT_NE(std::string::npos, log_.lines[0].second.find("/caller:77 Code:0"));

    std::vector<std::string> expected = {
        "[1] UPDATE t SET a=1 WHERE k=1",
        "[1] INSERT INTO t (k) VALUES (1)",
        "[1] ** UPDATE t SET a=2 WHERE k=2 : Unknown error",
        "[1] ** UPDATE t SET a=3 WHERE k=3 : Unknown error",
    };
    EXPECT_EQ(expected, sql_log());
}

TEST_F(ExecuteTest, FailedStatementIsQuietOnlyForTryInsert) {
    fake_on_statement("INSERT", code(ZEL_RESULT_FAILED, "duplicate key", 23505));
    EXPECT_EQ(ZEL_RESULT_FAILED, run("INSERT INTO t (k) VALUES (1)", EXEC_TRY_INSERT));
    EXPECT_EQ(0u, stats(1).failed);
    EXPECT_EQ(0u, log_.lines.size());

    for (ExecMode mode : {EXEC_PLAIN, EXEC_TRY_UPDATE, EXEC_FALLBACK_UPDATE}) {
        EXPECT_EQ(ZEL_RESULT_FAILED, run("INSERT INTO t (k) VALUES (2)", mode));
    }
    EXPECT_EQ(3u, stats(1).failed);
    EXPECT_EQ(0u, stats(1).updated);
    ASSERT_EQ(3u, log_.lines.size());
    EXPECT_EQ(0u, log_.lines[0].second.find(
                      "SQL Error:'INSERT INTO t (k) VALUES (2)' DB:duplicate key: File:zel:"));
    EXPECT_NE(std::string::npos, log_.lines[0].second.find("/caller:77 Code:23505"));
    EXPECT_EQ("[1] ** INSERT INTO t (k) VALUES (1) : duplicate key", sql_log().at(0));
}

// After a COMMIT whose answer was lost, the batch is written again: an INSERT that meets its
// own row found what that COMMIT stored after all. Otherwise a unique violation is a failure.
TEST_F(ExecuteTest, UniqueViolationAfterACommitWhoseAnswerWasLostIsTheStoredRow) {
    fake_on_statement("INSERT", code(ZEL_RESULT_FAILED, "duplicate key", 23505));
    fake_on_statement("DELETE", code(ZEL_RESULT_FAILED, "foreign key", 23503));
    worker(1).transaction.commit_unanswered();
    EXPECT_EQ(1, run("INSERT INTO t (k) VALUES (1)", EXEC_PLAIN));
    EXPECT_EQ(1u, log_.count("Already stored by the COMMIT whose answer was lost: "
                             "'INSERT INTO t (k) VALUES (1)'"));
    EXPECT_EQ(ZEL_RESULT_FAILED, run("DELETE FROM t", EXEC_PLAIN)) << "only 23505 of an INSERT";
    EXPECT_EQ(1u, stats(1).failed);
    // The 150 items put back take two transactions of 100 to write again: the first COMMIT
    // does not end the doubt for the 50 of the second (they were once counted as failed).
    worker(1).transaction.rerun(150);
    worker(1).transaction.committed(100);
    EXPECT_EQ(1, run("INSERT INTO t (k) VALUES (2)", EXEC_PLAIN));
    worker(1).transaction.committed(50);
    EXPECT_EQ(ZEL_RESULT_FAILED, run("INSERT INTO t (k) VALUES (1)", EXEC_PLAIN));
    EXPECT_EQ(2u, stats(1).failed);
}

TEST_F(ExecuteTest, RejectedStatementIsReportedAndCounted) {
    fake_on_statement("bad", code(ZEL_RESULT_REJECTED, "syntax error", 42601));
    EXPECT_EQ(ZEL_RESULT_REJECTED, run("UPDATE bad", EXEC_TRY_INSERT));
    EXPECT_EQ(1u, stats(1).failed);
    EXPECT_EQ(1u,
              log_.count("SQL Error:'UPDATE bad' DB:syntax error: File:zel:", LOG_LEVEL_PROBLEM));
    EXPECT_EQ(std::vector<std::string>{"[1] ** UPDATE bad : syntax error"}, sql_log());
}

TEST_F(ExecuteTest, DeadlockRollsBackOnlyAnOpenTransaction) {
    fake_on_statement("UPDATE", code(ZEL_RESULT_RERUN, "deadlock detected", 40001));
    EXPECT_EQ(ZEL_RESULT_RERUN, run("UPDATE t SET a=1", EXEC_PLAIN, 5));
    EXPECT_EQ(0u, worker(1).transaction.items());
    EXPECT_EQ(1u, stats(1).failed);
    EXPECT_EQ(1u,
              log_.count("SQL Error:'UPDATE t SET a=1' DB:deadlock detected", LOG_LEVEL_PROBLEM));
    EXPECT_EQ((std::vector<std::string>{"UPDATE t SET a=1", "ROLLBACK"}), fake_statements(1));

    fake_clear_calls();
    EXPECT_EQ(ZEL_RESULT_RERUN, run("UPDATE t SET a=2", EXEC_TRY_UPDATE, 0));
    EXPECT_EQ(std::vector<std::string>{"UPDATE t SET a=2"}, fake_statements(1));
    EXPECT_EQ(2u, stats(1).failed);
}

TEST_F(ExecuteTest, LostConnectionOnPlainStatementRunsItAgainAfterTheReconnect) {
    FakeResult lost;
    lost.lose_connection = true;
    lost.error_text = "server closed the connection";
    fake_on_call(1, 1, lost);
    fake_fail_reconnects(2);
    fake_set_default_rows(1);

    EXPECT_EQ(1, run("UPDATE t SET a=1", EXEC_PLAIN));
    EXPECT_EQ((std::vector<std::string>{"UPDATE t SET a=1", "UPDATE t SET a=1"}),
              fake_statements(1));
    EXPECT_EQ(3, fake_reconnect_attempts(1));
    EXPECT_EQ(1u, stats(1).updated);
    EXPECT_EQ(0u, stats(1).failed);  // lost connections are not counted
    ASSERT_EQ(1u, log_.lines.size());
    EXPECT_EQ(0u, log_.lines[0].second.find(
                      "SQL Error:'UPDATE t SET a=1' DB:server closed the connection: File:zel:"));
    EXPECT_NE(std::string::npos, log_.lines[0].second.find("/caller:77 Code:0 Status:1"));
    EXPECT_EQ((std::vector<std::string>{"[1] ** UPDATE t SET a=1 : server closed the connection",
                                        "[1] UPDATE t SET a=1"}),
              sql_log());
}

TEST_F(ExecuteTest, LostConnectionOnCommitIsNotRepeated) {
    FakeResult lost;
    lost.lose_connection = true;
    fake_on_statement("COMMIT", lost, 1, FakeMatch::Exact);
    EXPECT_EQ(ZEL_RESULT_LOST, run("COMMIT", EXEC_PLAIN, 0));
    EXPECT_EQ(std::vector<std::string>{"COMMIT"}, fake_statements(1));
    EXPECT_EQ(1, fake_reconnect_attempts(1));
}

TEST_F(ExecuteTest, LostConnectionInsideATransactionAsksForARerun) {
    FakeResult lost;
    lost.lose_connection = true;
    fake_on_call(1, 1, lost);
    EXPECT_EQ(ZEL_RESULT_RERUN, run("UPDATE t SET a=1", EXEC_PLAIN, 3));
    EXPECT_EQ(0u, worker(1).transaction.items());
    EXPECT_EQ(std::vector<std::string>{"UPDATE t SET a=1"}, fake_statements(1));
    EXPECT_EQ(0u, stats(1).failed);
}

TEST_F(ExecuteTest, StopDuringReconnectAbandonsTheStatement) {
    FakeResult lost;
    lost.lose_connection = true;
    fake_on_call(1, 1, lost);
    // The stop arrives while the module is still retrying.
    fake_fail_reconnects(1000000);
    fake_set_reconnect_wait_ms(1);
    std::thread stopper([] {
        while (fake_reconnect_attempts(1) < 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        g_module.mod_set_status(fake_connection(1), ZEL_STATUS_STOP);
    });
    EXPECT_EQ(ZEL_RESULT_LOST, run("UPDATE t SET a=1", EXEC_PLAIN, 0));
    stopper.join();
    EXPECT_EQ(std::vector<std::string>{"UPDATE t SET a=1"}, fake_statements(1));

    // The same inside a transaction: the batch is to be rerun (by whoever runs next).
    fake_reset();
    worker(1).connection = g_module.mod_create(g_config.module_params());
    fake_on_call(1, 1, lost);
    g_module.mod_set_status(worker(1).connection, ZEL_STATUS_STOP);
    EXPECT_EQ(ZEL_RESULT_RERUN, run("UPDATE t SET a=1", EXEC_PLAIN, 4));
    EXPECT_EQ(0u, worker(1).transaction.items());
}

TEST_F(ExecuteTest, QueryReturnsRowsAndLogsTheStatement) {
    FakeResult rows;
    rows.code = 0;
    rows.rows = {{"2.5", std::nullopt}, {"3", "11"}};
    fake_on_statement("SELECT", rows);
    worker(1).statement.assign("SELECT f,t FROM ca");
    int32_t status = -9;
    ResultValue* r = query(worker(1), &status, SqlLabel{"caller", 5});
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(0, status);
    std::vector<std::string> values;
    for (; r; r = r->next)
        values.push_back(r->value ? r->value : "<null>");
    EXPECT_EQ((std::vector<std::string>{"2.5", "<null>", "3", "11"}), values);
    EXPECT_EQ(1, fake_open_results());
    free_result(worker(1));
    EXPECT_EQ(0, fake_open_results());
    EXPECT_EQ(std::vector<std::string>{"[1] SELECT f,t FROM ca"}, sql_log());
    EXPECT_EQ(0u, stats(1).updated);  // queries are not counted
}

// QueryResult hands the rows back on every way out of its scope, so the next query reads
// its own rows only (the recording module appends to a list not handed back).
TEST_F(ExecuteTest, QueryResultHandsTheRowsBackWhenItsScopeEnds) {
    FakeResult first;
    first.code = 0;
    first.rows = {{"first"}};
    fake_on_statement("SELECT a", first);
    FakeResult second;
    second.code = 0;
    second.rows = {{"second"}};
    fake_on_statement("SELECT b", second);
    fake_on_statement("SELECT faulty", FakeResult{ZEL_RESULT_REJECTED, false, {}, "bad", 1});
    auto read = [](const char* text, bool leave_early) -> std::string {
        worker(1).statement.assign(text);
        QueryResult result(worker(1), SqlLabel{"caller", 1});
        if (leave_early || result.failed() || !result.rows()) return "-";
        return result.rows()->value;
    };
    EXPECT_EQ("-", read("SELECT a", true));
    EXPECT_EQ(0, fake_open_results());
    EXPECT_EQ("second", read("SELECT b", false));
    EXPECT_EQ("-", read("SELECT faulty", false));
    EXPECT_EQ(0, fake_open_results());
    EXPECT_EQ(3u, fake_count("mod_freeresult", 1));

    // release() hands them back at once, and only once.
    {
        worker(1).statement.assign("SELECT a");
        QueryResult result(worker(1), SqlLabel{"caller", 2});
        ASSERT_NE(nullptr, result.rows());
        result.release();
        EXPECT_EQ(nullptr, result.rows());
        EXPECT_EQ(0, fake_open_results());
    }
    EXPECT_EQ(4u, fake_count("mod_freeresult", 1));
}

TEST_F(ExecuteTest, QueryErrors) {
    fake_on_statement("SELECT a", code(ZEL_RESULT_REJECTED, "no such column"));
    fake_on_statement("SELECT b", code(ZEL_RESULT_RERUN, "deadlock"));
    worker(1).statement.assign("SELECT a FROM t");
    int32_t status = 0;
    EXPECT_EQ(nullptr, query(worker(1), &status, SqlLabel{"caller", 5}));
    EXPECT_EQ(ZEL_RESULT_REJECTED, status);
    EXPECT_EQ(1u, log_.count("SQL Error:'SELECT a FROM t' DB:no such column: File:zel:"));

    // -3 rolls back whether or not a transaction is open.
    worker(1).statement.assign("SELECT b FROM t");
    EXPECT_EQ(nullptr, query(worker(1), &status, SqlLabel{"caller", 5}));
    EXPECT_EQ(ZEL_RESULT_RERUN, status);
    EXPECT_EQ((std::vector<std::string>{"SELECT a FROM t", "SELECT b FROM t", "ROLLBACK"}),
              fake_statements(1));
    EXPECT_EQ((std::vector<std::string>{"[1] ** SELECT a FROM t : no such column"}), sql_log());
    EXPECT_EQ(0u, stats(1).failed);
}

TEST_F(ExecuteTest, QueryAfterLostConnection) {
    FakeResult lost;
    lost.lose_connection = true;
    FakeResult rows;
    rows.rows = {{"1"}};
    fake_on_statement("SELECT", lost, 1);
    fake_on_statement("SELECT", rows);
    worker(1).statement.assign("SELECT x FROM t");
    int32_t status = 0;
    // Without transactions the query runs again on the new connection.
    set_transactions(0);
    ResultValue* r = query(worker(1), &status, SqlLabel{"caller", 5});
    ASSERT_NE(nullptr, r);
    EXPECT_STREQ("1", r->value);
    free_result(worker(1));
    EXPECT_EQ(2u, fake_statements(1).size());

    // With transactions the batch is rerun instead.
    fake_on_call(1, 3, lost);
    set_transactions(10);
    hold_transaction(worker(1), 2);
    EXPECT_EQ(nullptr, query(worker(1), &status, SqlLabel{"caller", 5}));
    EXPECT_EQ(ZEL_RESULT_RERUN, status);
    EXPECT_EQ(0u, worker(1).transaction.items());
    EXPECT_EQ(3u, fake_statements(1).size());

    // What decides is the worker's transaction, as for execute(), not the configured limit:
    // with none open (an item written on its own) the query runs again on the new connection
    // rather than sending its item to a rerun it cannot have.
    fake_on_call(1, 4, lost);
    r = query(worker(1), &status, SqlLabel{"caller", 5});
    ASSERT_NE(nullptr, r) << "status " << status;
    EXPECT_STREQ("1", r->value);
    free_result(worker(1));
    EXPECT_EQ(5u, fake_statements(1).size());
}

}  // namespace
