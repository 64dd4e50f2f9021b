// dispatch_test.cpp - the dispatcher's field handling, derived updates and after-field
// steps, observed in the queues it fills.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "tests/unit/queues/queue_test_util.h"
#include "zel/feed/dispatch.h"
#include "zel/feed/stale_set.h"
#include "zel/feed/utf8_text.h"
#include "zel/queues/order_book.h"
#include "zel/stats/stats_block.h"

using namespace qtest;

namespace {

class ListReader : public FieldReader {
  public:
    explicit ListReader(std::initializer_list<Field> fields) : fields_(fields) {}
    int next_field(uint32_t* tag, const char** value) override {
        if (next_ >= fields_.size()) return 0;
        const Field& f = fields_[next_++];
        *tag = f.first;
        *value = f.second ? f.second->c_str() : nullptr;
        return 1;
    }

  private:
    std::vector<Field> fields_;
    size_t next_ = 0;
};

using Pairs = std::vector<std::pair<uint32_t, std::string>>;

class Dispatch : public QueueTest {
  protected:
    void SetUp() override {
        QueueTest::SetUp();
        ManualClock::now = 1718454600;  // 2024-06-15 12:30:00 UTC
        g_config.requestquotesbbo = 0;
        g_stats->received_messages = 0;
    }
    void TearDown() override {
        staleSetDestroy();
        QueueTest::TearDown();
    }
    int send(int type, uint64_t insref, std::initializer_list<Field> fields,
             bool snapshot = false) {
        ListReader reader(fields);
        return dispatcher.dispatch(type, insref, reader, snapshot);
    }
    // Items of a kind in a queue.
    static std::vector<QueueItem*> of_kind(int queue_number, uint8_t kind) {
        std::vector<QueueItem*> out;
        for (QueueItem* i : items_of(queue(queue_number))) {
            if (i->kind == kind) out.push_back(i);
        }
        return out;
    }
    Dispatcher dispatcher;
    ManualClock clock;
    LogRecorder log;
};

TEST_F(Dispatch, TradeFlagsFromField15AndTheTradeIdInTheKey) {
    send(6, 100, {{3, "2024-06-15"}, {4, "10:00:00"}, {14, "T9"}, {15, "24"}});
    auto trades = of_kind(2, 1);
    ASSERT_EQ(trades.size(), 1u);
    EXPECT_EQ(trades[0]->flags, ITEM_TRADE_TAG72 | ITEM_UPDATE_FIRST);
    EXPECT_EQ(field_text(trades[0]->fields, 15), "16");
    send(6, 100, {{3, "2024-06-15"}, {4, "10:00:00"}, {15, "16"}});
    send(6, 100, {{3, "2024-06-15"}, {4, "10:00:00"}, {15, "8"}});
    send(6, 100, {{3, "2024-06-15"}, {4, "10:00:00"}, {72, "09:59:59"}});
    send(6, 100, {{3, "2024-06-15"}, {4, "10:00:00"}, {72, std::nullopt}, {15, "x"}});
    trades = of_kind(2, 1);
    ASSERT_EQ(trades.size(), 5u);
    EXPECT_EQ(trades[1]->flags, ITEM_TRADE_TAG72);
    EXPECT_EQ(trades[2]->flags, ITEM_UPDATE_FIRST);
    EXPECT_EQ(field_text(trades[2]->fields, 15), "0");
    EXPECT_EQ(trades[3]->flags, ITEM_TRADE_TAG72);
    EXPECT_EQ(trades[4]->flags, 0u);
    EXPECT_EQ(field_text(trades[4]->fields, 15), "x");
    EXPECT_EQ(g_stats->received_messages, 5u);
}

TEST_F(Dispatch, SessionAndUnknownTypesAreLeftAlone) {
    for (int type : {0, 1, 2, 3, 18, 19, 20, 21, 31, 45, 200, -1})
        EXPECT_EQ(send(type, 1, {{3, "x"}}), 0) << type;
    EXPECT_EQ(g_stats->received_messages, 0u);
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(queue(n).head, nullptr);
}

TEST_F(Dispatch, EveryDataTypeReachesItsKindAndQueue) {
    struct Row {
        int type;
        uint8_t kind;
        int queue;
        uint32_t flags;
    };
    const Row rows[] = {
        {4, 13, 2, ITEM_KEYED},
        {5, 2, 1, ITEM_KEYED},
        {6, 1, 2, 0},
        {13, 8, 1, 0},
        {14, 7, 4, ITEM_CLEAR_BOOK},
        {15, 6, 3, ITEM_KEYED},
        {16, 4, 3, 0},
        {17, 9, 3, 0},
        {22, 13, 2, ITEM_KEYED},
        {23, 11, 3, 0},
        {24, 6, 3, ITEM_KEYED | ITEM_NULL_STATUS},
        {25, 16, 3, 0},
        {26, 18, 1, ITEM_KEYED},
        {27, 19, 1, ITEM_KEYED},
        {28, 20, 3, 0},
        {29, 21, 3, 0},
        {30, 22, 1, ITEM_KEYED},
        {32, 32, 3, 0},
        {33, 26, 3, 0},
        {34, 27, 3, 0},
        {35, 33, 3, ITEM_KEYED},
        {36, 34, 3, ITEM_KEYED},
        {37, 35, 3, 0},
        {38, 36, 3, 0},
        {39, 38, 4, ITEM_KEYED},
        {40, 38, 4, ITEM_KEYED | ITEM_UPDATE_FIRST},
        {41, 38, 4, ITEM_KEYED | ITEM_DELETE},
        {42, 37, 1, ITEM_KEYED},
        {43, 2, 1, ITEM_KEYED},
        {44, 40, 1, ITEM_KEYED},
    };
    uint64_t insref = 1000;
    for (const Row& r : rows) {
        ++insref;
        ASSERT_EQ(send(r.type, insref, {{3, "2024-06-15"}, {4, "10:00:00"}}), 1) << r.type;
        QueueItem* found = nullptr;
        for (QueueItem* i : items_of(queue(r.queue))) {
            if (i->insref == insref && i->kind == r.kind) found = i;
        }
        ASSERT_NE(found, nullptr) << "type " << r.type;
        if (r.flags & ITEM_KEYED) {
            ASSERT_NE(found->key, nullptr) << r.type;
            EXPECT_EQ(std::string(found->key),
                      std::to_string(insref) + ":" + std::to_string(r.kind));
        } else {
            EXPECT_EQ(found->key, nullptr) << r.type;
        }
        if (r.kind == 38) found = found->bid_changes;
        EXPECT_EQ(found->flags, r.flags) << "type " << r.type;
    }
    EXPECT_EQ(g_stats->received_messages, std::size(rows));
}

TEST_F(Dispatch, KeyedItemsAreRegisteredUnderInsrefAndKind) {
    send(5, 42, {{5, "1"}});
    EXPECT_STREQ(queue(1).head->key, "42:2");
    send(26, 42, {{150, "1"}});
    EXPECT_NE(queue(1).dedup.lookup("42:18"), nullptr);
}

TEST_F(Dispatch, BasicDataPrefixesAndSeparateUpdates) {
    send(15, 7,
         {{55, "+A B"},
          {188, "=S1"},
          {297, "U1 U2"},
          {347, "C"},
          {375, "D"},
          {66, "X"},
          {732, "T"},
          {60, "Name"}});
    auto basic = of_kind(3, 6);
    ASSERT_EQ(basic.size(), 1u);
    EXPECT_EQ(field_text(basic[0]->fields, 55), "A B");
    EXPECT_EQ(field_text(basic[0]->fields, 188), "S1");
    auto lists = of_kind(3, 12);
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(field_list(lists[0]->fields), (Pairs{{55, "+A B"}}));
    EXPECT_EQ(lists[0]->flags, 0u);
    EXPECT_EQ(lists[0]->key, nullptr);
    const std::pair<uint8_t, uint32_t> separate[] = {
        {23, 297}, {24, 347}, {25, 375}, {250, 66}, {246, 732}};
    for (auto [kind, tag] : separate) {
        auto items = of_kind(3, kind);
        ASSERT_EQ(items.size(), 1u) << int(kind);
        EXPECT_EQ(items[0]->fields->tag, tag);
        EXPECT_EQ(items[0]->fields->next, nullptr);
        EXPECT_EQ(items[0]->insref, 7u);
    }
    // Separate updates come before the message itself, which is queued last.
    EXPECT_EQ(queue(3).tail, basic[0]);
    // A value without a prefix is kept; 188 only loses a prefix.
    send(15, 8, {{55, "A"}, {188, "S"}});
    EXPECT_EQ(field_text(of_kind(3, 6)[1]->fields, 55), "A");
    EXPECT_EQ(field_text(of_kind(3, 6)[1]->fields, 188), "S");
    EXPECT_EQ(field_list(of_kind(3, 12)[1]->fields), (Pairs{{55, "A"}}));
}

TEST_F(Dispatch, InstrumentTypeFollowsField348AndDeletion) {
    send(15, 9, {{348, "3"}});
    {
        MutexLock g(queue(1).lock);
        ASSERT_NE(instrumentTypeLookup(9), nullptr);
        EXPECT_EQ(instrumentTypeLookup(9)->type, 3);
    }
    send(15, 9, {{348, "3"}});
    send(15, 10, {{348, "2"}});
    EXPECT_EQ(instrumentTypeCount(), 1u);
    send(15, 9, {{348, std::nullopt}});  // null counts as 0: no longer type 3
    EXPECT_EQ(instrumentTypeLookup(9), nullptr);
    send(15, 9, {{348, "3"}});
    send(17, 9, {});
    EXPECT_EQ(instrumentTypeLookup(9), nullptr);
    EXPECT_EQ(of_kind(3, 9).size(), 1u);
}

TEST_F(Dispatch, DeleteFieldUnkeysAndSkipsDefaultsAndLocalTime) {
    g_config.localtime = 1;
    send(5, 3, {{5, "1"}, {364, ""}, {4, "10:00:00"}});
    send(5, 3, {{5, "2"}, {364, std::nullopt}});
    auto quotes = of_kind(1, 2);
    ASSERT_EQ(quotes.size(), 2u);
    EXPECT_EQ(quotes[0]->flags, ITEM_DELETE);
    EXPECT_EQ(field_list(quotes[0]->fields), (Pairs{{5, "1"}, {4, "10:00:00"}}));
    EXPECT_EQ(field_list(quotes[1]->fields), (Pairs{{5, "2"}}));
    EXPECT_EQ(queue(1).dedup.count(), 0u);
}

TEST_F(Dispatch, MissingDateAndTimeAreSuppliedInUtc) {
    send(5, 3, {{5, "1"}});
    EXPECT_EQ(field_list(queue(1).head->fields),
              (Pairs{{5, "1"}, {3, "2024-06-15"}, {4, "12:30:00"}}));
    ManualClock::now += 61;
    send(6, 3, {{3, std::nullopt}, {36, std::nullopt}});
    EXPECT_EQ(field_list(queue(2).head->fields), (Pairs{{3, "2024-06-15"}, {36, "12:31:01"}}));
    // A time under tag 36 counts as the time; a date is kept as it came.
    send(6, 3, {{3, "2001-01-01"}, {36, "08:00:00"}});
    EXPECT_EQ(field_list(queue(2).tail->fields), (Pairs{{3, "2001-01-01"}, {36, "08:00:00"}}));
}

TEST_F(Dispatch, SomeTypesGetNoDefaultDateOrTime) {
    for (int type : {22, 33, 34, 35, 36, 37})
        send(type, 50 + static_cast<uint64_t>(type), {{1000, "x"}});
    for (int n = 1; n <= 4; ++n) {
        for (QueueItem* i : items_of(queue(n))) {
            QueueItem* item = i->kind == 38 ? i->bid_changes : i;
            EXPECT_EQ(fieldListFind(item->fields, 3), nullptr) << int(i->kind);
            EXPECT_EQ(fieldListFind(item->fields, 4), nullptr) << int(i->kind);
        }
    }
    send(38, 1, {});  // type 38 does get them
    EXPECT_NE(fieldListFind(queue(3).tail->fields, 3), nullptr);
}

TEST_F(Dispatch, TimesAreCutToTheConfiguredLength) {
    g_config.time_text_length = 8;
    send(6, 1,
         {{3, "2024-06-15"},
          {4, "12:34:56.123456"},
          {72, "12:34:55.5"},
          {435, "01:02:03.999"},
          {436, "2024-06-14"}});
    QueueItem* t = queue(2).head;
    EXPECT_EQ(field_text(t->fields, 4), "12:34:56");
    EXPECT_EQ(field_text(t->fields, 72), "12:34:55");
    EXPECT_EQ(field_text(t->fields, 435), "01:02:03");
    g_config.time_text_length = 12;
    send(6, 1, {{3, "2024-06-15"}, {36, "12:34:56.123456"}, {72, "12:34"}});
    EXPECT_EQ(field_text(queue(2).tail->fields, 36), "12:34:56.123");
    EXPECT_EQ(field_text(queue(2).tail->fields, 72), "12:34");
    g_config.time_text_length = 15;
    send(6, 1, {{3, "2024-06-15"}, {4, "12:34:56.123456789"}});
    EXPECT_EQ(field_text(queue(2).tail->fields, 4), "12:34:56.123456");
}

TEST_F(Dispatch, SecondsSince1970BecomeADateTimeText) {
    send(25, 1, {{789, "86461"}, {3, "2024-06-15"}});
    EXPECT_EQ(field_text(queue(3).head->fields, 789), "1970-01-02 00:01:01");
    send(25, 1, {{789, "soon"}});
    EXPECT_EQ(field_text(queue(3).tail->fields, 789), "soon");
}

class LocalTime : public Dispatch {
  protected:
    void SetUp() override {
        Dispatch::SetUp();
        const char* tz = std::getenv("TZ");
        saved_tz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
        g_config.localtime = 1;
    }
    void TearDown() override {
        if (saved_tz_) {
            setenv("TZ", saved_tz_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
        Dispatch::TearDown();
    }
    std::optional<std::string> saved_tz_;
};

TEST_F(LocalTime, DateAndTimeMoveToLocalTimeWithTheirFraction) {
    send(5, 1, {{3, "2024-01-15"}, {4, "23:30:00.005"}});
    EXPECT_EQ(field_text(queue(1).head->fields, 3), "2024-01-16");
    EXPECT_EQ(field_text(queue(1).head->fields, 4), "00:30:00.005");
    send(5, 2, {{3, "2024-06-15"}, {4, "10:00:00.123456"}});
    EXPECT_EQ(field_text(queue(1).tail->fields, 4), "12:00:00.123456");
    send(5, 3, {{3, "2024-06-15"}, {4, "10:00:00"}});
    EXPECT_EQ(field_text(queue(1).tail->fields, 4), "12:00:00");
    send(5, 4, {{3, "2024-06-15"}, {4, "10:00:00.000000"}});
    EXPECT_EQ(field_text(queue(1).tail->fields, 4), "12:00:00");
}

TEST_F(LocalTime, MicrosecondFractionsKeepTheirScale) {
    // 123 microseconds stay 123 microseconds; they must not turn into 123 milliseconds.
    send(5, 1, {{3, "2024-06-15"}, {4, "10:00:00.000123"}});
    EXPECT_EQ(field_text(queue(1).head->fields, 4), "12:00:00.000123");
}

TEST_F(LocalTime, OtherTimesFollowTheMainDate) {
    send(6, 1,
         {{3, "2024-01-15"},
          {4, "23:30:00"},
          {72, "23:10:00.250"},
          {435, "22:00:00"},
          {436, "2024-01-14"}});
    QueueItem* t = queue(2).head;
    EXPECT_EQ(field_text(t->fields, 72), "00:10:00.250");
    EXPECT_EQ(field_text(t->fields, 435), "23:00:00");
    EXPECT_EQ(field_text(t->fields, 436), "2024-01-14");
    EXPECT_EQ(field_text(t->fields, 3), "2024-01-16");
    // 435 without 436 uses the main date.
    send(6, 1, {{3, "2024-01-15"}, {4, "12:00:00"}, {435, "23:30:00"}});
    EXPECT_EQ(field_text(queue(2).tail->fields, 435), "00:30:00");
}

TEST_F(LocalTime, AnUnreadable436DateStopsTheRest) {
    send(6, 1,
         {{3, "2024-01-15"}, {4, "12:00:00"}, {72, "12:00:00"}, {435, "12:00:00"}, {436, "bad"}});
    QueueItem* t = queue(2).head;
    EXPECT_EQ(field_text(t->fields, 72), "13:00:00");  // already rewritten
    EXPECT_EQ(field_text(t->fields, 435), "12:00:00");
    EXPECT_EQ(field_text(t->fields, 4), "12:00:00");
    EXPECT_EQ(field_text(t->fields, 3), "2024-01-15");
}

TEST_F(LocalTime, UnreadableMainTimeOrDateConvertsNothing) {
    send(5, 1, {{3, "2024-01-15"}, {4, "12:00"}, {72, "12:00:00"}});
    EXPECT_EQ(field_text(queue(1).head->fields, 72), "12:00:00");
    send(5, 2, {{3, "2024-01"}, {4, "12:00:00"}});
    EXPECT_EQ(field_text(queue(1).tail->fields, 4), "12:00:00");
}

TEST_F(LocalTime, SomeTypesKeepUtc) {
    for (int type : {16, 23, 38})
        send(type, 1, {{3, "2024-01-15"}, {4, "12:00:00"}});
    for (QueueItem* i : items_of(queue(3)))
        EXPECT_EQ(field_text(i->fields, 4), "12:00:00") << int(i->kind);
}

TEST_F(Dispatch, NewsKeysMergesAndExtras) {
    g_config.requestorderbooks = 1;
    send(4, 5, {{48, "ID-1"}, {1, "1"}, {2, "Hello "}, {85, "C1"}, {3, "2024-06-15"}, {167, "I1"}});
    send(4, 5, {{48, "ID-1"}, {2, "world"}, {115, ""}, {620, "L1"}});
    auto news = of_kind(2, 13);
    ASSERT_EQ(news.size(), 1u);
    EXPECT_STREQ(news[0]->key, "5:13:ID-1");
    EXPECT_EQ(field_text(news[0]->fields, 2), "Hello world");
    EXPECT_EQ(news[0]->flags &
                  (ITEM_NEWS_MULTIPART | ITEM_NEWS_LASTBLOCK | ITEM_NEWS_TAGS | ITEM_NEWS_IDLIST),
              ITEM_NEWS_MULTIPART | ITEM_NEWS_LASTBLOCK | ITEM_NEWS_TAGS | ITEM_NEWS_IDLIST);
    auto tags = of_kind(2, 255);
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_EQ(field_list(tags[0]->fields),
              (Pairs{{48, "ID-1"}, {85, "C1"}, {3, "2024-06-15"}, {167, "I1"}}));
    auto ids = of_kind(2, 249);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0]->fields->tag, 48u);
    EXPECT_EQ(field_text(ids[0]->fields, 620), "L1");
    EXPECT_EQ(field_text(ids[0]->fields, 3), "2024-06-15");  // the supplied date
    // Without order books the news goes to queue 4.
    g_config.requestorderbooks = 0;
    send(22, 5, {{48, "ID-2"}, {2, "x"}});
    EXPECT_EQ(of_kind(4, 13).size(), 1u);
}

TEST_F(Dispatch, NewsIdentifierOfAnyLengthIsKeyedWhole) {
    std::string long_id(100000, 'n');
    long_id += "END";
    send(4, 5, {{48, long_id}, {2, "a"}});
    send(4, 5, {{48, long_id}, {2, "b"}});
    std::string other = long_id;
    other.back() = 'X';
    send(4, 5, {{48, other}, {2, "c"}});
    auto news = of_kind(2, 13);
    ASSERT_EQ(news.size(), 2u);
    EXPECT_EQ(std::string(news[0]->key), "5:13:" + long_id);
    EXPECT_EQ(field_text(news[0]->fields, 2), "ab");
}

TEST_F(Dispatch, NewsWithoutIdentifierMakesNoExtras) {
    send(4, 5, {{85, "C1"}, {620, "x"}});
    EXPECT_EQ(of_kind(2, 255).size(), 0u);
    EXPECT_EQ(of_kind(2, 249).size(), 0u);
}

TEST_F(Dispatch, MappingsBecomeKind248Or12AndAreNeverMerged) {
    send(38, 4, {{527, "A"}});
    send(38, 4, {{527, "B"}});
    send(38, 4, {{55, "C"}});
    EXPECT_EQ(of_kind(3, 248).size(), 2u);
    EXPECT_EQ(of_kind(3, 12).size(), 1u);
    EXPECT_EQ(queue(3).dedup.count(), 0u);
}

TEST_F(Dispatch, CorporateActionNeedsItsFiveFields) {
    send(23, 6,
         {{103, "2"}, {99, "SPLIT"}, {97, "K1"}, {789, "0"}, {3, "2024-06-01"}, {4, "09:00:00"}});
    auto actions = of_kind(3, 253);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(field_list(actions[0]->fields), (Pairs{{103, "2"},
                                                     {3, "2024-06-01"},
                                                     {4, "09:00:00"},
                                                     {99, "SPLIT"},
                                                     {97, "K1"},
                                                     {789, "1970-01-01 00:00:00"}}));
    EXPECT_EQ(of_kind(3, 11).size(), 1u);
    send(23, 6, {{103, "2"}, {99, "SPLIT"}});  // no key (97)
    send(23, 6, {{99, "SPLIT"}, {97, "K"}});   // no marker (103)
    EXPECT_EQ(of_kind(3, 253).size(), 1u);
    // The supplied date and time count as present.
    send(23, 6, {{103, "2"}, {99, "S"}, {97, "K"}});
    ASSERT_EQ(of_kind(3, 253).size(), 2u);
    EXPECT_EQ(field_list(of_kind(3, 253)[1]->fields).size(), 5u);
}

TEST_F(Dispatch, PerformanceFlagsByFieldRange) {
    send(26, 1, {{148, "1"}});
    send(26, 2, {{786, "1"}});
    send(26, 3, {{356, "1"}});
    send(26, 4, {{357, "1"}, {162, "1"}});
    send(26, 5, {{163, "1"}});
    auto perf = of_kind(1, 18);
    ASSERT_EQ(perf.size(), 5u);
    EXPECT_EQ(perf[0]->flags, ITEM_KEYED | ITEM_PERF_PRICE);
    EXPECT_EQ(perf[1]->flags, ITEM_KEYED | ITEM_PERF_YIELD);
    EXPECT_EQ(perf[2]->flags, ITEM_KEYED | ITEM_PERF_BID);
    EXPECT_EQ(perf[3]->flags, ITEM_KEYED | ITEM_PERF_BIDYIELD | ITEM_PERF_PRICE);
    EXPECT_EQ(perf[4]->flags, ITEM_KEYED);
}

TEST_F(Dispatch, QuoteExDerivesAQuoteOnlyAfterACompleteSnapshot) {
    g_config.quoteexspecial = 1;
    send(44, 8,
         {{5, "10"},
          {6, "11"},
          {19, "100"},
          {20, "200"},
          {7, "x"},
          {3, "2024-06-15"},
          {4, "10:00:00"}},
         false);
    EXPECT_EQ(of_kind(1, 2).size(), 0u);
    send(44, 8,
         {{5, "10"},
          {6, "11"},
          {19, "100"},
          {20, "200"},
          {7, "x"},
          {3, "2024-06-15"},
          {4, "10:00:00"}},
         true);
    auto quotes = of_kind(1, 2);
    ASSERT_EQ(quotes.size(), 1u);
    EXPECT_STREQ(quotes[0]->key, "8:2");
    EXPECT_EQ(
        field_list(quotes[0]->fields),
        (Pairs{
            {5, "10"}, {6, "11"}, {19, "100"}, {20, "200"}, {3, "2024-06-15"}, {4, "10:00:00"}}));
    // It merges with the instrument's plain quotes.
    send(5, 8, {{5, "12"}});
    EXPECT_EQ(of_kind(1, 2).size(), 1u);
    EXPECT_EQ(field_text(quotes[0]->fields, 5), "12");
    g_config.quoteexspecial = 0;
    send(44, 9, {{5, "10"}}, true);
    EXPECT_EQ(of_kind(1, 2).size(), 1u);
}

TEST_F(Dispatch, OrderIdentifierComesFromField695) {
    send(39, 2, {{695, "77"}, {697, "1.5"}});
    send(40, 2, {{695, "77"}, {698, "5"}});
    send(39, 2, {{695, "78"}});
    auto books = of_kind(4, 38);
    ASSERT_EQ(books.size(), 1u);
    auto entries = sub_items(books[0]->bid_changes);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->order_id, 77u);
    EXPECT_EQ(field_text(entries[0]->fields, 698), "5");
    EXPECT_EQ(entries[1]->order_id, 78u);
}

TEST_F(Dispatch, TradeMinuteFollowsItsTradeAndMerges) {
    setenv("TZ", "UTC0", 1);
    tzset();
    g_config.aggtrades = 1;
    send(6, 3, {{3, "2024-06-15"}, {36, "10:00:05.5"}, {12, "1"}});
    send(6, 3, {{3, "2024-06-15"}, {36, "10:00:45"}, {12, "2"}});
    send(6, 3, {{3, "2024-06-15"}, {36, "10:01:00"}, {12, "3"}});
    auto items = items_of(queue(2));
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0]->kind, 1);
    EXPECT_EQ(items[1]->kind, 1);
    EXPECT_EQ(items[2]->kind, 245);
    const uint64_t minute = 1718445600 / 60;  // 2024-06-15 10:00 UTC
    EXPECT_EQ(std::string(items[2]->key), "3:245:" + std::to_string(minute));
    EXPECT_EQ(field_list(items[2]->fields), (Pairs{{3, "2024-06-15"}, {36, "10:00:45"}}));
    EXPECT_EQ(items[3]->kind, 1);
    EXPECT_EQ(std::string(items[4]->key), "3:245:" + std::to_string(minute + 1));
    unsetenv("TZ");
    tzset();
}

TEST_F(Dispatch, TradeMinuteNeedsADateAndTimeThatRead) {
    g_config.aggtrades = 1;
    send(6, 3, {{3, "2024-06-15"}, {36, "soon"}});
    send(6, 3, {{3, "today"}, {36, "10:00:00"}});
    send(6, 3, {{3, "2024-06-15"}, {36, "10:00:00"}, {364, ""}});  // the one minute
    send(6, 3, {{36, "10:00:00"}, {364, ""}});  // a deleted trade gets no date supplied
    EXPECT_EQ(of_kind(2, 1).size(), 4u);
    EXPECT_EQ(of_kind(2, 245).size(), 1u);
}

// The minute of a trade is its local wall time on the clock: across the spring change the
// clock skips an hour, so 01:59 and 03:00 are neighbouring minutes; an hour seen before is
// converted again when it comes back on another day.
TEST_F(LocalTime, TradeMinuteFollowsTheZoneAcrossItsChange) {
    g_config.localtime = 0;  // the texts are local already
    g_config.aggtrades = 1;
    const char* times[][2] = {{"2024-03-31", "01:59:59"}, {"2024-03-31", "03:00:00"},
                              {"2024-03-31", "03:30:10"}, {"2024-03-30", "03:30:10"},
                              {"2024-03-30", "01:05:00"}};
    // Minutes since the epoch of the same instants in UTC (CET is +1, CEST +2).
    const uint64_t expected[] = {1711846799 / 60, 1711846800 / 60, 1711848610 / 60,
                                 1711765810 / 60, 1711757100 / 60};
    for (const auto& t : times) send(6, 3, {{3, t[0]}, {36, t[1]}, {12, "1"}});
    auto minutes = of_kind(2, 245);
    ASSERT_EQ(minutes.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(std::string(minutes[i]->key), "3:245:" + std::to_string(expected[i]))
            << times[i][0] << " " << times[i][1];
    }
}

class Books : public Dispatch {
  protected:
    Instrument* book(uint64_t insref) { return instrumentLookup(insref); }
    std::vector<std::string> bids(uint64_t insref) {
        std::vector<std::string> out;
        for (PriceLevel* l = book(insref)->bids; l; l = l->next)
            out.emplace_back(l->price);
        return out;
    }
};

TEST_F(Books, LevelsBuildTheLadderAndChangesCarryTheirLevelsPrice) {
    send(7, 1, {{5, "10"}, {16, "1"}, {17, "100"}});
    send(7, 1, {{5, "9"}, {16, "2"}, {17, "50"}});
    send(7, 1, {{5, "10.5"}, {16, "1"}});
    EXPECT_EQ(bids(1), (std::vector<std::string>{"10.5", "10", "9"}));
    EXPECT_EQ(book(1)->bid_count, 3u);
    QueueItem* c = queue(4).head;
    ASSERT_EQ(c->kind, KIND_ORDER_BOOK);
    EXPECT_EQ(sub_items(c->bid_changes).size(), 3u);
    // The level text is not a column: it is used and dropped, but the field stays.
    send(11, 1, {{16, "2"}, {17, "70"}});
    auto changes = sub_items(c->bid_changes);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_STREQ(changes[0]->price, "10");
    EXPECT_EQ(changes[0]->flags, ITEM_KEYED | ITEM_BID_INSERT);  // update merged into the insert
    EXPECT_EQ(field_text(changes[0]->fields, 17), "70");
    EXPECT_EQ(field_text(changes[0]->fields, 5), "10");
    send(9, 1, {{16, "3"}});
    EXPECT_EQ(bids(1), (std::vector<std::string>{"10.5", "10"}));
    EXPECT_EQ(sub_items(c->bid_changes).size(), 2u);  // insert then delete of 9: nothing
}

TEST_F(Books, UpdateOverwritesAPriceFieldOfItsOwn) {
    send(8, 1, {{6, "20"}, {16, "1"}});
    QueueItem* c = queue(4).head;
    unlinkQueueItem(&queue(4), c);
    freeQueueItem(c);
    send(12, 1, {{6, "99"}, {16, "1"}, {20, "5"}});
    QueueItem* change = queue(4).head->ask_changes;
    ASSERT_NE(change, nullptr);
    EXPECT_STREQ(change->price, "20");
    EXPECT_EQ(field_list(change->fields),
              (Pairs{{6, "20"}, {16, "1"}, {20, "5"}, {3, "2024-06-15"}, {4, "12:30:00"}}));
}

TEST_F(Books, UnknownLevelsAreReportedAndDropped) {
    g_config.debug = 1;
    send(7, 1, {{5, "10"}, {16, "1"}});
    send(7, 1, {{5, "9"}, {16, "2"}});
    send(9, 1, {{16, "3"}});
    EXPECT_TRUE(log.contains("Invalid BID delete level received: 3 (1)"));
    send(12, 1, {{16, "1"}});
    EXPECT_TRUE(log.contains("Invalid ASK update level received: 1 (1)"));
    send(11, 1, {{16, "0"}});
    EXPECT_TRUE(log.contains("Invalid orderlevel :0 (insref:1 File: dispatch.cpp Line:"));
    send(11, 1, {});
    auto c = queue(4).head;
    EXPECT_EQ(sub_items(c->bid_changes).size(), 2u);
    EXPECT_EQ(c->ask_changes, nullptr);
    EXPECT_EQ(bids(1), (std::vector<std::string>{"10", "9"}));
    // An insert beyond the end is refused by the ladder but still queued.
    send(7, 1, {{5, "8"}, {16, "5"}});
    EXPECT_TRUE(
        log.contains("Invalid bidorder level insert received internal orderbook error(1) level 5"));
    EXPECT_EQ(sub_items(c->bid_changes).size(), 3u);
    // A delete that carries its own price is still queued with it when its level is unknown.
    send(10, 1, {{6, "30"}, {16, "4"}});
    ASSERT_NE(c->ask_changes, nullptr);
    EXPECT_STREQ(c->ask_changes->price, "30");
}

TEST_F(Books, BookClearEmptiesLaddersAndDropsWaitingChanges) {
    send(7, 1, {{5, "10"}, {16, "1"}});
    send(39, 1, {{695, "5"}});
    send(14, 1, {});
    EXPECT_EQ(book(1)->bids, nullptr);
    EXPECT_EQ(book(1)->bid_count, 0u);
    EXPECT_EQ(of_kind(4, KIND_ORDER_BOOK).size(), 0u);
    EXPECT_EQ(of_kind(4, 38).size(), 1u);  // orders stay without the MBO bit
    auto clears = of_kind(4, 7);
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0]->flags, ITEM_CLEAR_BOOK);
    EXPECT_EQ(queue(4).stats->queued, 2u);
    // Field 399 decides: 2 clears only the orders.
    send(7, 1, {{5, "10"}, {16, "1"}});
    send(14, 1, {{399, "2"}});
    EXPECT_EQ(of_kind(4, 38).size(), 0u);
    EXPECT_EQ(of_kind(4, KIND_ORDER_BOOK).size(), 1u);
    EXPECT_EQ(of_kind(4, 7)[1]->flags, ITEM_CLEAR_MBO);
    // Bit 4 asks for a BBO reset, when BBO quotes are requested.
    send(14, 1, {{399, "4"}});
    EXPECT_EQ(of_kind(1, 247).size(), 0u);
    g_config.requestquotesbbo = 1;
    send(14, 1, {{399, "5"}});
    EXPECT_EQ(of_kind(1, 247).size(), 1u);
    EXPECT_EQ(of_kind(4, 7)[3]->flags, ITEM_CLEAR_BOOK);
}

TEST_F(Books, InstrumentResetClearsAndStopsMerging) {
    send(7, 1, {{5, "10"}, {16, "1"}});
    send(5, 1, {{5, "1"}});
    send(13, 1, {});
    EXPECT_EQ(book(1)->bids, nullptr);
    EXPECT_EQ(of_kind(4, KIND_ORDER_BOOK).size(), 0u);
    auto clears = of_kind(4, 7);
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0]->flags, ITEM_CLEAR_BOOK | ITEM_CLEAR_MBO);
    EXPECT_EQ(of_kind(1, 8).size(), 1u);
    // The waiting quote is still written, but the next one is a new item.
    send(5, 1, {{5, "2"}});
    EXPECT_EQ(of_kind(1, 2).size(), 2u);
    // A reset of an instrument without a book makes no record.
    send(13, 2, {});
    EXPECT_EQ(book(2), nullptr);
}

TEST_F(Dispatch, BasicDataStrikesTheStaleSet) {
    ASSERT_EQ(staleSetCreate(16), 1);
    staleSetAdd(1);
    staleSetAdd(2);
    send(15, 1, {});
    send(5, 2, {});  // only basic data counts
    EXPECT_EQ(staleSetCount(), 1u);
}

class Stale : public QueueTest {
  protected:
    void TearDown() override {
        staleSetDestroy();
        QueueTest::TearDown();
    }
    LogRecorder log;
};

TEST_F(Stale, LeftoversAreDeletedAfterTheSnapshot) {
    g_config.maxdeletes = 10000;
    ASSERT_EQ(staleSetCreate(102400), 1);
    for (uint64_t i = 1; i <= 5; ++i)
        staleSetAdd(i);
    staleSetStrike(3);
    deleteStaleInstruments(true);
    auto items = items_of(queue(3));
    ASSERT_EQ(items.size(), 4u);
    std::set<uint64_t> refs;
    for (QueueItem* i : items) {
        EXPECT_EQ(i->kind, 9);
        EXPECT_EQ(i->flags, 0u);
        EXPECT_EQ(i->fields, nullptr);
        refs.insert(i->insref);
    }
    EXPECT_EQ(refs, (std::set<uint64_t>{1, 2, 4, 5}));
    EXPECT_TRUE(log.contains("Deleted 4 stale instruments."));
    EXPECT_FALSE(staleSetExists());
    deleteStaleInstruments(true);  // once per run
    EXPECT_EQ(items_of(queue(3)).size(), 4u);
}

TEST_F(Stale, SafetyLimitDeletesNothingButConsumesTheSet) {
    g_config.maxdeletes = 10000;
    ASSERT_EQ(staleSetCreate(102400), 1);
    for (uint64_t i = 1; i <= 10001; ++i)
        staleSetAdd(i);
    deleteStaleInstruments(true);
    EXPECT_EQ(queue(3).head, nullptr);
    EXPECT_TRUE(log.contains(
        "Delete instrument safety limit hit, ignoring delete of 10001 stale instruments."));
    EXPECT_FALSE(log.contains("Deleted"));
    EXPECT_FALSE(staleSetExists());
}

TEST_F(Stale, ExactlyTheLimitIsStillDeleted) {
    g_config.maxdeletes = 3;
    ASSERT_EQ(staleSetCreate(16), 1);
    for (uint64_t i = 1; i <= 3; ++i)
        staleSetAdd(i);
    deleteStaleInstruments(true);
    EXPECT_EQ(items_of(queue(3)).size(), 3u);
}

TEST_F(Stale, CatchUpDiscardsAndACompleteSnapshotIsQuiet) {
    ASSERT_EQ(staleSetCreate(16), 1);
    staleSetAdd(1);
    deleteStaleInstruments(false);
    EXPECT_FALSE(staleSetExists());
    EXPECT_EQ(queue(3).head, nullptr);
    ASSERT_EQ(staleSetCreate(16), 1);
    staleSetAdd(1);
    staleSetStrike(1);
    deleteStaleInstruments(true);
    EXPECT_EQ(queue(3).head, nullptr);
    EXPECT_TRUE(log.lines.empty());
}


// Invalid UTF-8 from the feed is repaired where it is read: the row keeps its other values
// and the valid parts of the text; the log names the instrument and field, at most once a
// minute.
TEST_F(Dispatch, InvalidUtf8IsReplacedAndReportedOncePerMinute) {
    send(15, 300, {{55, "AB\xC3("}, {56, "Caf\xC3\xA9"}, {57, "\xED\xA0\x80x"}, {58, "\xF0\x9F\x98"}});
    auto rows = of_kind(3, 6);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field_text(rows[0]->fields, 55), "AB\xEF\xBF\xBD(");
    EXPECT_EQ(field_text(rows[0]->fields, 56), "Caf\xC3\xA9") << "valid text is untouched";
    // A surrogate encoded in three bytes: each byte that cannot start or continue a valid
    // sequence is one replacement.
    EXPECT_EQ(field_text(rows[0]->fields, 57), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx");
    EXPECT_EQ(field_text(rows[0]->fields, 58), "\xEF\xBF\xBD") << "a cut sequence is one";
    EXPECT_EQ(log.count("Invalid UTF-8 in field 55 of instrument 300"), 1u);
    EXPECT_EQ(log.count("Invalid UTF-8"), 1u) << "the other fields wait for the next report";
    for (int i = 0; i < 100; ++i)
        send(15, 301, {{55, "\xFF"}});
    EXPECT_EQ(log.count("Invalid UTF-8"), 1u);
    ManualClock::now += 60;
    send(15, 302, {{55, "\xFE"}});
    EXPECT_EQ(log.count("Invalid UTF-8 in field 55 of instrument 302"), 1u);
    EXPECT_TRUE(log.contains("(103 such value(s) since the last report)"));
}

TEST(Utf8Text, ValidationAgreesWithTheStandardsEdges) {
    const std::pair<std::string, bool> cases[] = {
        {"plain ascii text longer than eight bytes", true},
        {"\xC2\x80", true},          {"\xC1\xBF", false},  // overlong two-byte form
        {"\xE0\xA0\x80", true},      {"\xE0\x9F\xBF", false},  // overlong three-byte form
        {"\xED\x9F\xBF", true},      {"\xED\xA0\x80", false},  // surrogate
        {"\xF4\x8F\xBF\xBF", true},  {"\xF4\x90\x80\x80", false},  // above U+10FFFF
        {"\xF0\x9F\x98\x80", true},  {"abcdefgh\xF0\x9F\x98", false},  // cut at the end
        {"\x80", false},             {"abcdefghijklmno\xC3\xA9", true},
    };
    for (const auto& [text, valid] : cases)
        EXPECT_EQ(utf8_is_valid(text.data(), text.size()), valid) << testing::PrintToString(text);
    std::string out;
    utf8_replace_invalid("a\xE2\x82z", 4, out);
    EXPECT_EQ(out, "a\xEF\xBF\xBDz") << "a cut three-byte sequence is one replacement";
}

}  // namespace
