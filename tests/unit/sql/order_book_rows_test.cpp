// Order book level statements: insert, delete and update by side, the operation order,
// what counts, a delete without a price, a change of nothing but its price, the side
// column's absence, and values that try to change a statement's meaning.
#include <gtest/gtest.h>

#include <string>

#include "sql_test_util.h"
#include "zel/sql/order_book_rows.h"

namespace {

using sqltest::make_item;
using sqltest::SqlTest;

const char* kDefinitions = R"(<definitions version="1">
  <message mref="14,15,251" table="book">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="side" column="side" type="char" len="1" key="1"/>
    <field tag="5" column="price" type="decimal" key="1"/>
    <field tag="6" column="price" type="decimal" key="1"/>
    <field tag="17" column="volume" type="bigint"/>
    <field tag="18" column="orders" type="int"/>
    <field tag="19" column="venue" type="varchar" len="4"/>
  </message>
</definitions>)";

class OrderBookRowsTest : public SqlTest {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        define(kDefinitions);
    }
    void TearDown() override {
        for (QueueItem* i : items_)
            freeQueueItem(i);
        SqlTest::TearDown();
    }
    QueueItem* change(uint8_t kind, uint32_t flags, std::initializer_list<sqltest::Field> fields) {
        items_.push_back(make_item(kind, 42, fields, flags | ITEM_KEYED));
        return items_.back();
    }
    int build(const QueueItem* c) {
        return order_book_change(worker(4), *c, *find_messagedef(251));
    }
    static std::string text() { return worker(4).statement.c_str(); }

    std::vector<QueueItem*> items_;
};

TEST_F(OrderBookRowsTest, InsertWritesEveryDefinedFieldAndTheSide) {
    EXPECT_EQ(
        3, build(change(14, ITEM_BID_INSERT, {{5, "10.5"}, {17, "300"}, {99, "x"}, {19, "XS"}})));
    EXPECT_EQ("INSERT INTO book (insref,price,volume,venue,side) VALUES (42,10.5,300,'XS','B')",
              text());
    EXPECT_EQ(2, build(change(15, ITEM_ASK_INSERT, {{6, "11"}, {17, std::nullopt}})));
    EXPECT_EQ("INSERT INTO book (insref,price,volume,side) VALUES (42,11,NULL,'A')", text());
}

TEST_F(OrderBookRowsTest, DeleteNamesItsPriceOrDeletesNothing) {
    EXPECT_EQ(1, build(change(15, ITEM_ASK_DELETE, {{17, "5"}, {6, "11.25"}})));
    EXPECT_EQ("DELETE FROM book WHERE insref=42 AND price=11.25 AND side='A'", text());
    // Without a price the statement would remove every level of the side.
    EXPECT_EQ(0, build(change(14, ITEM_BID_DELETE, {{17, "5"}})));
}

TEST_F(OrderBookRowsTest, UpdateSetsDataAndFindsTheLevelByItsKeys) {
    EXPECT_EQ(3, build(change(14, ITEM_BID_UPDATE, {{17, "100"}, {5, "10.5"}, {18, "3"}})));
    EXPECT_EQ("UPDATE book SET volume=100,orders=3 WHERE insref=42 AND price=10.5 AND side='B'",
              text());
    // Nothing to set: no statement rather than "SET  WHERE".
    EXPECT_EQ(0, build(change(14, ITEM_BID_UPDATE, {{5, "10.5"}})));
}

TEST_F(OrderBookRowsTest, OperationOrderIsInsertDeleteUpdateAndBidWinsTheSide) {
    EXPECT_EQ(1,
              build(change(15, ITEM_ASK_UPDATE | ITEM_ASK_DELETE | ITEM_BID_INSERT, {{6, "9"}})));
    EXPECT_EQ("INSERT INTO book (insref,price,side) VALUES (42,9,'B')", text());
    EXPECT_EQ(1, build(change(15, ITEM_ASK_UPDATE | ITEM_ASK_DELETE, {{6, "9"}})));
    EXPECT_EQ("DELETE FROM book WHERE insref=42 AND price=9 AND side='A'", text());
    EXPECT_EQ(0, build(change(15, 0, {{6, "9"}, {17, "1"}})));
}

TEST_F(OrderBookRowsTest, ValuesFromTheFeedCannotChangeTheStatement) {
    EXPECT_EQ(2, build(change(14, ITEM_BID_INSERT, {{5, "1 OR 1=1"}, {19, "a'b"}})));
    EXPECT_EQ("INSERT INTO book (insref,price,venue,side) VALUES (42,NULL,'a''b','B')", text());
}

TEST_F(OrderBookRowsTest, WithoutASideColumnNothingIsBuiltAndThatIsLoggedOnce) {
    g_tabledefs.clear();
    g_tabledefs.create(10);
    define(R"(<definitions><message mref="14,251" table="book">
        <field tag="insref" column="insref"/><field tag="5" column="price" type="double"/>
        </message></definitions>)");
    sqltest::LogRecorder log;
    EXPECT_EQ(-1, build(change(14, ITEM_BID_INSERT, {{5, "1"}})));
    EXPECT_EQ(-1, build(change(14, ITEM_BID_INSERT, {{5, "1"}})));
    EXPECT_EQ(1u, log.count("No side column for message 14", LOG_LEVEL_PROBLEM));
}

}  // namespace
