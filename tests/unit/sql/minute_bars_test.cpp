// Minute bars: the minute's query, the flag bits, both price series, volume and turnover,
// deletion when nothing counts, UPDATE then INSERT, reruns, and trade dates and times that
// are not what they claim to be.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/execute.h"
#include "zel/sql/minute_bars.h"

namespace {

using sqltest::hold_transaction;
using sqltest::make_item;
using sqltest::SqlTest;

const char* kDefinitions = R"(<definitions version="1">
  <message mref="1" table="trades">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="tdate" type="date"/>
    <field tag="36" column="ttime" type="time"/>
    <field tag="12" column="price" type="decimal"/>
    <field tag="201" column="price2" type="decimal"/>
    <field tag="13" column="qty" type="bigint"/>
    <field tag="15" column="flags" type="int"/>
  </message>
  <message mref="245" table="bars">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="1" column="o"/><field tag="2" column="h"/><field tag="3" column="l"/>
    <field tag="4" column="c"/><field tag="5" column="o2"/><field tag="6" column="h2"/>
    <field tag="7" column="l2"/><field tag="8" column="c2"/><field tag="9" column="vol"/>
    <field tag="10" column="turn"/><field tag="11" column="bar_time"/>
  </message>
</definitions>)";

const char* kSelect =
    "SELECT price,price2,qty,flags FROM trades WHERE insref=7 AND tdate='2024-05-06' AND ttime "
    ">= '14:03:00' AND ttime <= '14:03:59.999999'";
const char* kKey = " WHERE insref=7 AND bar_time='2024-05-06 14:03:00'";

using Row = std::vector<std::optional<std::string>>;

FakeResult trades(std::vector<Row> rows, int32_t code = 0) {
    FakeResult r;
    r.code = code;
    r.rows = std::move(rows);
    return r;
}

class MinuteBarsTest : public SqlTest {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        define(kDefinitions);
        bar_ = make_item(245, 7, {{3, "2024-05-06"}, {36, "14:03:27.123456"}});
    }
    void TearDown() override {
        freeQueueItem(bar_);
        SqlTest::TearDown();
    }
    int build(const QueueItem* item = nullptr) {
        return minute_bar(worker(2), item ? *item : *bar_, *find_messagedef(245));
    }

    QueueItem* bar_ = nullptr;
};

TEST_F(MinuteBarsTest, BarFromCountedTradesUpdatesItsRow) {
    // price, second price, quantity, flags: 0xC0 counts both; 0x40 volume only; 0x80 prices
    // only; 0x10 cancelled; NULL flags count nothing.
    fake_on_statement(kSelect,
                      trades({{"10", "20", "100", "192"},
                              {"12", std::nullopt, "50", "64"},
                              {"9", "21", "30", "128"},
                              {"50", "50", "1000", "208"},
                              {"1", "1", "1", std::nullopt},
                              {"11", "19", std::nullopt, "192"}}),
                      -1, FakeMatch::Exact);
    EXPECT_EQ(1, build());
    std::vector<std::string> s = fake_statements(2);
    ASSERT_EQ(2u, s.size());
    EXPECT_EQ(kSelect, s[0]);
    EXPECT_EQ(std::string("UPDATE bars SET o=10.000000,h=11.000000,l=9.000000,c=11.000000,"
                          "o2=20.000000,h2=21.000000,l2=19.000000,c2=19.000000,"
                          "vol=150.000000,turn=1600.000000") +
                  kKey,
              s[1]);
    EXPECT_EQ(0, fake_open_results());
}

TEST_F(MinuteBarsTest, NoExistingBarIsInsertedAfterTheUpdate) {
    fake_on_statement(kSelect, trades({{"10.5", std::nullopt, "3", "192"}}), -1, FakeMatch::Exact);
    fake_on_statement("UPDATE bars", FakeResult{0});
    EXPECT_EQ(1, build());
    std::vector<std::string> s = fake_statements(2);
    ASSERT_EQ(3u, s.size());
    EXPECT_EQ(
        "INSERT INTO bars (insref,o,h,l,c,vol,turn,bar_time) VALUES (7,10.500000,10.500000,"
        "10.500000,10.500000,3.000000,31.500000,'2024-05-06 14:03:00')",
        s[2]);
}

TEST_F(MinuteBarsTest, SecondSeriesAloneLeadsTheUpdateWithoutAComma) {
    fake_on_statement(kSelect, trades({{std::nullopt, "7", "2", "128"}}), -1, FakeMatch::Exact);
    fake_on_statement("UPDATE bars", FakeResult{0});
    EXPECT_EQ(1, build());
    std::vector<std::string> s = fake_statements(2);
    ASSERT_EQ(3u, s.size());
    EXPECT_EQ(std::string("UPDATE bars SET o2=7.000000,h2=7.000000,l2=7.000000,c2=7.000000,"
                          "vol=0.000000,turn=0.000000") +
                  kKey,
              s[1]);
    EXPECT_EQ(
        "INSERT INTO bars (insref,o2,h2,l2,c2,vol,turn,bar_time) VALUES (7,7.000000,7.000000,"
        "7.000000,7.000000,0.000000,0.000000,'2024-05-06 14:03:00')",
        s[2]);
}

TEST_F(MinuteBarsTest, BarIsDeletedWhenNothingCounts) {
    const std::string del = std::string("DELETE FROM bars") + kKey;
    // Every trade cancelled.
    fake_on_statement(kSelect, trades({{"10", "1", "5", "208"}}), 1, FakeMatch::Exact);
    EXPECT_EQ(1, build());
    // Volume only: no price series, so no bar.
    fake_on_statement(kSelect, trades({{"10", "1", "5", "64"}}), 1, FakeMatch::Exact);
    EXPECT_EQ(1, build());
    // The minute's trades are gone.
    EXPECT_EQ(1, build());
    std::vector<std::string> s = fake_statements(2);
    EXPECT_EQ((std::vector<std::string>{kSelect, del, kSelect, del, kSelect, del}), s);
}

TEST_F(MinuteBarsTest, RerunsArePassedBackAndOtherErrorsEndTheBar) {
    hold_transaction(worker(2), 1);
    fake_on_statement(kSelect, trades({}, ZEL_RESULT_RERUN), 1, FakeMatch::Exact);
    EXPECT_EQ(ZEL_RESULT_RERUN, build());
    EXPECT_EQ(0, fake_open_results());

    fake_clear_calls();
    fake_on_statement(kSelect, trades({{"1", "1", "1", "192"}}), -1, FakeMatch::Exact);
    fake_on_statement("UPDATE bars", FakeResult{ZEL_RESULT_REJECTED}, 1);
    EXPECT_EQ(1, build());
    EXPECT_EQ(2u, fake_statements(2).size());  // no INSERT after a refused UPDATE

    fake_on_statement("UPDATE bars", FakeResult{ZEL_RESULT_RERUN}, 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, build());
    fake_on_statement("UPDATE bars", FakeResult{0}, 1);
    fake_on_statement("INSERT INTO bars", FakeResult{ZEL_RESULT_RERUN}, 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, build());
}

TEST_F(MinuteBarsTest, UnusableDateOrTimeOrMissingColumnsWriteNothing) {
    sqltest::LogRecorder log;
    QueueItem* items[] = {
        make_item(245, 7, {{3, "2024-05-06' OR '1'='1"}, {36, "14:03:27"}}),
        make_item(245, 7, {{3, "2024-05-06"}, {36, "14:0'"}}),
        make_item(245, 7, {{3, "2024-05-06"}, {36, "14:03"}}),
        make_item(245, 7, {{36, "14:03:27"}}),
        make_item(245, 7, {{3, "2024-05-06"}, {36, std::nullopt}}),
    };
    for (QueueItem* i : items) {
        EXPECT_EQ(1, build(i));
        freeQueueItem(i);
    }
    EXPECT_TRUE(fake_statements().empty());
    EXPECT_EQ(3u, log.count("Minute bar for 7 not built", LOG_LEVEL_PROBLEM));

    g_tabledefs.clear();
    g_tabledefs.create(10);
    // The trades table without its second price column.
    std::string xml = kDefinitions;
    size_t line = xml.find("<field tag=\"201\"");
    xml.erase(line, xml.find('\n', line) - line);
    define(xml);
    EXPECT_EQ(1, build());
    EXPECT_TRUE(fake_statements().empty());
}

}  // namespace
