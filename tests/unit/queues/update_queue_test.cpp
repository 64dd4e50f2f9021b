// update_queue_test.cpp - addQueueItem's merge rules and counters, the delayed insert with
// its placeholders, dropQueuedUpdate, unlinkQueueItem, the queue choice and freeing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "tests/unit/queues/queue_test_util.h"

using namespace qtest;

namespace {

class Merge : public QueueTest {};

TEST_F(Merge, KeyedUpdatesMergeWithLaterValueWinningPerTag) {
    add(2, 7, ITEM_KEYED, {{5, "10"}, {6, "11"}});
    add(2, 7, ITEM_KEYED, {{5, "12"}, {7, "3"}});
    UpdateQueue& q = queue(1);
    auto items = items_of(q);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(q.stats->queued, 1u);
    EXPECT_EQ(q.stats->deduplicated, 1u);
    // A tag the item did not have goes to the front; a known tag is replaced in place.
    EXPECT_EQ(field_list(items[0]->fields),
              (std::vector<std::pair<uint32_t, std::string>>{{7, "3"}, {5, "12"}, {6, "11"}}));
    EXPECT_STREQ(items[0]->key, "7:2");
    // Only the new item woke the database thread; a plain merge does not.
    EXPECT_EQ(drain_signal(q), 1);
}

TEST_F(Merge, FirstFieldOfATagIsReplacedAndRepeatedTagsApplyInOrder) {
    using Pairs = std::vector<std::pair<uint32_t, std::string>>;
    QueueItem* item = allocQueueItem();
    item->fields = make_fields({{5, "a"}, {7, "b"}, {5, "c"}});
    mergeFields(item, make_fields({{5, "x"}, {9, "y"}, {8, "w"}}));
    EXPECT_EQ(field_list(item->fields), (Pairs{{8, "w"}, {9, "y"}, {5, "x"}, {7, "b"}, {5, "c"}}));
    mergeFields(item, make_fields({{5, "p"}, {6, "q"}, {5, "r"}, {6, "s"}}));
    EXPECT_EQ(field_list(item->fields),
              (Pairs{{6, "s"}, {8, "w"}, {9, "y"}, {5, "r"}, {7, "b"}, {5, "c"}}));
    mergeFields(item, make_fields({{2, "t1"}, {2, "t2"}}));
    EXPECT_EQ(field_list(item->fields).front(), (std::pair<uint32_t, std::string>{2, "t1t2"}));
    mergeFields(item, nullptr);
    EXPECT_EQ(field_list(item->fields).size(), 7u);
    for (const FieldValue* f = item->fields; f; f = f->next) {
        if (f->next) {
            EXPECT_EQ(f->next->prev, f);
        }
    }
    EXPECT_EQ(item->fields->prev, nullptr);
    freeQueueItem(item);
}

TEST_F(Merge, NullValueReplacesAndNewFlagsAccumulate) {
    add(18, 9, ITEM_KEYED | ITEM_PERF_PRICE, {{150, "1.5"}});
    add(18, 9, ITEM_KEYED | ITEM_PERF_YIELD, {{150, std::nullopt}});
    auto items = items_of(queue(1));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(field_text(items[0]->fields, 150), "<null>");
    EXPECT_EQ(items[0]->flags, ITEM_KEYED | ITEM_PERF_PRICE | ITEM_PERF_YIELD);
}

TEST_F(Merge, NewsTextIsConcatenatedAndEveryMergeWakes) {
    g_config.requestorderbooks = 1;  // news in queue 2
    add(13, 1, ITEM_KEYED | ITEM_NEWS_MULTIPART, {{48, "N1"}, {2, "ab"}}, "1:13:N1");
    add(13, 1, ITEM_KEYED, {{2, "cd"}}, "1:13:N1");
    add(13, 1, ITEM_KEYED | ITEM_NEWS_LASTBLOCK, {{2, std::nullopt}, {115, ""}}, "1:13:N1");
    UpdateQueue& q = queue(2);
    auto items = items_of(q);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(field_text(items[0]->fields, 2), "abcd");
    EXPECT_EQ(items[0]->flags, ITEM_KEYED | ITEM_NEWS_MULTIPART | ITEM_NEWS_LASTBLOCK);
    EXPECT_EQ(q.stats->deduplicated, 2u);
    EXPECT_EQ(drain_signal(q), 3);
}

TEST_F(Merge, NewsTextOfANullOldValueStartsEmpty) {
    add(13, 1, ITEM_KEYED, {{2, std::nullopt}}, "1:13:x");
    add(13, 1, ITEM_KEYED, {{2, "tail"}}, "1:13:x");
    EXPECT_EQ(field_text(items_of(queue(2))[0]->fields, 2), "tail");
}

TEST_F(Merge, UnkeyedUpdatesAreNeverMerged) {
    add(1, 5, 0, {{1, "100"}});
    add(1, 5, 0, {{1, "101"}});
    UpdateQueue& q = queue(2);
    EXPECT_EQ(items_of(q).size(), 2u);
    EXPECT_EQ(q.stats->queued, 2u);
    EXPECT_EQ(q.stats->deduplicated, 0u);
    EXPECT_EQ(q.dedup.count(), 0u);
    EXPECT_EQ(drain_signal(q), 2);
}

TEST_F(Merge, MergedMinuteUpdateMovesBehindLaterTrades) {
    add(1, 5, 0, {{1, "t1"}});
    add(245, 5, ITEM_KEYED, {{3, "2024-01-02"}, {36, "10:00:01"}}, "5:245:100");
    add(1, 5, 0, {{1, "t2"}});
    add(245, 5, ITEM_KEYED, {{36, "10:00:30"}}, "5:245:100");
    add(1, 5, 0, {{1, "t3"}});
    UpdateQueue& q = queue(2);
    auto items = items_of(q);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0]->kind, 1);
    EXPECT_EQ(items[1]->kind, 1);
    EXPECT_EQ(items[2]->kind, 245);
    EXPECT_EQ(field_text(items[2]->fields, 36), "10:00:30");
    EXPECT_EQ(items[3]->kind, 1);
    EXPECT_EQ(q.tail, items[3]);
    EXPECT_EQ(items[2]->prev, items[1]);
    EXPECT_EQ(q.stats->queued, 4u);
    // Still registered: a third minute update merges into the moved item.
    EXPECT_EQ(q.dedup.lookup("5:245:100"), items[2]);
    add(245, 5, ITEM_KEYED, {{36, "10:00:59"}}, "5:245:100");
    EXPECT_EQ(q.tail, items[2]);
    EXPECT_EQ(items_of(q).size(), 4u);
}

TEST_F(Merge, OrderEntriesMergePerOrderIdentifier) {
    add(38, 4, ITEM_KEYED, {{695, "1"}, {5, "10"}}, "4:38", nullptr, 1);
    add(38, 4, ITEM_KEYED, {{695, "2"}, {5, "20"}}, "4:38", nullptr, 2);
    add(38, 4, ITEM_KEYED | ITEM_UPDATE_FIRST, {{6, "300"}}, "4:38", nullptr, 1);
    UpdateQueue& q = queue(4);
    auto items = items_of(q);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->kind, 38);
    auto entries = sub_items(items[0]->bid_changes);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->order_id, 1u);
    EXPECT_EQ(entries[0]->flags, ITEM_KEYED | ITEM_UPDATE_FIRST);
    EXPECT_EQ(field_text(entries[0]->fields, 5), "10");
    EXPECT_EQ(field_text(entries[0]->fields, 6), "300");
    EXPECT_EQ(entries[1]->order_id, 2u);
    EXPECT_EQ(entries[1]->insref, 4u);
    EXPECT_EQ(entries[1]->kind, 38);
    EXPECT_EQ(q.stats->deduplicated, 2u);
}

TEST_F(Merge, DeletedOrderEntryIsReplacedAndRemembersIt) {
    add(38, 4, ITEM_KEYED, {{5, "10"}, {6, "1"}}, "4:38", nullptr, 9);
    add(38, 4, ITEM_KEYED | ITEM_DELETE, {{695, "9"}}, "4:38", nullptr, 9);
    QueueItem* entry = items_of(queue(4))[0]->bid_changes;
    EXPECT_EQ(entry->flags, ITEM_KEYED | ITEM_DELETE);
    EXPECT_EQ(field_list(entry->fields),
              (std::vector<std::pair<uint32_t, std::string>>{{695, "9"}}));
    // Added again after the delete: the old row must go first (ITEM_REPLACE), and that
    // stays so through further changes of the same wait.
    add(38, 4, ITEM_KEYED, {{5, "11"}}, "4:38", nullptr, 9);
    EXPECT_EQ(entry->flags, ITEM_KEYED | ITEM_REPLACE);
    add(38, 4, ITEM_KEYED | ITEM_UPDATE_FIRST, {{6, "2"}}, "4:38", nullptr, 9);
    EXPECT_EQ(entry->flags, ITEM_KEYED | ITEM_UPDATE_FIRST | ITEM_REPLACE);
    EXPECT_EQ(field_text(entry->fields, 5), "11");
    EXPECT_EQ(sub_items(items_of(queue(4))[0]->bid_changes).size(), 1u);
}

TEST_F(Merge, LevelChangeWithoutPriceAndWithoutContainerIsDropped) {
    LogRecorder log;
    g_config.debug = 1;
    add(14, 3, ITEM_KEYED | ITEM_BID_UPDATE, {{5, "1"}});
    EXPECT_EQ(items_of(queue(4)).size(), 0u);
    EXPECT_EQ(queue(4).stats->queued, 0u);
    EXPECT_FALSE(log.contains("addQueueItem error no price"));  // only inserts are reported
    add(15, 3, ITEM_KEYED | ITEM_ASK_INSERT, {{6, "1"}});
    EXPECT_TRUE(log.contains(
        "addQueueItem error no price. Insref:3 Option: 257 File:update_queue.cpp Line:"));
    EXPECT_EQ(drain_signal(queue(4)), 0);
}

TEST_F(Merge, LevelChangeMakesOneContainerPerInstrument) {
    add(14, 3, ITEM_KEYED | ITEM_BID_INSERT, {{5, "10"}, {16, "1"}}, "3:14", "10");
    add(15, 3, ITEM_KEYED | ITEM_ASK_INSERT, {{6, "11"}}, "3:15", "11");
    UpdateQueue& q = queue(4);
    auto items = items_of(q);
    ASSERT_EQ(items.size(), 1u);
    QueueItem* c = items[0];
    EXPECT_EQ(c->kind, KIND_ORDER_BOOK);
    EXPECT_STREQ(c->key, "3:251");
    EXPECT_EQ(c->flags, ITEM_KEYED | ITEM_BID_INSERT | ITEM_ASK_INSERT);
    ASSERT_NE(c->bid_changes, nullptr);
    ASSERT_NE(c->ask_changes, nullptr);
    EXPECT_EQ(c->bid_changes->kind, 14);
    EXPECT_STREQ(c->bid_changes->price, "10");
    EXPECT_EQ(c->bid_changes->flags, ITEM_KEYED | ITEM_BID_INSERT);
    EXPECT_EQ(c->ask_changes->kind, 15);
    EXPECT_EQ(c->ask_changes->insref, 3u);
    EXPECT_EQ(q.stats->queued, 1u);
    EXPECT_EQ(q.stats->deduplicated, 1u);
}

TEST_F(Merge, LevelChangesShareTheContainerEvenWithoutTheKeyedFlag) {
    add(14, 3, ITEM_BID_INSERT, {}, "3:14", "10");
    add(14, 3, ITEM_BID_INSERT, {}, "3:14", "11");
    auto items = items_of(queue(4));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_STREQ(items[0]->key, "3:251");
    EXPECT_EQ(sub_items(items[0]->bid_changes).size(), 2u);
    dropQueuedUpdate(&queue(4), 3, 251, 1);
    EXPECT_EQ(queue(4).head, nullptr);
    EXPECT_EQ(queue(4).dedup.count(), 0u);
}

class Routing : public QueueTest {};

TEST_F(Routing, EveryKindGoesToItsQueue) {
    for (int k : {2, 8, 18, 19, 22, 37, 40, 247, 254})
        EXPECT_EQ(queueNumberForKind(static_cast<uint8_t>(k)), 1u) << k;
    for (int k : {1, 30, 245})
        EXPECT_EQ(queueNumberForKind(static_cast<uint8_t>(k)), 2u) << k;
    for (int k : {7, 14, 15, 38, 251})
        EXPECT_EQ(queueNumberForKind(static_cast<uint8_t>(k)), 4u) << k;
    for (int k : {4, 6, 9, 11, 12, 16, 20, 23, 36, 248, 250, 252, 253, 0, 246})
        EXPECT_EQ(queueNumberForKind(static_cast<uint8_t>(k)), 3u) << k;
}

TEST_F(Routing, NewsMovesToQueue4WithoutOrderBooksOrOrders) {
    g_config.requestorderbooks = 1;
    g_config.requestmbo = 0;
    for (int k : {13, 249, 255})
        EXPECT_EQ(queueNumberForKind(static_cast<uint8_t>(k)), 2u);
    g_config.requestorderbooks = -1;
    g_config.requestmbo = 1;
    for (int k : {13, 249, 255})
        EXPECT_EQ(queueNumberForKind(static_cast<uint8_t>(k)), 2u);
    g_config.requestmbo = 0;
    for (int k : {13, 249, 255})
        EXPECT_EQ(queueNumberForKind(static_cast<uint8_t>(k)), 4u);
}

TEST_F(Routing, Queue4DelayFollowsTheOrderBookSwitches) {
    g_config.updateinterval = 7;
    g_config.requestorderbooks = 0;
    g_config.requestmbo = 0;
    ASSERT_EQ(createUpdateQueues(), 1);
    EXPECT_EQ(queue(1).delay, 7);
    EXPECT_EQ(queue(2).delay, 0);
    EXPECT_EQ(queue(3).delay, 0);
    setQueue4Delay();
    EXPECT_EQ(queue(4).delay, 0);
    g_config.requestmbo = 1;
    setQueue4Delay();
    EXPECT_EQ(queue(4).delay, 7);
    for (uint32_t n = 1; n <= 4; ++n)
        EXPECT_EQ(queue(static_cast<int>(n)).number, n);
}

class Delay : public QueueTest {
  protected:
    void SetUp() override {
        QueueTest::SetUp();
        g_config.updateinterval = 5;
        ASSERT_EQ(createUpdateQueues(), 1);
    }
    ManualClock clock;
};

// What the database thread does when it takes a keyed item from a delayed queue.
QueueItem* take_head(UpdateQueue& q, int64_t now) {
    QueueItem* item = q.head;
    unlinkQueueItem(&q, item);
    addPlaceholder(&q, item, now);
    item->flags &= ~ITEM_KEYED;
    stat_sub(q.stats->queued, 1);
    return item;
}

TEST_F(Delay, NewItemIsDueAtOnce) {
    ManualClock::now = 1000;
    add(2, 1, ITEM_KEYED, {{5, "1"}});
    QueueItem* item = queue(1).head;
    EXPECT_EQ(item->time, 1000 - 6);
    EXPECT_LE(item->time + queue(1).delay, ManualClock::now);
    EXPECT_EQ(queue(1).cursor, item);
}

TEST_F(Delay, WrittenKeyWaitsInItsPlaceholderAndUpdatesMergeThere) {
    UpdateQueue& q = queue(1);
    ManualClock::now = 1000;
    add(2, 1, ITEM_KEYED, {{5, "1"}});
    freeQueueItem(take_head(q, 1000));
    ASSERT_EQ(items_of(q).size(), 1u);
    QueueItem* placeholder = q.head;
    EXPECT_EQ(placeholder->flags, ITEM_KEYED | ITEM_EMPTY);
    EXPECT_EQ(q.stats->empty_items, 1u);
    EXPECT_EQ(q.stats->queued, 0u);

    // Two seconds later: ten updates of the key all land in the placeholder, which falls due
    // 3 seconds from now.
    ManualClock::now = 1002;
    for (int i = 0; i < 10; ++i)
        add(2, 1, ITEM_KEYED, {{5, std::to_string(i)}});
    ASSERT_EQ(items_of(q).size(), 1u);
    EXPECT_EQ(placeholder->flags, ITEM_KEYED);
    EXPECT_EQ(field_text(placeholder->fields, 5), "9");
    EXPECT_EQ(q.stats->empty_items, 0u);
    EXPECT_EQ(q.stats->queued, 1u);
    EXPECT_EQ(q.stats->deduplicated, 9u);
    EXPECT_EQ(placeholder->time + q.delay, 1005);
}

TEST_F(Delay, NewItemsGoBeforeWaitingPlaceholdersInArrivalOrder) {
    UpdateQueue& q = queue(1);
    ManualClock::now = 1000;
    add(2, 1, ITEM_KEYED, {{5, "a"}});
    add(2, 2, ITEM_KEYED, {{5, "b"}});
    freeQueueItem(take_head(q, 1000));
    freeQueueItem(take_head(q, 1000));
    ManualClock::now = 1001;
    add(2, 3, ITEM_KEYED, {{5, "c"}});
    add(2, 4, 0, {{5, "d"}});
    auto items = items_of(q);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0]->insref, 3u);
    EXPECT_EQ(items[1]->insref, 4u);
    EXPECT_EQ(items[2]->flags & ITEM_EMPTY, ITEM_EMPTY);
    EXPECT_EQ(items[3]->flags & ITEM_EMPTY, ITEM_EMPTY);
    EXPECT_EQ(q.cursor, items[1]);
    // Once the placeholders are due, new items go behind them.
    ManualClock::now = 1006;
    add(2, 5, 0, {{5, "e"}});
    EXPECT_EQ(q.tail->insref, 5u);
    // Due order holds over the whole queue.
    int64_t last_due = INT64_MIN;
    for (QueueItem* i : items_of(q)) {
        EXPECT_GE(i->time + q.delay, last_due);
        last_due = i->time + q.delay;
    }
}

TEST_F(Delay, CursorMovesOnWhenItsItemIsTaken) {
    UpdateQueue& q = queue(1);
    ManualClock::now = 1000;
    add(2, 1, 0, {{5, "a"}});
    add(2, 2, 0, {{5, "b"}});
    QueueItem* second = q.tail;
    EXPECT_EQ(q.cursor, second);
    QueueItem* first = q.head;
    unlinkQueueItem(&q, first);
    freeQueueItem(first);
    unlinkQueueItem(&q, second);
    EXPECT_EQ(q.cursor, nullptr);
    freeQueueItem(second);
    add(2, 3, 0, {{5, "c"}});
    EXPECT_EQ(q.head, q.tail);
    EXPECT_EQ(q.head->insref, 3u);
}

class PutBack : public QueueTest {};

// A batch the database thread took goes back in front of the head in its order, into an
// empty queue as in front of items that arrived meanwhile.
TEST_F(PutBack, TheBatchReturnsToTheFrontInItsOrder) {
    UpdateQueue& q = queue(3);
    add(4, 1, 0, {{5, "a"}});
    add(4, 2, 0, {{5, "b"}});
    QueueItem* a = q.head;
    QueueItem* b = a->next;
    auto take_both = [&] {
        unlinkQueueItem(&q, a);
        unlinkQueueItem(&q, b);
        a->next = b;  // chained as the database thread keeps its batch
        b->prev = a;
    };
    take_both();
    EXPECT_EQ(q.head, nullptr);
    putBackQueueItems(&q, a, b);
    EXPECT_EQ(items_of(q), (std::vector<QueueItem*>{a, b}));
    EXPECT_EQ(q.tail, b);
    EXPECT_EQ(a->prev, nullptr);

    take_both();
    add(4, 3, 0, {{5, "c"}});
    QueueItem* c = q.head;
    putBackQueueItems(&q, a, b);
    EXPECT_EQ(items_of(q), (std::vector<QueueItem*>{a, b, c}));
    EXPECT_EQ(c->prev, b);
    EXPECT_EQ(q.tail, c);
    putBackQueueItems(&q, nullptr, nullptr);
    EXPECT_EQ(items_of(q).size(), 3u);
    EXPECT_EQ(q.stats->queued, 3u);
}

TEST_F(Delay, UnlinkedPlaceholderLowersEmptyItemsAndFreesItsKey) {
    UpdateQueue& q = queue(1);
    ManualClock::now = 1000;
    add(2, 1, ITEM_KEYED, {{5, "a"}});
    freeQueueItem(take_head(q, 1000));
    QueueItem* placeholder = q.head;
    unlinkQueueItem(&q, placeholder);
    EXPECT_EQ(q.stats->empty_items, 0u);
    EXPECT_EQ(q.dedup.lookup("1:2"), nullptr);
    freeQueueItem(placeholder);
    add(2, 1, ITEM_KEYED, {{5, "b"}});
    EXPECT_EQ(items_of(q).size(), 1u);
    EXPECT_EQ(q.stats->queued, 1u);
}

TEST_F(Delay, PlaceholderNeedsAKey) {
    LogRecorder log;
    g_config.debug = 1;
    QueueItem* keyless = allocQueueItem();
    keyless->kind = 2;
    EXPECT_EQ(addPlaceholder(&queue(1), keyless, 1000), nullptr);
    EXPECT_TRUE(log.contains("NULL key"));
    EXPECT_EQ(queue(1).stats->empty_items, 0u);
    freeQueueItem(keyless);
}

class Drop : public QueueTest {};

TEST_F(Drop, Mode0KeepsTheItemButStopsMerging) {
    add(2, 8, ITEM_KEYED, {{5, "1"}});
    dropQueuedUpdate(&queue(1), 8, 2, 0);
    QueueItem* first = queue(1).head;
    EXPECT_EQ(first->flags & ITEM_KEYED, 0u);
    add(2, 8, ITEM_KEYED, {{5, "2"}});
    auto items = items_of(queue(1));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(field_text(items[0]->fields, 5), "1");
    EXPECT_EQ(field_text(items[1]->fields, 5), "2");
    EXPECT_EQ(queue(1).stats->queued, 2u);
    // Unlinking the unkeyed first item must not unregister the second one's key.
    unlinkQueueItem(&queue(1), first);
    freeQueueItem(first);
    EXPECT_EQ(queue(1).dedup.lookup("8:2"), items[1]);
}

TEST_F(Drop, Mode1FreesTheItemAndItsCount) {
    add(14, 8, ITEM_KEYED | ITEM_BID_INSERT, {{5, "1"}}, "", "1");
    add(14, 9, ITEM_KEYED | ITEM_BID_INSERT, {{5, "1"}}, "", "1");
    dropQueuedUpdate(&queue(4), 8, 251, 1);
    auto items = items_of(queue(4));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->insref, 9u);
    EXPECT_EQ(queue(4).stats->queued, 1u);
    EXPECT_EQ(queue(4).dedup.lookup("8:251"), nullptr);
    // Nothing waiting under the key: nothing happens.
    dropQueuedUpdate(&queue(4), 8, 251, 1);
    dropQueuedUpdate(&queue(4), 9, 38, 1);
    EXPECT_EQ(items_of(queue(4)).size(), 1u);
}

TEST_F(Drop, Mode1OnAPlaceholderCountsItAsEmpty) {
    UpdateQueue& q = queue(1);
    QueueItem* written = allocQueueItem();
    written->kind = 2;
    written->insref = 8;
    written->key = queueStrdup("8:2");
    addPlaceholder(&q, written, 5);
    freeQueueItem(written);
    stat_add(q.stats->queued, 3);
    dropQueuedUpdate(&q, 8, 2, 1);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(q.stats->empty_items, 0u);
    EXPECT_EQ(q.stats->queued, 3u);
}

class Bookkeeping : public QueueTest {};

TEST_F(Bookkeeping, StatsMoveIntoTheSharedBlockWithTheirCounts) {
    add(1, 1, 0, {});
    add(2, 1, ITEM_KEYED, {});
    add(2, 1, ITEM_KEYED, {});
    StatsBlock block{};
    useStatsBlock(&block);
    EXPECT_EQ(block.queue[1].queued, 1u);
    EXPECT_EQ(block.queue[0].queued, 1u);
    EXPECT_EQ(block.queue[0].deduplicated, 1u);
    add(3, 1, 0, {});
    EXPECT_EQ(block.queue[2].queued, 1u);
    EXPECT_EQ(queue(3).stats, &block.queue[2]);
    useStatsBlock(&block);  // again: nothing doubles
    EXPECT_EQ(block.queue[0].queued, 1u);
    for (int i = 0; i < 4; ++i) {
        MutexLock g(queue(i + 1).lock);
        queue(i + 1).stats = &queue(i + 1).own_stats;
    }
}

TEST_F(Bookkeeping, EmptyFieldListIsAValidUpdate) {
    UpdateTemplate t;
    t.kind = 9;
    t.insref = 77;
    addQueueItem(nullptr, t);
    auto items = items_of(queue(3));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->fields, nullptr);
    EXPECT_EQ(items[0]->key, nullptr);
}

TEST_F(Bookkeeping, FreeingAMillionItemBacklogDoesNotRecurse) {
    UpdateQueue& q = queue(3);
    for (int i = 0; i < 1000000; ++i)
        add(3, static_cast<uint64_t>(i), 0, {{1, "x"}});
    EXPECT_EQ(q.stats->queued, 1000000u);
    destroyUpdateQueues();  // would overflow the stack with a recursive free
    ASSERT_EQ(createUpdateQueues(), 1);
}

TEST_F(Bookkeeping, FreeQueueItemLeavesTheBatchLinkAlone) {
    QueueItem* a = allocQueueItem();
    QueueItem* b = allocQueueItem();
    a->next = b;
    b->prev = a;
    a->fields = make_fields({{1, "x"}, {2, "y"}});
    a->key = queueStrdup("k");
    a->price = queueStrdup("p");
    a->yield = queueStrdup("y");
    a->bid = queueStrdup("b");
    a->bid_yield = queueStrdup("z");
    QueueItem* sub1 = allocQueueItem();
    QueueItem* sub2 = allocQueueItem();
    sub1->next = sub2;
    sub2->prev = sub1;
    sub2->bid_changes = allocQueueItem();  // nested deeper than the program ever makes
    sub1->fields = make_fields({{5, "1"}});
    a->bid_changes = sub1;
    a->ask_changes = allocQueueItem();
    freeQueueItem(a);
    EXPECT_EQ(b->prev, a);  // b was not touched (and is still valid to free)
    freeQueueItem(b);
}

// The dedup table against a reference set, through many inserts and removals that force
// long probe runs, wrap-around and backward shifts.
TEST(DedupTableTest, AgreesWithAReferenceMapThroughChurn) {
    DedupTable table;
    ASSERT_EQ(table.create(4), 1);
    std::map<std::string, QueueItem*> reference;
    std::mt19937 rng(42);
    std::vector<QueueItem*> owned;
    for (int round = 0; round < 20000; ++round) {
        std::string key = std::to_string(rng() % 500) + ":2";
        auto it = reference.find(key);
        if (it == reference.end() || rng() % 3 == 0) {
            if (it != reference.end()) {
                ASSERT_EQ(table.remove(key), it->second);
                reference.erase(it);
                continue;
            }
            QueueItem* item = allocQueueItem();
            item->key = queueStrdup(key.c_str());
            owned.push_back(item);
            table.insert(item);
            reference[key] = item;
        } else {
            ASSERT_EQ(table.lookup(key), it->second);
        }
        if (round % 997 == 0) {
            for (auto& [k, v] : reference)
                ASSERT_EQ(table.lookup(k), v) << k;
            ASSERT_EQ(table.count(), reference.size());
        }
    }
    for (auto& [k, v] : reference)
        ASSERT_EQ(table.lookup(k), v);
    EXPECT_EQ(table.lookup("nope"), nullptr);
    EXPECT_EQ(table.remove("nope"), nullptr);
    // A removal that names another item leaves the entry alone.
    QueueItem* other = allocQueueItem();
    if (!reference.empty()) {
        auto first = reference.begin();
        EXPECT_EQ(table.remove(first->first, other), nullptr);
        EXPECT_EQ(table.lookup(first->first), first->second);
    }
    freeQueueItem(other);
    table.destroy();
    for (QueueItem* i : owned)
        freeQueueItem(i);
}

TEST(FieldValueTest, NodesOfEverySizeKeepTheirTextThroughReuse) {
    // Freed nodes are handed out again: every size of value, and values that outgrow
    // their node and shrink back, must come out intact.
    std::vector<std::string> texts;
    for (size_t len = 0; len < 40; ++len)
        texts.push_back(std::string(len, static_cast<char>('a' + len % 26)));
    for (int round = 0; round < 3; ++round) {
        std::vector<FieldValue*> nodes;
        for (size_t i = 0; i < texts.size(); ++i)
            nodes.push_back(fieldValueCreate(static_cast<uint32_t>(i), texts[i].c_str()));
        nodes.push_back(fieldValueCreate(99, nullptr));
        for (size_t i = 0; i < texts.size(); ++i) {
            ASSERT_EQ(nodes[i]->tag, i);
            ASSERT_EQ(std::string(nodes[i]->value), texts[i]);
            ASSERT_EQ(nodes[i]->next, nullptr);
        }
        EXPECT_EQ(nodes.back()->value, nullptr);
        fieldValueSetValue(nodes[1], std::string(100, 'x').c_str());
        EXPECT_EQ(std::string(nodes[1]->value), std::string(100, 'x'));
        fieldValueSetValue(nodes[1], "short");
        EXPECT_STREQ(nodes[1]->value, "short");
        fieldValueAppend(nodes[2], "tail");
        EXPECT_STREQ(nodes[2]->value, "cctail");
        fieldValueSetValue(nodes[2], nodes[2]->value + 2);  // from a separate text back inline
        EXPECT_STREQ(nodes[2]->value, "tail");
        for (FieldValue* n : nodes)
            fieldValueFree(n);
    }
}

TEST(FieldValueTest, MoveIntoCopiesWhatFitsAndRefusesWhatDoesNot) {
    FieldValue* small = fieldValueCreate(5, "1.5");          // short node
    FieldValue* wide = fieldValueCreate(4, "10:00:00.123");  // longer node
    EXPECT_EQ(fieldValueMoveInto(wide, fieldValueCreate(4, "9.25")), 1);
    EXPECT_STREQ(wide->value, "9.25");
    EXPECT_EQ(fieldValueMoveInto(small, fieldValueCreate(5, "2.75")), 1);
    EXPECT_STREQ(small->value, "2.75");
    FieldValue* long_text = fieldValueCreate(5, "123456789012");
    EXPECT_EQ(fieldValueMoveInto(small, long_text), 0);  // does not fit: nothing changes
    EXPECT_STREQ(small->value, "2.75");
    EXPECT_STREQ(long_text->value, "123456789012");
    fieldValueFree(long_text);
    fieldValueSetValue(wide, "ab");  // a short text in a longer node still fits a short one
    EXPECT_EQ(fieldValueMoveInto(small, fieldValueCreate(5, "x")), 1);
    EXPECT_EQ(fieldValueMoveInto(small, wide), 1);
    EXPECT_STREQ(small->value, "ab");
    EXPECT_EQ(fieldValueMoveInto(small, fieldValueCreate(5, nullptr)), 1);
    EXPECT_EQ(small->value, nullptr);
    fieldValueFree(small);
}

TEST(FieldValueTest, ValuesSetAppendedAndTakenKeepTheirText) {
    FieldValue* a = fieldValueCreate(4, "12:00:00.123456");
    a->value[8] = '\0';  // cut in place, as the time cut does
    EXPECT_STREQ(a->value, "12:00:00");
    fieldValueSetValue(a, a->value + 3);  // source inside the old value
    EXPECT_STREQ(a->value, "00:00");
    fieldValueAppend(a, "!");
    EXPECT_STREQ(a->value, "00:00!");
    FieldValue* b = fieldValueCreate(4, "inline");
    fieldValueTakeValue(a, b);
    EXPECT_STREQ(a->value, "inline");
    FieldValue* c = fieldValueCreate(4, nullptr);
    EXPECT_EQ(c->value, nullptr);
    fieldValueTakeValue(a, c);
    EXPECT_EQ(a->value, nullptr);
    FieldValue* d = fieldValueCreate(9, "x\0y", 3);
    EXPECT_EQ(std::string(d->value, 3), std::string("x\0y", 3));
    fieldValueFree(d);
    fieldValueFree(a);
}


// --- Delayed queues never let a waiting item overtake a later message of its instrument.

class Ordering : public Delay {
  protected:
    // A quote of `insref` written once, and a newer one merged into its placeholder: that
    // one waits out the delay (due at 1005).
    QueueItem* waiting_quote(uint8_t kind, uint64_t insref) {
        UpdateQueue& q = queue(1);
        ManualClock::now = 1000;
        add(kind, insref, ITEM_KEYED, {{5, "old"}});
        freeQueueItem(take_head(q, 1000));
        ManualClock::now = 1002;
        add(kind, insref, ITEM_KEYED, {{5, "newer"}});
        QueueItem* w = q.dedup.lookup(std::to_string(insref) + ":" + std::to_string(kind));
        EXPECT_NE(w, nullptr);
        EXPECT_GT(w->time + q.delay, ManualClock::now) << "the merged item still waits";
        return w;
    }
    // The items in take order, as "kind:field5".
    static std::vector<std::string> order(UpdateQueue& q) {
        std::vector<std::string> out;
        for (QueueItem* i : items_of(q))
            out.push_back(std::to_string(i->kind) + ":" + field_text(i->fields, 5));
        return out;
    }
};

TEST_F(Ordering, ResetComesAfterTheInstrumentsWaitingItems) {
    UpdateQueue& q = queue(1);
    waiting_quote(2, 7);
    waiting_quote(19, 7);  // key ratios: not among the kinds the reset drops by itself
    // The dispatcher's reset: mode-0 drops of the reset kinds, then the reset item.
    for (uint32_t kind : {2u, 18u, 22u, 37u})
        dropQueuedUpdate(&q, 7, kind, 0);
    add(KIND_INSTRUMENT_RESET, 7, 0, {});
    EXPECT_EQ(order(q), (std::vector<std::string>{"2:newer", "19:newer", "8:<absent>"}));
    for (QueueItem* i : items_of(q))
        EXPECT_LE(i->time + q.delay, ManualClock::now) << "all due now, in this order";
    // What comes after the reset starts a new item behind it.
    add(2, 7, ITEM_KEYED, {{5, "after"}});
    EXPECT_EQ(order(q).back(), "2:after");
    EXPECT_EQ(q.stats->queued, 4u);
}

TEST_F(Ordering, RowDeleteDropsTheWaitingItemOfItsKey) {
    UpdateQueue& q = queue(1);
    waiting_quote(2, 7);
    waiting_quote(2, 8);
    add(2, 7, ITEM_DELETE, {});  // field 364: not keyed, key "7:2"
    EXPECT_EQ(order(q), (std::vector<std::string>{"2:<absent>", "2:newer"}));
    EXPECT_EQ(items_of(q)[0]->insref, 7u);
    EXPECT_EQ(items_of(q)[0]->flags & ITEM_DELETE, ITEM_DELETE);
    EXPECT_EQ(items_of(q)[1]->insref, 8u) << "another instrument's waiting item stays";
    EXPECT_EQ(q.stats->queued, 2u);
}

TEST_F(Ordering, InstrumentDeleteDropsOrFlushesTheDelayedQueuesItems) {
    UpdateQueue& q = queue(1);
    g_config.keepdeleted = 0;
    waiting_quote(2, 7);
    add(KIND_INSTRUMENT_DELETE, 7, 0, {});
    EXPECT_TRUE(order(q).empty()) << "the rows go with the instrument: nothing to write";
    EXPECT_EQ(q.stats->queued, 0u);
    EXPECT_EQ(items_of(queue(3)).size(), 1u);

    g_config.keepdeleted = 1;
    QueueItem* w = waiting_quote(2, 9);
    add(KIND_INSTRUMENT_DELETE, 9, 0, {});
    ASSERT_EQ(order(q), std::vector<std::string>{"2:newer"});
    EXPECT_LE(w->time + q.delay, ManualClock::now) << "kept rows get their newest values now";
    g_config.keepdeleted = 1;
}

TEST_F(Ordering, NegativeUpdateIntervalReadsAsNone) {
    g_config.updateinterval = -5;
    ASSERT_EQ(createUpdateQueues(), 1);
    setQueue4Delay();
    EXPECT_EQ(queue(1).delay, 0);
    EXPECT_EQ(queue(4).delay, 0);
    ManualClock::now = 1000;
    add(2, 1, ITEM_KEYED, {{5, "1"}});
    EXPECT_LE(queue(1).head->time, 1000);
}

// --- Statistics carried into a block that outlived an earlier run.

TEST_F(Bookkeeping, ExistingBlockKeepsCumulativeCountersAndRestartsGauges) {
    StatsBlock block{};
    block.queue[0] = QueueStats{7, 3, 50, 5, 2};  // left by an earlier run
    add(2, 1, ITEM_KEYED, {});
    add(2, 1, ITEM_KEYED, {});  // this run: one queued, one deduplicated
    useStatsBlock(&block);
    EXPECT_EQ(block.queue[0].queued, 1u) << "what waits now";
    EXPECT_EQ(block.queue[0].empty_items, 0u);
    EXPECT_EQ(block.queue[0].updated, 50u);
    EXPECT_EQ(block.queue[0].deduplicated, 6u);
    EXPECT_EQ(block.queue[0].failed, 2u);
    for (int i = 0; i < 4; ++i) {
        MutexLock g(queue(i + 1).lock);
        queue(i + 1).stats = &queue(i + 1).own_stats;
    }
}

// --- Queued memory and the drain at stop.

TEST_F(Bookkeeping, QueuedMemoryFollowsItemsInAndOut) {
    int64_t before = queueMemoryBytes();
    for (int i = 0; i < 1000; ++i)
        add(1, static_cast<uint64_t>(i), 0, {{3, "2024-01-02"}, {4, "10:11:12.123456"}, {5, "1.5"}});
    int64_t full = queueMemoryBytes();
    EXPECT_GE(full - before, 1000 * static_cast<int64_t>(sizeof(QueueItem) + 3 * sizeof(FieldValue)));
    // News grows with its blocks.
    add(13, 1, ITEM_KEYED, {{2, std::string(100, 'a')}}, "1:13:n");
    int64_t news = queueMemoryBytes();
    for (int i = 0; i < 100; ++i)
        add(13, 1, ITEM_KEYED, {{2, std::string(100, 'b')}}, "1:13:n");
    EXPECT_GE(queueMemoryBytes() - news, 9000);
    destroyUpdateQueues();
    EXPECT_EQ(queueMemoryBytes(), before) << "every freed item takes its bytes off again";
    ASSERT_EQ(createUpdateQueues(), 1);
}

TEST(FieldValueTest, JoinedNewsTextGrowsGeometrically) {
    FieldValue* f = fieldValueCreate(2, "start");
    const std::string block(100, 'x');
    int moves = 0;
    for (int i = 0; i < 10000; ++i) {
        const char* before = f->value;
        fieldValueAppend(f, block.c_str());
        moves += f->value != before;
    }
    EXPECT_EQ(std::strlen(f->value), 5u + 10000u * 100u);
    EXPECT_LT(moves, 40) << "each block must not copy the whole text again";
    EXPECT_LE(fieldValueCapacity(f), 2u * (5u + 10000u * 100u) + 64u);
    fieldValueFree(f);
}

TEST_F(Bookkeeping, DrainKeepsWritingUntilOnlyUnwritableItemsAreLeft) {
    UpdateQueue& q = queue(2);
    EXPECT_FALSE(queueKeepsWriting(&q)) << "no drain: the thread ends with running";
    beginQueueDrain();
    EXPECT_TRUE(queueKeepsWriting(&q)) << "the feed may still queue";
    add(13, 1, ITEM_KEYED | ITEM_NEWS_MULTIPART, {{2, "part"}}, "1:13:n");  // no last block
    g_config.updateinterval = 5;
    queue(1).delay = 5;
    queuesProducersEnded();
    EXPECT_EQ(queue(1).delay, 0) << "nothing waits out a delay any more";
    EXPECT_FALSE(queueKeepsWriting(&q)) << "an unfinished news item cannot be written";
    add(1, 2, 0, {{5, "1"}});
    EXPECT_TRUE(queueKeepsWriting(&q));
    uint64_t by_kind[256] = {};
    countQueuedByKind(&q, by_kind);
    EXPECT_EQ(by_kind[13], 1u);
    EXPECT_EQ(by_kind[1], 1u);
    endQueueDrain();
    EXPECT_FALSE(queueKeepsWriting(&q));
    EXPECT_FALSE(queueDrainOn());
}

}  // namespace
