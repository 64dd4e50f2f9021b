// A statement that fails with "rerun required" (-3) every time it runs, driven through the
// real database thread and the recording module. A batch is rerun a bounded number of
// times (three), then written item by item without a transaction: the failing item is
// isolated (logged with its statement and counted as failed), every other item lands, and
// the next batch uses transactions again. What "lands" means is worked out from the
// recorded statements and their results: a statement outside a transaction lands when it
// succeeds, one inside only when its transaction's COMMIT succeeds.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/db_thread.h"
#include "zel/sql/status_rows.h"

namespace {

using sqltest::LogRecorder;
using sqltest::make_fields;
using sqltest::set_pipeline;
using sqltest::set_transactions;
using sqltest::SqlTest;

const char* kDefinitions = R"(<definitions version="4">
  <message mref="1" table="trades" insertfirst="y">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="7" column="price" type="decimal"/>
    <field tag="120" column="tradeid" type="int" key="1"/>
  </message>
</definitions>)";

// Executions of one statement beyond which the test calls it a rerun storm: the contract
// allows the first run, three reruns and one run on its own.
constexpr size_t kStorm = 50;
constexpr size_t kMostRuns = 5;

class RerunLimitTest : public SqlTest, public ::testing::WithParamInterface<bool> {
  public:
    void SetUp() override {
        SqlTest::SetUp();
        set_pipeline(GetParam());
        define(kDefinitions);
        for (int i = 0; i < kDbWorkerCount; ++i)
            worker(i + 1).begin_transaction = "BEGIN";
        reset_status_row_caches();
    }
    void TearDown() override {
        if (thread_.joinable()) stop();
        SqlTest::TearDown();
    }
    void start() {
        running.store(1);
        thread_ = std::thread([] { database_thread_main(g_workers[1]); });
    }
    void stop() {
        running.store(0);
        g_queues[1].signal.release();
        thread_.join();
    }
    static bool drained() {
        UpdateQueue& q = g_queues[1];
        MutexLock hold(q.lock);
        return q.head == nullptr && stat_read(q.stats->queued) == 0;
    }
    static size_t runs_of(const std::string& statement) {
        size_t n = 0;
        for (const FakeCall& c : fake_calls())
            n += fake_ran_statement(c) && c.text == statement;
        return n;
    }
    // Runs the thread until the queue is empty, or until `watched` has run kStorm times, or
    // 10 seconds; then stops it. Returns whether the queue was drained.
    bool run(const std::string& watched) {
        start();
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        bool done = false;
        while (std::chrono::steady_clock::now() < until) {
            if ((done = drained())) break;
            if (runs_of(watched) >= kStorm) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        stop();
        return done;
    }

    static void add_trade(int i) {
        UpdateTemplate t;
        t.kind = 1;
        t.insref = 7;
        t.key = "7:1:" + std::to_string(i);
        addQueueItem(make_fields({{7, std::to_string(i)}, {120, std::to_string(i)}}), t);
    }
    static std::string trade(int i) {
        return "INSERT INTO trades (insref,price,tradeid) VALUES (7," + std::to_string(i) + "," +
               std::to_string(i) + ")";
    }

    // The data statements that took effect, in the order they did.
    static std::vector<std::string> landed() {
        std::vector<std::string> out, pending;
        bool open = false;
        for (const FakeCall& c : fake_calls()) {
            if (!fake_ran_statement(c) || c.connection != 2) continue;
            if (c.text == "BEGIN") {
                open = c.result >= 0;
                pending.clear();
            } else if (c.text == "COMMIT") {
                if (open && c.result >= 0) out.insert(out.end(), pending.begin(), pending.end());
                open = false;
                pending.clear();
            } else if (c.text == "ROLLBACK") {
                open = false;
                pending.clear();
            } else if (c.result >= 0) {
                (open ? pending : out).push_back(c.text);
            }
        }
        return out;
    }
    // Whether `statement` last ran inside a transaction that committed.
    static bool ran_in_committed_transaction(const std::string& statement) {
        bool open = false, seen = false, committed = false;
        for (const FakeCall& c : fake_calls()) {
            if (!fake_ran_statement(c) || c.connection != 2) continue;
            if (c.text == "BEGIN") {
                open = true;
                seen = false;
            } else if (c.text == "COMMIT") {
                if (seen) committed = c.result >= 0;
                open = false;
            } else if (c.text == statement) {
                seen = open;
                committed = false;
            }
        }
        return committed;
    }
    static std::string figures(const std::string& watched) {
        std::ostringstream s;
        s << watched << " ran " << runs_of(watched) << " times; statements "
          << fake_statements(2).size() << ", queued left " << stat_read(g_queues[1].stats->queued);
        return s.str();
    }

    std::thread thread_;
    LogRecorder log_;
};

FakeResult rerun_required() {
    FakeResult r;
    r.code = ZEL_RESULT_RERUN;
    r.error_text = "could not serialize access";
    r.error_code = 40;
    return r;
}

// The item that always fails is isolated; the other 19 land; with transactions, the next
// batch is written in a transaction again.
void isolates_the_failing_item(RerunLimitTest& t, int transactions) {
    set_transactions(transactions);
    fake_on_statement(RerunLimitTest::trade(7), rerun_required(), -1, FakeMatch::Exact);
    for (int i = 1; i <= 20; ++i)
        RerunLimitTest::add_trade(i);
    const std::string bad = RerunLimitTest::trade(7);

    bool done = t.run(bad);
    EXPECT_TRUE(done) << "the queue never drained: " << RerunLimitTest::figures(bad);
    EXPECT_LE(RerunLimitTest::runs_of(bad), kMostRuns) << RerunLimitTest::figures(bad);
    EXPECT_GE(RerunLimitTest::runs_of(bad), 2u) << "the failing item was not tried again";

    std::vector<std::string> got = RerunLimitTest::landed();
    std::multiset<std::string> stored(got.begin(), got.end());
    int lost = 0;
    for (int i = 1; i <= 20; ++i)
        if (i != 7 && stored.count(RerunLimitTest::trade(i)) == 0) ++lost;
    EXPECT_EQ(0, lost) << "good trades that never landed; " << RerunLimitTest::figures(bad);
    EXPECT_EQ(0u, stored.count(bad));
    EXPECT_GE(stat_read(g_queues[1].stats->failed), 1u) << "the isolated item is not counted";
    EXPECT_TRUE(t.log_.contains(bad)) << "the isolated item's statement is not logged";
    if (!done || transactions < 2) return;

    for (int i = 21; i <= 23; ++i)
        RerunLimitTest::add_trade(i);
    EXPECT_TRUE(t.run(RerunLimitTest::trade(21)));
    for (int i = 21; i <= 23; ++i)
        EXPECT_TRUE(RerunLimitTest::ran_in_committed_transaction(RerunLimitTest::trade(i)))
            << "not back to transactions: " << RerunLimitTest::trade(i);
}

TEST_P(RerunLimitTest, AlwaysFailingItemIsIsolatedInsideTransactions) {
    isolates_the_failing_item(*this, 100);
}

TEST_P(RerunLimitTest, AlwaysFailingItemIsIsolatedWithoutTransactions) {
    isolates_the_failing_item(*this, 0);
}

// A COMMIT that the server always answers with "rerun required": after the bounded reruns
// the items are written one by one without a transaction and every one lands.
TEST_P(RerunLimitTest, CommitThatAlwaysFailsEndsInItemByItemWrites) {
    set_transactions(100);
    fake_on_statement("COMMIT", rerun_required(), -1, FakeMatch::Exact);
    for (int i = 1; i <= 10; ++i)
        add_trade(i);
    bool done = run("COMMIT");
    EXPECT_TRUE(done) << "the queue never drained: " << figures("COMMIT");
    EXPECT_LE(runs_of("COMMIT"), kMostRuns) << figures("COMMIT");
    std::vector<std::string> got = landed();
    std::multiset<std::string> stored(got.begin(), got.end());
    int lost = 0;
    for (int i = 1; i <= 10; ++i)
        lost += stored.count(trade(i)) == 0;
    EXPECT_EQ(0, lost) << "trades that never landed; " << figures("COMMIT");
}

// Every case with statements sent in batches and one at a time.
INSTANTIATE_TEST_SUITE_P(Pipeline, RerunLimitTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return std::string(param.param ? "batched" : "one_by_one");
                         });

}  // namespace
