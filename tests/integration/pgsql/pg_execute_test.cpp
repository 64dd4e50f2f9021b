// zel's statement execution on the PostgreSQL module against a real server: what the server
// rejects inside a transaction, run through execute() as the database threads run it, and
// what lands in the tables and in the counters.
//
// The module is loaded by file name through the program's own loader; the server comes from
// the CTest fixture pg_server. Table names carry a random suffix (tests run in parallel).
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <random>
#include <string>
#include <vector>

#include "tests/integration/pgsql/pg_env.h"
#include "zel/base/config.h"
#include "zel/modload/module_loader.h"
#include "zel/queues/update_queue.h"
#include "zel/sql/db_worker.h"
#include "zel/sql/execute.h"

namespace {

zel_test::PgEnv g_env;

std::string scalar(const std::string& sql) {
    std::string info = "host=127.0.0.1 port=" + g_env["ZEL_PG_PORT"] +
                       " dbname=" + g_env["ZEL_PG_DBNAME"] + " user=" + g_env["ZEL_PG_USER"] +
                       " password=" + g_env["ZEL_PG_PASSWORD"];
    PGconn* conn = PQconnectdb(info.c_str());
    PGresult* r = PQexec(conn, sql.c_str());
    std::string out = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0
                          ? (PQgetisnull(r, 0, 0) ? "<null>" : PQgetvalue(r, 0, 0))
                          : std::string("<error: ") + PQerrorMessage(conn) + ">";
    PQclear(r);
    PQfinish(conn);
    return out;
}

class PgExecute : public ::testing::Test {
  protected:
    void SetUp() override {
        g_env = zel_test::load_pg_env();
        ASSERT_TRUE(g_env.error.empty()) << g_env.error;
        g_config.silent = 1;
        if (!module_loaded()) {
            ASSERT_EQ(1, load_module(ZEL_PGSQL_MODULE_PATH));
        }
        Config::set_param(g_config.db_server, "127.0.0.1");
        Config::set_param(g_config.db_port, g_env["ZEL_PG_PORT"].c_str());
        Config::set_param(g_config.dbname, g_env["ZEL_PG_DBNAME"].c_str());
        Config::set_param(g_config.db_username, g_env["ZEL_PG_USER"].c_str());
        Config::set_param(g_config.db_password, g_env["ZEL_PG_PASSWORD"].c_str());
        ASSERT_EQ(1, createUpdateQueues());
        init_db_workers(g_module, g_module_executebatch, g_config);
        worker().transactions = 100;
        connection_ = g_module.mod_create(g_config.module_params());
        ASSERT_NE(nullptr, connection_);
        ASSERT_EQ(1, g_module.mod_connect(connection_)) << g_module.mod_geterrorstring(connection_);
        worker().connection = connection_;
        worker().begin_transaction = "START TRANSACTION";
    }
    void TearDown() override {
        if (connection_) {
            g_module.mod_disconnect(connection_);
            g_module.mod_destroy(connection_);
        }
        init_db_workers(g_module, g_module_executebatch, g_config);
        destroyUpdateQueues();
    }
    static DbWorker& worker() { return g_workers[1]; }
    static int run(const std::string& sql, ExecMode mode = EXEC_PLAIN) {
        worker().statement.assign(sql);
        return execute(worker(), mode, ZEL_LABEL);
    }

    DbConnection* connection_ = nullptr;
};

// The acceptance case of the savepoint: one value that is no UTF-8 and one statement that
// does not parse, among good statements of one transaction. Every good row is stored, and
// exactly the two bad statements are counted as failed, with no rerun.
TEST_F(PgExecute, BadStatementsInATransactionFailAloneAndTheRestIsStored) {
    const std::string t = "t_exec_" + std::to_string(std::random_device{}() % 100000000);
    ASSERT_EQ(0, run("CREATE TABLE " + t + " (id integer PRIMARY KEY, v text)"));
    const uint64_t failed_before = stat_read(worker().stats().failed);

    ASSERT_EQ(0, run("START TRANSACTION"));
    worker().transaction.begin();
    int good = 0;
    for (int id = 1; id <= 9; ++id) {
        std::string sql = "INSERT INTO " + t + " VALUES (" + std::to_string(id) + ", 'row')";
        if (id == 4) sql = "INSERT INTO " + t + " VALUES (4, 'bad \xE2\x28\xA1 text')";
        if (id == 7) sql = "INSERT INTO " + t + " VALUE (7, 'syntax')";
        int r = run(sql);
        if (id == 4 || id == 7) {
            EXPECT_EQ(ZEL_RESULT_REJECTED, r) << sql;
        } else {
            EXPECT_EQ(1, r) << sql << ": " << g_module.mod_geterrorstring(connection_);
            ++good;
        }
        worker().transaction.count_item();
    }
    EXPECT_TRUE(worker().transaction.open()) << "the transaction was rolled back";
    worker().transaction.end();
    EXPECT_EQ(0, run("COMMIT"));

    EXPECT_EQ(2u, stat_read(worker().stats().failed) - failed_before);
    EXPECT_EQ(std::to_string(good), scalar("SELECT count(*) FROM " + t));
    EXPECT_EQ("1,2,3,5,6,8,9", scalar("SELECT string_agg(id::text, ',' ORDER BY id) FROM " + t));
    run("DROP TABLE " + t);
}

// A COMMIT the server answers with ROLLBACK is counted as failed and asks for the rerun.
TEST_F(PgExecute, CommitAnsweredWithRollbackIsARerun) {
    const std::string t = "t_exec_rb_" + std::to_string(std::random_device{}() % 100000000);
    ASSERT_EQ(0, run("CREATE TABLE " + t + " (id integer)"));
    ASSERT_EQ(0, run("START TRANSACTION"));
    worker().transaction.begin();
    EXPECT_EQ(1, run("INSERT INTO " + t + " VALUES (1)"));
    int32_t status = 0;
    worker().statement.assign("SELECT 1/0");
    EXPECT_EQ(nullptr, query(worker(), &status, ZEL_LABEL));
    worker().transaction.end();  // as the commit of the database thread does
    const uint64_t failed_before = stat_read(worker().stats().failed);
    EXPECT_EQ(ZEL_RESULT_RERUN, run("COMMIT"));
    EXPECT_EQ(1u, stat_read(worker().stats().failed) - failed_before);
    EXPECT_EQ("0", scalar("SELECT count(*) FROM " + t));
    run("DROP TABLE " + t);
}

// The same transaction sent as one batch (submit, then flush_statements): each statement's
// result reaches its continuation in order, the two bad ones are counted as failed, the
// good rows are stored, and nothing is rerun.
TEST_F(PgExecute, BatchedStatementsFailAloneAndEachResultReachesItsContinuation) {
    const std::string t = "t_exec_b_" + std::to_string(std::random_device{}() % 100000000);
    ASSERT_EQ(0, run("CREATE TABLE " + t + " (id integer PRIMARY KEY, v text)"));
    const uint64_t failed_before = stat_read(worker().stats().failed);
    ASSERT_EQ(0, run("START TRANSACTION"));
    worker().transaction.begin();
    worker().batch.collecting = true;
    std::vector<int> results;
    for (int id = 1; id <= 9; ++id) {
        std::string sql = "INSERT INTO " + t + " VALUES (" + std::to_string(id) + ", 'row')";
        if (id == 4) sql = "INSERT INTO " + t + " VALUES (4, 'bad \xE2\x28\xA1 text')";
        if (id == 7) sql = "INSERT INTO " + t + " VALUE (7, 'syntax')";
        worker().statement.assign(sql);
        EXPECT_EQ(0, submit(worker(), EXEC_PLAIN, ZEL_LABEL, [&results](DbWorker&, int r) {
            results.push_back(r);
            return 0;
        }));
    }
    EXPECT_TRUE(results.empty()) << "a statement ran before the batch was sent";
    EXPECT_EQ(0, flush_statements(worker()));
    worker().batch.collecting = false;
    EXPECT_EQ((std::vector<int>{1, 1, 1, ZEL_RESULT_REJECTED, 1, 1, ZEL_RESULT_REJECTED, 1, 1}),
              results);
    EXPECT_TRUE(worker().transaction.open()) << "the transaction was rolled back";
    worker().transaction.end();
    EXPECT_EQ(0, run("COMMIT"));
    EXPECT_EQ(2u, stat_read(worker().stats().failed) - failed_before);
    EXPECT_EQ("1,2,3,5,6,8,9", scalar("SELECT string_agg(id::text, ',' ORDER BY id) FROM " + t));
    run("DROP TABLE " + t);
}

// A batch whose transaction the server gives up (a deadlock), and one whose connection is
// ended in the middle: the flush asks for the rerun, the statements after the fault never
// reach their continuations, the transaction is gone, and nothing of it is stored.
TEST_F(PgExecute, BatchEndedByADeadlockOrAKilledConnectionAsksForARerun) {
    const std::string t = "t_exec_d_" + std::to_string(std::random_device{}() % 100000000);
    ASSERT_EQ(0, run("CREATE TABLE " + t + " (id integer PRIMARY KEY)"));
    const std::vector<std::string> faults{
        // The server's own deadlock error, raised inside the batch.
        "DO $$BEGIN RAISE EXCEPTION 'deadlock' USING ERRCODE = '40P01'; END$$",
        "SELECT pg_terminate_backend(pg_backend_pid())"};
    for (const std::string& fault : faults) {
        ASSERT_EQ(0, run("START TRANSACTION"));
        worker().transaction.begin();
        worker().batch.collecting = true;
        int answered = 0;
        auto count = [&answered](DbWorker&, int) {
            ++answered;
            return 0;
        };
        for (const std::string& sql : {"INSERT INTO " + t + " VALUES (1)", fault,
                                       "INSERT INTO " + t + " VALUES (2)"}) {
            worker().statement.assign(sql);
            submit(worker(), EXEC_PLAIN, ZEL_LABEL, count);
        }
        EXPECT_EQ(ZEL_RESULT_RERUN, flush_statements(worker())) << fault;
        worker().batch.collecting = false;
        EXPECT_EQ(1, answered) << fault;
        EXPECT_FALSE(worker().transaction.open()) << fault;
        EXPECT_TRUE(worker().batch.statements.empty()) << fault;
        EXPECT_EQ("0", scalar("SELECT count(*) FROM " + t)) << fault;
        EXPECT_EQ(ZEL_STATUS_CONNECTED, g_module.mod_get_status(connection_));
    }
    run("DROP TABLE " + t);
}

}  // namespace
