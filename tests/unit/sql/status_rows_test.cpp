// The status rows: every row inserted on an empty table, only "Last write" when nothing
// changed, a failed INSERT tried again, the template-version caches in the statistics
// block, and a rerun ending the builder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/status_rows.h"

namespace {

using sqltest::ManualClock;
using sqltest::SqlTest;

class StatusRowsTest : public SqlTest {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        define(R"(<definitions version="12"><message mref="30" table="status">
            <field tag="insref" column="insref" type="bigint"/>
            <field tag="1" column="name" type="varchar" len="64"/>
            <field tag="2" column="value" type="varchar" len="64"/></message></definitions>)");
        g_config.feed_template_version = 7;
        reset_status_row_caches();
        setenv("TZ", "UTC0", 1);
        tzset();
        ManualClock::now = 1700000000;  // 2023-11-14 22:13:20
        block_ = StatsBlock{};
        block_.received_messages = 500;
        block_.connected_to_feed = 1;
        for (int i = 0; i < 4; ++i) {
            block_.queue[i].queued = 10 * (i + 1);
            block_.queue[i].updated = 100 * (i + 1);
            block_.queue[i].deduplicated = i;
            block_.queue[i].failed = 2;
        }
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
        g_config.feed_template_version = 0;
        SqlTest::TearDown();
    }
    int run() {
        QueueItem item{};
        item.kind = 30;
        return status_rows(worker(2), item, find_messagedef(30), &block_);
    }

    static std::vector<std::string> update_insert(const std::string& name,
                                                  const std::string& value) {
        return {"UPDATE status SET value = '" + value + "' WHERE name = '" + name + "'",
                "INSERT INTO status (name,value) VALUES ('" + name + "','" + value + "')"};
    }

    ManualClock clock_;
    StatsBlock block_{};
};

TEST_F(StatusRowsTest, EmptyTableGetsEveryRowInserted) {
    FakeResult nothing;
    nothing.code = 0;
    fake_on_statement("UPDATE", nothing);
    EXPECT_EQ(1, run());

    std::vector<std::string> expected;
    auto add = [&](const std::string& name, const std::string& value) {
        for (auto& s : update_insert(name, value))
            expected.push_back(s);
    };
    add("Transactions", "500");
    add("Connected", "1");
    add("Templates Version (Loaded)", "12");
    add("Templates Version (Feed)", "7");
    for (int i = 1; i <= 4; ++i) {
        add("Queue " + std::to_string(i), std::to_string(10 * i));
        add("Databaseupdates " + std::to_string(i), std::to_string(100 * i));
    }
    add("Strangled", "6");
    add("Databaseupdates", "1000");
    add("Failed databaseupdates", "8");
    add("Databasequeue", "100");
    expected.push_back("UPDATE status SET value = '2023-11-14 22:13:20' WHERE name = 'Last write'");
    expected.push_back(
        "INSERT INTO status (name,value) VALUES ('Last write','2023-11-14 22:13:20')");
    EXPECT_EQ(expected, fake_statements(2));
    EXPECT_EQ(12u, block_.templates_version_loaded);
    EXPECT_EQ(7u, block_.templates_version_feed);
    // The try-updates that found nothing are not counted; the inserts are.
    EXPECT_EQ(17u, stats(2).updated);
    EXPECT_EQ(0u, stats(2).failed);
}

TEST_F(StatusRowsTest, UnchangedCountersWriteOnlyLastWrite) {
    EXPECT_EQ(1, run());
    EXPECT_EQ(17u, fake_statements(2).size());  // 16 rows and Last write, all updated in place
    fake_clear_calls();
    ManualClock::now = 1700000065;
    EXPECT_EQ(1, run());
    EXPECT_EQ(
        std::vector<std::string>{
            "UPDATE status SET value = '2023-11-14 22:14:25' WHERE name = 'Last write'"},
        fake_statements(2));

    // One changed counter writes its row and the sums it is part of.
    fake_clear_calls();
    block_.queue[2].updated += 1;
    EXPECT_EQ(1, run());
    EXPECT_EQ((std::vector<std::string>{
                  "UPDATE status SET value = '301' WHERE name = 'Databaseupdates 3'",
                  "UPDATE status SET value = '1001' WHERE name = 'Databaseupdates'",
                  "UPDATE status SET value = '2023-11-14 22:14:25' WHERE name = 'Last write'",
              }),
              fake_statements(2));
}

TEST_F(StatusRowsTest, FailedInsertIsTriedAgainNextTime) {
    FakeResult nothing;
    nothing.code = 0;
    fake_on_statement("UPDATE", nothing);
    FakeResult failed;
    failed.code = ZEL_RESULT_FAILED;
    fake_on_statement("VALUES ('Transactions'", failed, 1);
    EXPECT_EQ(1, run());
    fake_clear_calls();
    EXPECT_EQ(1, run());
    std::vector<std::string> second = fake_statements(2);
    ASSERT_EQ(4u, second.size());
    EXPECT_EQ(update_insert("Transactions", "500"),
              std::vector<std::string>(second.begin(), second.begin() + 2));
}

TEST_F(StatusRowsTest, RerunEndsTheBuilder) {
    FakeResult rerun;
    rerun.code = ZEL_RESULT_RERUN;
    fake_on_statement("'Connected'", rerun, 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, run());
    EXPECT_EQ(
        (std::vector<std::string>{"UPDATE status SET value = '500' WHERE name = 'Transactions'",
                                  "UPDATE status SET value = '1' WHERE name = 'Connected'"}),
        fake_statements(2));
    // The per-queue rows are no exception: the transaction is gone there as well, and
    // the statements after it would run outside it.
    for (const char* row : {"'Queue 2'", "'Databaseupdates 3'"}) {
        fake_clear_calls();
        reset_status_row_caches();
        fake_on_statement(row, rerun, 1);
        EXPECT_EQ(ZEL_RESULT_RERUN, run()) << row;
        ASSERT_FALSE(fake_statements(2).empty());
        EXPECT_NE(std::string::npos, fake_statements(2).back().find(row)) << row;
    }
}

// A rolled-back batch took the rows with it: every row is written again, the template
// versions' too, while the statistics block keeps showing the versions.
TEST_F(StatusRowsTest, RowsLostWithABatchAreAllWrittenAgain) {
    EXPECT_EQ(1, run());
    forget_status_rows_written();
    fake_clear_calls();
    EXPECT_EQ(1, run());
    std::vector<std::string> again = fake_statements(2);
    EXPECT_EQ(17u, again.size());
    for (const char* row : {"'Templates Version (Loaded)'", "'Templates Version (Feed)'"}) {
        EXPECT_NE(again.end(),
                  std::find_if(again.begin(), again.end(),
                               [row](auto& s) { return s.find(row) != std::string::npos; }))
            << row;
    }
    EXPECT_EQ(12u, block_.templates_version_loaded);
    EXPECT_EQ(7u, block_.templates_version_feed);
}

TEST_F(StatusRowsTest, WithoutStatusTableNothingIsWritten) {
    QueueItem item{};
    item.kind = 30;
    EXPECT_EQ(1, status_rows(worker(2), item, nullptr, &block_));
    EXPECT_TRUE(fake_statements().empty());
}

}  // namespace
