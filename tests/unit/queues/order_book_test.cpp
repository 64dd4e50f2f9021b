// order_book_test.cpp - the price ladders and every cell of the combine table for level
// changes that wait in queue 4.
#include <gtest/gtest.h>

#include "tests/unit/queues/queue_test_util.h"
#include "zel/queues/order_book.h"

using namespace qtest;

namespace {

std::vector<std::string> prices(const PriceLevel* ladder) {
    std::vector<std::string> out;
    const PriceLevel* prev = nullptr;
    for (; ladder; ladder = ladder->next) {
        EXPECT_EQ(ladder->prev, prev) << "broken back link at " << ladder->price;
        prev = ladder;
        out.emplace_back(ladder->price);
    }
    return out;
}

struct Ladder {
    PriceLevel* head = nullptr;
    uint32_t count = 0;
    Ladder(std::initializer_list<const char*> levels) {
        int level = 1;
        for (const char* p : levels)
            EXPECT_EQ(ladderInsert(&head, &count, level++, p), LADDER_DONE);
    }
    ~Ladder() {
        Instrument tmp{};
        tmp.bids = head;
        clearLadders(&tmp);
    }
};

using Strings = std::vector<std::string>;

TEST(LadderTest, InsertShiftsTheLevelsBelowDown) {
    Ladder l{"10", "11", "12"};
    EXPECT_EQ(ladderInsert(&l.head, &l.count, 2, "10.5"), LADDER_DONE);
    EXPECT_EQ(prices(l.head), (Strings{"10", "10.5", "11", "12"}));
    EXPECT_EQ(l.count, 4u);
    EXPECT_EQ(ladderInsert(&l.head, &l.count, 1, "9"), LADDER_DONE);
    EXPECT_EQ(ladderInsert(&l.head, &l.count, 6, "13"), LADDER_DONE);  // count + 1: appended
    EXPECT_EQ(ladderInsert(&l.head, &l.count, 5, "11.5"), LADDER_DONE);
    EXPECT_EQ(prices(l.head), (Strings{"9", "10", "10.5", "11", "11.5", "12", "13"}));
    EXPECT_EQ(l.count, 7u);
}

TEST(LadderTest, InsertRefusals) {
    Ladder l{"10", "11"};
    EXPECT_EQ(ladderInsert(&l.head, &l.count, 4, "x"), LADDER_BAD_INSERT_LEVEL);
    EXPECT_EQ(ladderInsert(&l.head, &l.count, 0, "x"), LADDER_BAD_INSERT_LEVEL);
    EXPECT_EQ(ladderInsert(&l.head, &l.count, -3, "x"), LADDER_BAD_INSERT_LEVEL);
    EXPECT_EQ(ladderInsert(&l.head, &l.count, 2, nullptr), LADDER_NO_PRICE);
    EXPECT_EQ(prices(l.head), (Strings{"10", "11"}));
    EXPECT_EQ(l.count, 2u);
}

TEST(LadderTest, EmptyLadderTakesAnyLevelUpToOne) {
    Ladder l{};
    EXPECT_EQ(ladderInsert(&l.head, &l.count, 2, "x"), LADDER_BAD_INSERT_LEVEL);
    EXPECT_EQ(ladderInsert(&l.head, &l.count, 1, "5"), LADDER_DONE);
    EXPECT_EQ(prices(l.head), (Strings{"5"}));
    EXPECT_EQ(l.count, 1u);
}

TEST(LadderTest, InconsistentLaddersAreLeftAlone) {
    Ladder l{"10", "11", "12"};
    uint32_t zero = 0;
    EXPECT_EQ(ladderInsert(&l.head, &zero, 1, "9"), LADDER_DONE);
    EXPECT_EQ(zero, 0u);
    uint32_t short_count = 2;  // three nodes, count says two
    EXPECT_EQ(ladderInsert(&l.head, &short_count, 3, "11.5"), LADDER_DONE);
    EXPECT_EQ(short_count, 2u);
    EXPECT_EQ(prices(l.head), (Strings{"10", "11", "12"}));
}

TEST(LadderTest, DeleteMovesTheLevelsBelowUp) {
    Ladder l{"10", "11", "12", "13"};
    EXPECT_EQ(ladderDelete(&l.head, &l.count, 1), LADDER_DONE);
    EXPECT_EQ(ladderDelete(&l.head, &l.count, 3), LADDER_DONE);
    EXPECT_EQ(prices(l.head), (Strings{"11", "12"}));
    EXPECT_EQ(ladderDelete(&l.head, &l.count, 2), LADDER_DONE);
    EXPECT_EQ(ladderDelete(&l.head, &l.count, 1), LADDER_DONE);
    EXPECT_EQ(l.head, nullptr);
    EXPECT_EQ(l.count, 0u);
    EXPECT_EQ(ladderDelete(&l.head, &l.count, 1), LADDER_BAD_DELETE_LEVEL);
}

TEST(LadderTest, DeleteRefusals) {
    Ladder l{"10", "11"};
    EXPECT_EQ(ladderDelete(&l.head, &l.count, 3), LADDER_BAD_DELETE_LEVEL);
    EXPECT_EQ(ladderDelete(&l.head, &l.count, 0), LADDER_BAD_DELETE_LEVEL);
    uint32_t long_count = 5;  // the nodes end before the count
    EXPECT_EQ(ladderDelete(&l.head, &long_count, 4), LADDER_SHORT);
    EXPECT_EQ(long_count, 5u);
    EXPECT_EQ(prices(l.head), (Strings{"10", "11"}));
}

class ApplyLevel : public QueueTest {
  protected:
    Instrument ins{};
    void TearDown() override {
        clearLadders(&ins);
        QueueTest::TearDown();
    }
};

TEST_F(ApplyLevel, SidesAndOperationsAndTheirReports) {
    LogRecorder log;
    g_config.debug = 1;
    ins.insref = 42;
    EXPECT_EQ(applyLevelChange(&ins, "10", "1", ITEM_KEYED | ITEM_BID_INSERT), LADDER_DONE);
    EXPECT_EQ(applyLevelChange(&ins, "20", "1", ITEM_KEYED | ITEM_ASK_INSERT), LADDER_DONE);
    EXPECT_EQ(applyLevelChange(&ins, "9", "2", ITEM_KEYED | ITEM_BID_INSERT), LADDER_DONE);
    EXPECT_EQ(applyLevelChange(&ins, "99", "1", ITEM_KEYED | ITEM_BID_UPDATE), LADDER_DONE);
    EXPECT_EQ(prices(ins.bids), (Strings{"10", "9"}));
    EXPECT_EQ(prices(ins.asks), (Strings{"20"}));
    EXPECT_EQ(ins.bid_count, 2u);
    EXPECT_EQ(ins.ask_count, 1u);
    EXPECT_TRUE(log.lines.empty());

    EXPECT_EQ(applyLevelChange(&ins, "8", "4", ITEM_BID_INSERT), LADDER_BAD_INSERT_LEVEL);
    EXPECT_TRUE(log.contains(
        "Invalid bidorder level insert received internal orderbook error(42) level 4 line:"));
    EXPECT_EQ(applyLevelChange(&ins, nullptr, "1", ITEM_ASK_INSERT), LADDER_NO_PRICE);
    EXPECT_TRUE(log.contains("Orderbook askprice is NULL 42 level:1 line:"));
    EXPECT_EQ(applyLevelChange(&ins, nullptr, "2", ITEM_ASK_DELETE), LADDER_BAD_DELETE_LEVEL);
    EXPECT_TRUE(log.contains(
        "Invalid askorder level DELETE received internal orderbook error(42) level 2 line:"));
    ins.bid_count = 3;  // more levels counted than held
    EXPECT_EQ(applyLevelChange(&ins, nullptr, "3", ITEM_BID_DELETE), LADDER_SHORT);
    EXPECT_TRUE(log.contains("Orderbook bid delete error line:"));
    ins.bid_count = 2;

    EXPECT_EQ(applyLevelChange(&ins, nullptr, "1", ITEM_ASK_DELETE), LADDER_DONE);
    EXPECT_EQ(ins.asks, nullptr);
    EXPECT_EQ(ins.ask_count, 0u);

    log.clear();
    g_config.debug = 0;
    EXPECT_EQ(applyLevelChange(&ins, "8", "9", ITEM_BID_INSERT), LADDER_BAD_INSERT_LEVEL);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(ApplyLevel, ClearEmptiesBothSides) {
    applyLevelChange(&ins, "10", "1", ITEM_BID_INSERT);
    applyLevelChange(&ins, "11", "1", ITEM_ASK_INSERT);
    clearLadders(&ins);
    EXPECT_EQ(ins.bids, nullptr);
    EXPECT_EQ(ins.asks, nullptr);
    EXPECT_EQ(ins.bid_count + ins.ask_count, 0u);
}

// The combine table: S is the waiting change for a price, N the new change for it.
class Combine : public QueueTest {
  protected:
    static constexpr uint64_t kInsref = 77;
    void change(uint8_t kind, uint32_t op_flags, const char* price,
                std::initializer_list<Field> fields) {
        add(kind, kInsref, ITEM_KEYED | op_flags, fields, "", price);
    }
    QueueItem* container() { return queue(4).head; }
    std::vector<QueueItem*> bids() { return sub_items(container()->bid_changes); }
    std::vector<QueueItem*> asks() { return sub_items(container()->ask_changes); }
    LogRecorder log;
};

TEST_F(Combine, DifferentPricesAndSidesAreKeptApartInArrivalOrder) {
    change(14, ITEM_BID_INSERT, "10", {{5, "10"}});
    change(14, ITEM_BID_UPDATE, "11", {{5, "11"}});
    change(15, ITEM_ASK_DELETE, "10", {{6, "10"}});
    change(14, ITEM_BID_DELETE, "12", {});
    auto b = bids();
    ASSERT_EQ(b.size(), 3u);
    EXPECT_STREQ(b[0]->price, "10");
    EXPECT_STREQ(b[1]->price, "11");
    EXPECT_STREQ(b[2]->price, "12");
    EXPECT_EQ(b[2]->prev, b[1]);
    ASSERT_EQ(asks().size(), 1u);
    EXPECT_EQ(asks()[0]->flags, ITEM_KEYED | ITEM_ASK_DELETE);
    EXPECT_EQ(items_of(queue(4)).size(), 1u);
}

TEST_F(Combine, PriceTextsAreComparedExactly) {
    change(14, ITEM_BID_INSERT, "10", {});
    change(14, ITEM_BID_DELETE, "10.0", {});
    EXPECT_EQ(bids().size(), 2u);
}

TEST_F(Combine, InsertThenInsertKeepsTheFirst) {
    g_config.debug = 1;
    change(14, ITEM_BID_INSERT, "10", {{7, "a"}});
    change(14, ITEM_BID_INSERT, "10", {{7, "b"}});
    ASSERT_EQ(bids().size(), 1u);
    EXPECT_EQ(field_text(bids()[0]->fields, 7), "a");
    EXPECT_TRUE(log.contains("bidorder insert on insert 77 10"));
}

TEST_F(Combine, InsertThenUpdateStaysAnInsertWithMergedFields) {
    change(15, ITEM_ASK_INSERT, "10", {{7, "a"}, {8, "x"}});
    change(15, ITEM_ASK_UPDATE, "10", {{7, "b"}});
    ASSERT_EQ(asks().size(), 1u);
    EXPECT_EQ(asks()[0]->flags, ITEM_KEYED | ITEM_ASK_INSERT);
    EXPECT_EQ(field_text(asks()[0]->fields, 7), "b");
    EXPECT_EQ(field_text(asks()[0]->fields, 8), "x");
}

TEST_F(Combine, InsertThenDeleteLeavesNothing) {
    change(14, ITEM_BID_INSERT, "9", {});
    change(14, ITEM_BID_INSERT, "10", {});
    change(14, ITEM_BID_INSERT, "11", {});
    change(14, ITEM_BID_DELETE, "10", {});
    auto b = bids();
    ASSERT_EQ(b.size(), 2u);
    EXPECT_STREQ(b[0]->price, "9");
    EXPECT_STREQ(b[1]->price, "11");
    EXPECT_EQ(b[1]->prev, b[0]);
    change(14, ITEM_BID_DELETE, "9", {});
    change(14, ITEM_BID_DELETE, "11", {});
    EXPECT_EQ(container()->bid_changes, nullptr);
}

TEST_F(Combine, UpdateThenInsertBecomesTheInsert) {
    change(14, ITEM_BID_UPDATE, "10", {{7, "a"}, {8, "x"}});
    change(14, ITEM_BID_INSERT, "10", {{7, "b"}});
    ASSERT_EQ(bids().size(), 1u);
    EXPECT_EQ(bids()[0]->flags, ITEM_KEYED | ITEM_BID_INSERT);
    EXPECT_EQ(field_list(bids()[0]->fields),
              (std::vector<std::pair<uint32_t, std::string>>{{7, "b"}}));
    EXPECT_STREQ(bids()[0]->price, "10");
}

TEST_F(Combine, UpdateThenUpdateMerges) {
    change(15, ITEM_ASK_UPDATE, "10", {{7, "a"}, {8, "x"}});
    change(15, ITEM_ASK_UPDATE, "10", {{7, "b"}});
    EXPECT_EQ(asks()[0]->flags, ITEM_KEYED | ITEM_ASK_UPDATE);
    EXPECT_EQ(field_text(asks()[0]->fields, 7), "b");
    EXPECT_EQ(field_text(asks()[0]->fields, 8), "x");
}

TEST_F(Combine, UpdateThenDeleteBecomesTheDelete) {
    change(15, ITEM_ASK_UPDATE, "10", {{7, "a"}, {8, "x"}});
    change(15, ITEM_ASK_DELETE, "10", {{9, "d"}});
    ASSERT_EQ(asks().size(), 1u);
    EXPECT_EQ(asks()[0]->flags, ITEM_KEYED | ITEM_ASK_DELETE);
    EXPECT_EQ(field_list(asks()[0]->fields),
              (std::vector<std::pair<uint32_t, std::string>>{{9, "d"}}));
}

TEST_F(Combine, DeleteThenInsertBecomesAnUpdateWithTheInsertsFields) {
    change(14, ITEM_BID_DELETE, "10", {{9, "d"}});
    change(14, ITEM_BID_INSERT, "10", {{7, "i"}});
    ASSERT_EQ(bids().size(), 1u);
    EXPECT_EQ(bids()[0]->flags, ITEM_KEYED | ITEM_BID_UPDATE);
    EXPECT_EQ(field_list(bids()[0]->fields),
              (std::vector<std::pair<uint32_t, std::string>>{{7, "i"}}));
}

TEST_F(Combine, DeleteThenUpdateBecomesTheUpdate) {
    change(15, ITEM_ASK_DELETE, "10", {{9, "d"}});
    change(15, ITEM_ASK_UPDATE, "10", {{7, "u"}});
    EXPECT_EQ(asks()[0]->flags, ITEM_KEYED | ITEM_ASK_UPDATE);
    EXPECT_EQ(field_list(asks()[0]->fields),
              (std::vector<std::pair<uint32_t, std::string>>{{7, "u"}}));
}

TEST_F(Combine, DeleteThenDeleteKeepsTheFirst) {
    g_config.debug = 1;
    change(15, ITEM_ASK_DELETE, "10", {{9, "1"}});
    change(15, ITEM_ASK_DELETE, "10", {{9, "2"}});
    EXPECT_EQ(field_text(asks()[0]->fields, 9), "1");
    EXPECT_TRUE(log.contains("askorder delete on delete 77 10"));
}

TEST_F(Combine, ChangeWithoutPriceIsDroppedAndReportedWhenAnInsert) {
    g_config.debug = 1;
    change(14, ITEM_BID_INSERT, "10", {});
    change(14, ITEM_BID_UPDATE, nullptr, {{7, "u"}});
    EXPECT_FALSE(log.contains("strangle"));
    change(14, ITEM_BID_INSERT, nullptr, {{7, "u"}});
    EXPECT_TRUE(log.contains(
        "Orderbook strangle error no price. Insref:77 Option: 33 File:order_book.cpp Line:"));
    ASSERT_EQ(bids().size(), 1u);
    EXPECT_EQ(bids()[0]->fields, nullptr);
}

TEST_F(Combine, ChangeWithoutAnOperationIsDropped) {
    g_config.debug = 1;
    change(14, ITEM_BID_INSERT, "10", {});
    change(14, 0, "10", {{7, "?"}});
    EXPECT_TRUE(log.contains("Unknown orderbook update File:order_book.cpp Line:"));
    EXPECT_EQ(bids()[0]->flags, ITEM_KEYED | ITEM_BID_INSERT);
    EXPECT_EQ(bids()[0]->fields, nullptr);
}

TEST_F(Combine, DiagnosticsStayQuietWithoutDebug) {
    change(14, ITEM_BID_INSERT, "10", {});
    change(14, ITEM_BID_INSERT, "10", {});
    change(14, ITEM_BID_INSERT, nullptr, {});
    change(14, 0, "10", {});
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(Combine, PlaceholderTakesTheFirstChangeAfterAWrite) {
    QueueItem* written = allocQueueItem();
    written->kind = KIND_ORDER_BOOK;
    written->insref = kInsref;
    written->key = queueStrdup("77:251");
    addPlaceholder(&queue(4), written, 0);
    freeQueueItem(written);
    change(15, ITEM_ASK_INSERT, "5", {});
    ASSERT_EQ(items_of(queue(4)).size(), 1u);
    EXPECT_EQ(container()->flags, ITEM_KEYED | ITEM_KEYED | ITEM_ASK_INSERT);
    ASSERT_EQ(asks().size(), 1u);
    EXPECT_EQ(queue(4).stats->queued, 1u);
    EXPECT_EQ(queue(4).stats->empty_items, 0u);
}

}  // namespace
