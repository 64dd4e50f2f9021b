// The reset statements: exact texts of the four resets, stamps from the item or the clock,
// missing date or time columns, an empty reset list, and stamps that are not what they
// claim to be.
#include <gtest/gtest.h>

#include <string>

#include "sql_test_util.h"
#include "zel/sql/execute.h"
#include "zel/sql/reset_statements.h"

namespace {

using sqltest::make_item;
using sqltest::ManualClock;
using sqltest::SqlTest;

const char* kDefinitions = R"(<definitions version="1">
  <message mref="2" table="quotes">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="qdate" type="date"/>
    <field tag="4" column="qtime" type="time"/>
    <field tag="5" column="bid" type="decimal"/>
    <field tag="6" column="ask" type="decimal"/>
  </message>
  <message mref="8" table="quotes">
    <field tag="insref" column="insref" type="bigint"/>
  </message>
  <message mref="39" table="bbo">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="bdate" type="date"/>
    <field tag="4" column="btime" type="time"/>
    <field tag="5" column="bid" type="decimal"/>
  </message>
  <message mref="247" table="bbo">
    <field tag="insref" column="ins" type="bigint"/>
  </message>
  <message mref="22" table="noii">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="ndate" type="date"/>
    <field tag="630" column="paired" type="bigint"/>
  </message>
  <message mref="37" table="greeks">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="gdate" type="date"/>
    <field tag="4" column="gtime" type="time"/>
  </message>
</definitions>)";

class ResetStatementsTest : public SqlTest {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        define(kDefinitions);
        ManualClock::now = 1700000000;  // 2023-11-14 22:13:20 UTC
    }
    void TearDown() override {
        for (QueueItem* i : items_)
            freeQueueItem(i);
        SqlTest::TearDown();
    }
    QueueItem* item(uint8_t kind, std::initializer_list<sqltest::Field> fields) {
        items_.push_back(make_item(kind, 42, fields));
        return items_.back();
    }
    static std::string text() { return worker(1).statement.c_str(); }

    ManualClock clock_;
    std::vector<QueueItem*> items_;
};

TEST_F(ResetStatementsTest, DayResetWithoutStampsUsesTheClock) {
    QueueItem* reset = item(8, {});
    ASSERT_EQ(1, quote_reset(worker(1), *reset, *find_messagedef(8)));
    EXPECT_EQ(
        "UPDATE quotes SET bid = NULL, ask = NULL,qdate='2023-11-14',qtime='22:13:20' WHERE "
        "insref = 42",
        text());
}

TEST_F(ResetStatementsTest, ItemStampsWinAndEachResetHasItsOwnTableAndSpacing) {
    QueueItem* bbo = item(247, {{4, "09:30:00.250"}, {3, "2024-02-29"}});
    ASSERT_EQ(1, quote_bbo_reset(worker(1), *bbo, *find_messagedef(247)));
    EXPECT_EQ("UPDATE bbo SET bid = NULL,bdate='2024-02-29',btime='09:30:00.250' WHERE ins = 42",
              text());
}

TEST_F(ResetStatementsTest, MissingDateOrTimeColumnIsReportedAndBuildsNothing) {
    sqltest::LogRecorder log;
    QueueItem* day = item(8, {});
    EXPECT_EQ(-1, noii_reset(worker(1), *day, *find_messagedef(8)));
    EXPECT_EQ(1u, log.count("Error in noiireset line:", LOG_LEVEL_PROBLEM));

    g_tabledefs.clear();
    g_tabledefs.create(10);
    define(R"(<definitions><message mref="8" table="q"><field tag="insref" column="i"/></message>
              <message mref="2" table="q"><field tag="insref" column="i"/>
              <field tag="5" column="bid"/></message>
              <message mref="22" table="n"><field tag="insref" column="i"/>
              <field tag="3" column="d"/><field tag="4" column="t"/>
              <field tag="630" column="p"/><field tag="631" column="s"/></message>
              </definitions>)");
    EXPECT_EQ(-1, quote_reset(worker(1), *day, *find_messagedef(8)));
    EXPECT_EQ(1u, log.count("Error in quotereset line:", LOG_LEVEL_PROBLEM));
    ASSERT_EQ(1, noii_reset(worker(1), *day, *find_messagedef(8)));
    EXPECT_EQ("UPDATE n SET p = NULL, s = NULL,d='2023-11-14',t='22:13:20' WHERE i=42",
              std::string(worker(1).statement.c_str()));
}

TEST_F(ResetStatementsTest, EmptyResetListBuildsNothingAndIsLoggedOnce) {
    sqltest::LogRecorder log;
    QueueItem* day = item(8, {{3, "2024-03-01"}, {4, "07:00:00"}});
    worker(1).statement.assign("previous");
    EXPECT_EQ(0, greeks_reset(worker(1), *day, *find_messagedef(8)));
    EXPECT_EQ(0, greeks_reset(worker(1), *day, *find_messagedef(8)));
    EXPECT_EQ(1u, log.count("Error in greeksreset", LOG_LEVEL_PROBLEM));
    EXPECT_TRUE(fake_statements().empty());
}

TEST_F(ResetStatementsTest, StampsThatAreNotDatesOrTimesGoThroughTheModule) {
    QueueItem* day = item(8, {{3, "2024-01-02' OR '1'='1"}, {4, "1'"}});
    ASSERT_EQ(1, quote_reset(worker(1), *day, *find_messagedef(8)));
    EXPECT_EQ(
        "UPDATE quotes SET bid = NULL, ask = NULL,qdate='2024-01-02'' OR ''1''=''1',"
        "qtime='1''' WHERE insref = 42",
        text());
    // A date field without a value counts as no date: the clock stamps the row.
    QueueItem* empty = item(8, {{3, std::nullopt}});
    ASSERT_EQ(1, quote_reset(worker(1), *empty, *find_messagedef(8)));
    EXPECT_NE(std::string::npos, text().find("qdate='2023-11-14',qtime='22:13:20'"));
}

TEST_F(ResetStatementsTest, ResetOfAnInstrumentWithoutARowStillCountsAsAnUpdate) {
    fake_on_statement("UPDATE quotes", FakeResult{0});
    QueueItem* day = item(8, {});
    ASSERT_EQ(1, quote_reset(worker(1), *day, *find_messagedef(8)));
    EXPECT_EQ(0, execute(worker(1), EXEC_PLAIN, SQLBUILDS_LABEL));
    EXPECT_EQ(1u, stats(1).updated);
    EXPECT_EQ(0u, stats(1).failed);
}

}  // namespace
