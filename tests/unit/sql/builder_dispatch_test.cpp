// The database thread's dispatch of the builders of resets, differences, calculated
// columns, lists, news, minute bars and order book levels: which statements an item of
// each kind leads to, in which order, under which request switches, and how a rerun ends
// or does not end the item.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/db_thread.h"
#include "zel/sql/execute.h"

namespace {

using sqltest::make_item;
using sqltest::SqlTest;

const char* kDefinitions = R"(<definitions version="1">
  <message mref="2" table="quotes">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="qdate" type="date"/>
    <field tag="4" column="qtime" type="time"/>
    <field tag="5" column="bid" type="decimal"/>
    <field tag="7" column="last" type="decimal"/>
  </message>
  <message mref="8" table="quotes"><field tag="insref" column="insref" type="bigint"/></message>
  <message mref="39" table="bbo">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="bdate" type="date"/><field tag="4" column="btime" type="time"/>
    <field tag="5" column="bid" type="decimal"/>
  </message>
  <message mref="247" table="bbo"><field tag="insref" column="insref" type="bigint"/></message>
  <message mref="22" table="noii">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="ndate" type="date"/><field tag="4" column="ntime" type="time"/>
    <field tag="630" column="paired" type="bigint"/>
  </message>
  <message mref="37" table="greeks">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="gdate" type="date"/><field tag="4" column="gtime" type="time"/>
    <field tag="610" column="delta" type="decimal"/>
  </message>
  <message mref="18" table="perf">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="148" column="ref1d" type="decimal"/>
    <field tag="40" column="refex" type="decimal"/>
  </message>
  <message mref="254" table="perf">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="diff1d" column="diff1d" type="double"/>
    <field tag="diff1dprc" column="diff1dprc" type="double"/>
    <field tag="diffex1d" column="diffex1d" type="double"/>
    <field tag="diffex1dprc" column="diffex1dprc" type="double"/>
  </message>
  <message mref="40" table="quoteex">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="7" column="last" type="decimal"/>
  </message>
  <message mref="19" table="ratios">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="700" column="pe" type="double" calc="2" column2="eps"/>
  </message>
  <message mref="14,15,251" table="book">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="side" column="side" type="char" len="1" key="1"/>
    <field tag="5" column="price" type="decimal" key="1"/>
    <field tag="6" column="price" type="decimal" key="1"/>
    <field tag="17" column="volume" type="bigint"/>
  </message>
  <message mref="12" table="links">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="55" column="linked" type="bigint"/>
  </message>
  <message mref="23,24" table="packed">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="1" column="ref" type="bigint"/>
  </message>
  <message mref="1" table="trades">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="tdate" type="date"/><field tag="36" column="ttime" type="time"/>
    <field tag="12" column="price" type="decimal"/><field tag="201" column="price2"/>
    <field tag="13" column="qty" type="bigint"/><field tag="15" column="flags" type="int"/>
  </message>
  <message mref="245" table="bars">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="1" column="o"/><field tag="2" column="h"/><field tag="3" column="l"/>
    <field tag="4" column="c"/><field tag="5" column="o2"/><field tag="6" column="h2"/>
    <field tag="7" column="l2"/><field tag="8" column="c2"/><field tag="9" column="vol"/>
    <field tag="10" column="turn"/><field tag="11" column="bar_time"/>
  </message>
</definitions>)";

FakeResult result(int32_t code, std::vector<std::vector<std::optional<std::string>>> rows = {}) {
    FakeResult r;
    r.code = code;
    r.rows = std::move(rows);
    return r;
}

class BuilderDispatchTest : public SqlTest {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        define(kDefinitions);
        // The table definitions turned every switch they map on; each test picks its own.
        clear_switches();
    }
    void TearDown() override {
        for (QueueItem* i : items_)
            freeQueueItem(i);
        SqlTest::TearDown();
    }
    static void clear_switches() {
        for (const RequestSwitch& s : kRequestSwitches)
            g_config.*(s.flag) = 0;
    }
    QueueItem* item(uint8_t kind, std::initializer_list<sqltest::Field> fields,
                    uint32_t flags = 0) {
        items_.push_back(make_item(kind, 5, fields, flags));
        return items_.back();
    }
    int dispatch(QueueItem* i, int queue = 1) {
        return dispatch_item(worker(queue), *i, *find_messagedef(i->kind));
    }

    std::vector<QueueItem*> items_;
};

TEST_F(BuilderDispatchTest, DayResetRunsEachRequestedResetEvenAfterARerun) {
    g_config.requestquotes = 1;
    g_config.requestnoii = 1;
    g_config.requestperformance = 1;
    g_config.requestgreeks = 1;
    fake_on_statement("UPDATE quotes", result(ZEL_RESULT_RERUN), 1);
    QueueItem* reset = item(8, {{3, "2024-01-02"}, {4, "08:00:00"}});
    EXPECT_EQ(ZEL_RESULT_RERUN, dispatch(reset));
    EXPECT_EQ((std::vector<std::string>{
                  "UPDATE quotes SET bid = NULL, last = NULL,qdate='2024-01-02',qtime='08:00:00' "
                  "WHERE insref = 5",
                  "UPDATE noii SET paired = NULL,ndate='2024-01-02',ntime='08:00:00' WHERE "
                  "insref=5",
                  "UPDATE perf SET diff1dprc=NULL,diff1d=NULL  WHERE insref=5",
                  "UPDATE greeks SET delta = NULL,gdate='2024-01-02',gtime='08:00:00' WHERE "
                  "insref=5",
              }),
              fake_statements(1));
}

TEST_F(BuilderDispatchTest, DayResetOfQuotesFollowsEitherQuoteSwitch) {
    g_config.requestquotesbbo = 1;
    EXPECT_EQ(0, dispatch(item(8, {{3, "2024-01-02"}, {4, "08:00:00"}})));
    ASSERT_EQ(1u, fake_statements(1).size());
    EXPECT_EQ(0u, fake_statements(1)[0].find("UPDATE quotes SET"));
    clear_switches();
    fake_clear_calls();
    EXPECT_EQ(0, dispatch(item(8, {})));
    EXPECT_TRUE(fake_statements().empty());

    EXPECT_EQ(0, dispatch(item(247, {{3, "2024-01-02"}, {4, "08:00:00"}})));
    EXPECT_EQ(
        (std::vector<std::string>{
            "UPDATE bbo SET bid = NULL,bdate='2024-01-02',btime='08:00:00' WHERE insref = 5"}),
        fake_statements(1));
}

TEST_F(BuilderDispatchTest, QuoteRowIsFollowedByDifferencesAndKeyRatios) {
    g_config.requestperformance = 1;
    g_config.requestkeyratios = 1;
    EXPECT_EQ(0, dispatch(item(2, {{7, "20"}})));
    EXPECT_EQ((std::vector<std::string>{
                  "UPDATE quotes SET last=20 WHERE insref=5 ",
                  "UPDATE perf SET diff1d=20-ref1d,diff1dprc=(20-ref1d)/NULLIF(ref1d,0)*100  "
                  "WHERE insref=5",
                  "UPDATE ratios SET pe=20/NULLIF(eps,0) WHERE insref=5",
              }),
              fake_statements(1));

    // A deleted quote has no follow-ups; a quote without a price no key-ratio recompute.
    fake_clear_calls();
    EXPECT_EQ(0, dispatch(item(2, {{7, "20"}}, ITEM_DELETE)));
    EXPECT_EQ(1u, fake_statements(1).size());
    fake_clear_calls();
    EXPECT_EQ(0, dispatch(item(2, {{5, "19"}})));
    EXPECT_EQ(1u, fake_statements(1).size());  // no bid pair columns, no price
}

TEST_F(BuilderDispatchTest, KeyRatioRowIsComputedFromTheReadPrice) {
    g_config.requestperformance = 1;
    fake_on_statement("SELECT last FROM quotes", result(ZEL_RESULT_RERUN), 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, dispatch(item(19, {{700, "4"}})));
    // The row waits for the rerun.
    EXPECT_EQ((std::vector<std::string>{"SELECT last FROM quotes WHERE insref=5", "ROLLBACK"}),
              fake_statements(1));

    fake_clear_calls();
    fake_on_statement("SELECT last FROM quotes WHERE insref=5", result(0, {{"40"}}));
    EXPECT_EQ(0, dispatch(item(19, {{700, "4"}})));
    EXPECT_EQ((std::vector<std::string>{
                  "SELECT last FROM quotes WHERE insref=5",
                  "UPDATE ratios SET pe=40/NULLIF(4,0),eps=4 WHERE insref=5 ",
              }),
              fake_statements(1));
}

TEST_F(BuilderDispatchTest, PerformanceAndExtendedQuoteFollowUps) {
    g_config.requestquotes = 1;
    g_config.requestperformance = 1;
    fake_on_statement("SELECT last FROM quotes", result(0, {{"11"}}));
    EXPECT_EQ(0, dispatch(item(18, {{148, "10"}}, ITEM_PERF_PRICE)));
    EXPECT_EQ((std::vector<std::string>{
                  "UPDATE perf SET ref1d=10 WHERE insref=5 ",
                  "SELECT last FROM quotes WHERE insref=5",
                  "UPDATE perf SET diff1d=11-ref1d,diff1dprc=(11-ref1d)/NULLIF(ref1d,0)*100  "
                  "WHERE insref=5",
              }),
              fake_statements(1));
    fake_clear_calls();
    EXPECT_EQ(0, dispatch(item(40, {{7, "3"}})));
    EXPECT_EQ((std::vector<std::string>{
                  "UPDATE quoteex SET last=3 WHERE insref=5 ",
                  "UPDATE perf SET diffex1d=3-refex,diffex1dprc=(3-refex)/NULLIF(refex,0)*100  "
                  "WHERE insref=5",
              }),
              fake_statements(1));
}

TEST_F(BuilderDispatchTest, OrderBookChangesAreWrittenBidsFirst) {
    QueueItem* book = item(251, {}, ITEM_KEYED);
    QueueItem* ask = make_item(15, 5, {{6, "11"}, {17, "4"}}, ITEM_ASK_INSERT);
    QueueItem* bid = make_item(14, 5, {{5, "10"}}, ITEM_BID_DELETE);
    QueueItem* bid_without_price = make_item(14, 5, {{17, "1"}}, ITEM_BID_DELETE);
    book->ask_changes = ask;
    book->bid_changes = bid;
    bid->next = bid_without_price;
    bid_without_price->prev = bid;
    EXPECT_EQ(0, dispatch(book, 4));
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE FROM book WHERE insref=5 AND price=10 AND side='B'",
                  "INSERT INTO book (insref,price,volume,side) VALUES (5,11,4,'A')",
              }),
              fake_statements(4));
    fake_clear_calls();
    fake_on_statement("DELETE FROM book", result(ZEL_RESULT_RERUN), 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, dispatch(book, 4));
    EXPECT_EQ(1u, fake_statements(4).size());
}

TEST_F(BuilderDispatchTest, MinuteBarRerunReachesTheThread) {
    fake_on_statement("SELECT price,price2", result(ZEL_RESULT_RERUN), 1);
    QueueItem* minute = item(245, {{3, "2024-01-02"}, {36, "10:00:05"}});
    EXPECT_EQ(ZEL_RESULT_RERUN, dispatch(minute, 2));
    fake_on_statement("DELETE FROM bars", result(ZEL_RESULT_REJECTED), 1);
    EXPECT_EQ(0, dispatch(minute, 2));  // other failures finish the item
}

TEST_F(BuilderDispatchTest, ListKindsReachTheirBuilders) {
    EXPECT_EQ(1, dispatch(item(12, {{55, "+9"}}), 3));
    EXPECT_EQ(1, dispatch(item(24, {{1, "8"}}), 3));
    EXPECT_EQ((std::vector<std::string>{
                  "INSERT INTO links (insref,linked) VALUES (5,9)",
                  "DELETE FROM packed WHERE insref=5",
                  "INSERT INTO packed (insref,ref) VALUES (5,8)",
              }),
              fake_statements(3));
}

}  // namespace
