// The row builders: exact UPDATE, INSERT and DELETE texts, what counts, calculated
// columns, current-value slots, the tag-72 NULL of trades, every DELETE variant, and
// values from the feed that try to change a statement's meaning.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/execute.h"
#include "zel/sql/row_statements.h"
#include "zel/sql/sql_values.h"

namespace {

using sqltest::make_item;
using sqltest::SqlTest;

const char* kDefinitions = R"(<definitions version="3">
  <message mref="1" table="trades" insertfirst="y">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="3" column="tdate" type="date"/>
    <field tag="4" column="ttime" type="time"/>
    <field tag="7" column="price" type="decimal" len="18,6"/>
    <field tag="8" column="qty" type="bigint"/>
    <field tag="72" column="cond" type="varchar" len="8"/>
    <field tag="120" column="tradeid" type="varchar" len="20" key="1"/>
  </message>
  <message mref="2" table="quotes" insertfirst="n">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="3" column="qdate" type="date"/>
    <field tag="4" column="qtime" type="time"/>
    <field tag="5" column="bid" type="decimal"/>
    <field tag="6" column="ask" type="decimal"/>
    <field tag="7" column="last" type="decimal"/>
    <field tag="74" column="bidyield" type="decimal"/>
    <field tag="76" column="yield" type="decimal"/>
    <field tag="93" column="nav" type="decimal"/>
    <field tag="33" column="name" type="varchar" len="6"/>
  </message>
  <message mref="40" table="quoteex">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="7" column="last" type="decimal"/>
  </message>
  <message mref="19" table="keyratios">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="3" column="kdate" type="date"/>
    <field tag="200" column="pe" type="decimal" calc="1"/>
    <field tag="201" column="dy" type="decimal" calc="2" factor="100"/>
    <field tag="202" column="mcap" type="decimal" calc="3" column2="shares"/>
    <field tag="203" column="odd" type="decimal" calc="7"/>
    <field tag="204" column="eps" type="decimal"/>
  </message>
  <message mref="6" table="basicdata">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="126" column="status" type="int"/>
    <field tag="33" column="name" type="varchar" len="40"/>
  </message>
  <message mref="12" table="lists">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="55" column="member" type="bigint"/>
  </message>
  <message mref="23" table="packed">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="1" column="ref" type="bigint"/>
  </message>
  <message mref="38" table="orders">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="695" column="orderid" type="bigint" key="1"/>
    <field tag="5" column="price" type="decimal"/>
  </message>
  <message mref="16" table="fundamentals">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="3" column="fdate" type="date" key="1"/>
    <field tag="300" column="period" type="varchar" len="4" key="1"/>
    <field tag="301" column="revenue" type="decimal"/>
  </message>
</definitions>)";

class RowStatementsTest : public SqlTest {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        define(kDefinitions);
    }
    void TearDown() override {
        for (QueueItem* item : items_)
            freeQueueItem(item);
        SqlTest::TearDown();
    }
    QueueItem* item(uint8_t kind, uint64_t insref, std::initializer_list<sqltest::Field> fields,
                    uint32_t flags = 0) {
        items_.push_back(make_item(kind, insref, fields, flags));
        return items_.back();
    }
    static const MessageDef& def(unsigned kind) { return *find_messagedef(kind); }
    static std::string text() { return worker(1).statement.c_str(); }

    std::vector<QueueItem*> items_;
};

TEST_F(RowStatementsTest, UpdateWritesAssignmentsThenInstrumentAndKeyConditions) {
    QueueItem* trade =
        item(1, 42, {{7, "10.5"}, {120, "T-1"}, {8, "100"}, {3, "2024-01-02"}, {72, "X"}},
             ITEM_TRADE_TAG72);
    EXPECT_EQ(3, row_update(worker(1), *trade, def(1), nullptr));  // price, qty, cond
    EXPECT_EQ(
        "UPDATE trades SET price=10.5,qty=100,tdate='2024-01-02',cond='X' WHERE insref=42 AND "
        "tradeid='T-1' ",
        text());
}

TEST_F(RowStatementsTest, InsertListsInstrumentFirstThenFieldsInItemOrder) {
    QueueItem* trade = item(
        1, 42, {{7, "10.5"}, {120, "T-1"}, {999, "ignored"}, {4, "09:00:01"}, {8, std::nullopt}});
    EXPECT_EQ(2, row_insert(worker(1), *trade, def(1), nullptr));  // price, qty
    EXPECT_EQ(
        "INSERT INTO trades (insref,price,tradeid,ttime,qty) VALUES "
        "(42,10.5,'T-1','09:00:01',NULL)",
        text());
}

TEST_F(RowStatementsTest, OnlyDateTimeOrKeysCountNothing) {
    QueueItem* dated = item(1, 7, {{3, "2024-01-02"}, {4, "10:00:00"}});
    EXPECT_EQ(0, row_update(worker(1), *dated, def(1), nullptr));
    EXPECT_EQ(0, row_insert(worker(1), *dated, def(1), nullptr));
    QueueItem* keyed = item(1, 7, {{120, "T"}}, ITEM_TRADE_TAG72);
    EXPECT_EQ(0, row_update(worker(1), *keyed, def(1), nullptr));
    QueueItem* deleted = item(1, 7, {{7, "1"}}, ITEM_DELETE);
    EXPECT_EQ(0, row_update(worker(1), *deleted, def(1), nullptr));
    EXPECT_EQ(0, row_insert(worker(1), *deleted, def(1), nullptr));
}

TEST_F(RowStatementsTest, TradeWithoutTag72ClearsTheColumnInTheSameUpdate) {
    QueueItem* trade = item(1, 5, {{7, "1.25"}});
    EXPECT_EQ(1, row_update(worker(1), *trade, def(1), nullptr));
    EXPECT_EQ("UPDATE trades SET price=1.25,cond=NULL WHERE insref=5 ", text());

    // With its own (empty) field 72 the column is assigned once.
    QueueItem* own = item(1, 5, {{72, std::nullopt}, {7, "1.25"}});
    EXPECT_EQ(2, row_update(worker(1), *own, def(1), nullptr));
    EXPECT_EQ("UPDATE trades SET cond=NULL,price=1.25 WHERE insref=5 ", text());

    // Only trades: a quote keeps whatever it has.
    QueueItem* quote = item(2, 5, {{7, "1.25"}});
    row_update(worker(1), *quote, def(2), nullptr);
    EXPECT_EQ("UPDATE quotes SET last=1.25 WHERE insref=5 ", text());
}

TEST_F(RowStatementsTest, QuoteFillsCurrentValueSlots) {
    QueueItem* quote = item(2, 9, {{5, "99.5"}, {7, "100"}, {76, "3.1"}, {74, "3.2"}, {93, "101"}});
    EXPECT_EQ(5, row_update(worker(1), *quote, def(2), nullptr));
    EXPECT_STREQ("100", quote->price);  // 93 only for instruments of type 3
    EXPECT_STREQ("99.5", quote->bid);
    EXPECT_STREQ("3.1", quote->yield);
    EXPECT_STREQ("3.2", quote->bid_yield);
    EXPECT_TRUE(quote->price_present && quote->bid_present && quote->yield_present &&
                quote->bid_yield_present);

    // For a type-3 instrument the later of 7 and 93 wins.
    InstrumentType fund{9, 3};
    QueueItem* nav_last = item(2, 9, {{7, "100"}, {93, "101"}});
    row_insert(worker(1), *nav_last, def(2), &fund);
    EXPECT_STREQ("101", nav_last->price);
    QueueItem* last_last = item(2, 9, {{93, "101"}, {7, "100"}});
    row_update(worker(1), *last_last, def(2), &fund);
    EXPECT_STREQ("100", last_last->price);

    // Kind 40 fills the price slot from field 7 only.
    QueueItem* ex = item(40, 9, {{7, "55"}});
    row_update(worker(1), *ex, def(40), nullptr);
    EXPECT_STREQ("55", ex->price);
    EXPECT_FALSE(ex->bid_present);
}

TEST_F(RowStatementsTest, CalculatedColumnsInUpdate) {
    QueueItem* ratios =
        item(19, 3, {{200, "20"}, {201, "2"}, {202, "1000"}, {203, "4"}, {204, "1.5"}});
    set_current_value(ratios->price, ratios->price_present, "50");
    EXPECT_EQ(5, row_update(worker(1), *ratios, def(19), nullptr));
    EXPECT_EQ(
        "UPDATE keyratios SET pe=20/NULLIF(50,0),pe_base=20,dy=(50/NULLIF(2,0))*100,dy_base=2,"
        "mcap=1000*50,shares=1000,odd=NULL,odd_base=4,eps=1.5 WHERE insref=3 ",
        text());
}

TEST_F(RowStatementsTest, CalculatedColumnsInInsertWithPriceZeroAndAbsentValue) {
    QueueItem* ratios = item(19, 3, {{200, "20"}, {202, std::nullopt}});
    set_current_value(ratios->price, ratios->price_present, "0");
    EXPECT_EQ(2, row_insert(worker(1), *ratios, def(19), nullptr));
    EXPECT_EQ(
        "INSERT INTO keyratios (insref,pe,pe_base,mcap,shares) VALUES "
        "(3,20/NULLIF(0,0),20,NULL,NULL)",
        text());
}

TEST_F(RowStatementsTest, CalculatedFieldWithoutPriceWritesNothingButCounts) {
    QueueItem* ratios = item(19, 3, {{200, "20"}, {204, "1.5"}});
    EXPECT_EQ(2, row_update(worker(1), *ratios, def(19), nullptr));
    EXPECT_EQ("UPDATE keyratios SET eps=1.5 WHERE insref=3 ", text());
    EXPECT_EQ(2, row_insert(worker(1), *ratios, def(19), nullptr));
    EXPECT_EQ("INSERT INTO keyratios (insref,eps) VALUES (3,1.5)", text());
}

TEST_F(RowStatementsTest, FeedValuesCannotChangeTheStatement) {
    const char* nasty = "1'; DROP TABLE quotes; --\\";
    QueueItem* quote = item(2, 8, {{33, "a'b;c\\d"}, {5, nasty}, {3, "x' OR '1'='1"}});
    EXPECT_EQ(2, row_update(worker(1), *quote, def(2), nullptr));
    EXPECT_EQ("UPDATE quotes SET name='a''b;c\\',bid=NULL,qdate='x'' OR ''1''=''1' WHERE insref=8 ",
              text());

    QueueItem* ratios = item(19, 3, {{200, "1);DELETE FROM keyratios;--"}});
    set_current_value(ratios->price, ratios->price_present, "5 OR 1=1");
    row_update(worker(1), *ratios, def(19), nullptr);
    EXPECT_EQ("UPDATE keyratios SET pe=NULL/NULLIF(NULL,0),pe_base=NULL WHERE insref=3 ", text());

    QueueItem* key = item(16, 1, {{300, "Q1' OR 1=1 --"}, {301, "5"}});
    row_update(worker(1), *key, def(16), nullptr);
    // Cut to the column's four characters, then quoted.
    EXPECT_EQ("UPDATE fundamentals SET revenue=5 WHERE insref=1 AND period='Q1'' ' ", text());
}

TEST_F(RowStatementsTest, PlainDeleteUsesInstrumentAndKeyFields) {
    QueueItem* gone = item(16, 77, {{3, "2023-12-31"}, {301, "1"}, {300, "FY"}}, ITEM_DELETE);
    EXPECT_EQ(1, row_delete(worker(1), *gone, def(16)));
    EXPECT_EQ("DELETE FROM fundamentals WHERE insref=77  AND fdate='2023-12-31' AND period='FY'",
              text());
    EXPECT_TRUE(fake_statements().empty());  // the caller executes it
}

TEST_F(RowStatementsTest, NullStatusSetsTheStatusColumnInsteadOfDeleting) {
    QueueItem* state = item(6, 12, {{126, "3"}}, ITEM_DELETE | ITEM_NULL_STATUS);
    // The cascade does not run: nothing is deleted.
    EXPECT_EQ(1, row_delete(worker(1), *state, def(6)));
    EXPECT_EQ("UPDATE basicdata SET status=NULL WHERE insref=12", text());
    EXPECT_TRUE(fake_statements().empty());

    QueueItem* no_status = item(16, 12, {}, ITEM_DELETE | ITEM_NULL_STATUS);
    EXPECT_EQ(-1, row_delete(worker(1), *no_status, def(16)));
}

TEST_F(RowStatementsTest, BasicDataDeleteCascadesFirst) {
    g_config.requestbasicdata = 1;
    QueueItem* basic = item(6, 12, {}, ITEM_DELETE);
    EXPECT_EQ(1, row_delete(worker(1), *basic, def(6)));
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE FROM lists WHERE member=12",
                  "DELETE FROM lists WHERE insref=12",
                  "DELETE FROM packed WHERE ref=12",
                  "DELETE FROM packed WHERE insref=12",
              }),
              fake_statements(1));
    EXPECT_EQ("DELETE FROM basicdata WHERE insref=12 ", text());

    // A rerun of one cascade statement ends the delete with -3 after the others ran.
    fake_clear_calls();
    FakeResult rerun;
    rerun.code = ZEL_RESULT_RERUN;
    fake_on_statement("DELETE FROM lists WHERE member=12", rerun, 1, FakeMatch::Exact);
    EXPECT_EQ(ZEL_RESULT_RERUN, row_delete(worker(1), *basic, def(6)));
    EXPECT_EQ(4u, fake_statements(1).size());
}

TEST_F(RowStatementsTest, OrderDeleteExecutesItselfAndReturnsItsResult) {
    QueueItem* entry = item(38, 4, {{5, "1.5"}}, ITEM_DELETE);
    entry->order_id = 900000000001ull;
    fake_set_default_rows(0);
    EXPECT_EQ(0, row_delete(worker(1), *entry, def(38)));
    EXPECT_EQ(
        std::vector<std::string>{"DELETE FROM orders WHERE insref=4 AND orderid=900000000001"},
        fake_statements(1));
    FakeResult rerun;
    rerun.code = ZEL_RESULT_RERUN;
    fake_on_statement("DELETE FROM orders", rerun);
    EXPECT_EQ(ZEL_RESULT_RERUN, row_delete(worker(1), *entry, def(38)));
}

TEST_F(RowStatementsTest, OrderDeleteWithoutOrderColumnIsMissingADefinition) {
    g_tabledefs.clear();
    g_tabledefs.create(100);
    define(R"(<definitions><message mref="38" table="orders">
        <field tag="insref" column="insref" type="bigint"/></message></definitions>)");
    QueueItem* entry = item(38, 4, {}, ITEM_DELETE);
    sqltest::LogRecorder log;
    EXPECT_EQ(-1, row_delete(worker(1), *entry, def(38)));
    EXPECT_EQ(-1, row_delete(worker(1), *entry, def(38)));
    EXPECT_TRUE(fake_statements().empty());
    // Reported, but once: a misdefined table must not flood the log at the feed's rate.
    EXPECT_EQ(1u, log.count("No column for field 695 of message 38", LOG_LEVEL_PROBLEM));
}

}  // namespace
