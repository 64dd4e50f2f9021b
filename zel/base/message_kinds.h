// message_kinds.h - every message kind by name, and the one table that gives each kind its
// name and its update queue.
//
// A message kind is the 8-bit number under which the table definitions describe a target
// table; the dispatcher (zel/feed) gives every update one, the queues (zel/queues) route it
// by this table, the database threads (zel/sql) choose its writer by it, and the
// configuration's request keys are switched on by it. Whoever needs a rule for a kind
// uses the name below, so that searching for the name finds every rule for that kind.
// Plain constants: no state, no lock, usable from any thread and in constant expressions.
#pragma once

#include <array>
#include <cstdint>

// Kinds from the feed's message types (the dispatcher's type table), in kind order.
inline constexpr uint8_t KIND_TRADE = 1;
inline constexpr uint8_t KIND_QUOTE = 2;
inline constexpr uint8_t KIND_PRICE_HISTORY = 4;
inline constexpr uint8_t KIND_BASIC_DATA = 6;        // also the trade state
inline constexpr uint8_t KIND_BOOK_CLEAR = 7;        // remove an instrument's book rows
inline constexpr uint8_t KIND_INSTRUMENT_RESET = 8;  // the day reset
inline constexpr uint8_t KIND_INSTRUMENT_DELETE = 9;
inline constexpr uint8_t KIND_CORPORATE_ACTION = 11;  // the corporate-actions table's row
inline constexpr uint8_t KIND_NEWS = 13;
inline constexpr uint8_t KIND_BID_LEVEL = 14;  // held in a KIND_ORDER_BOOK container
inline constexpr uint8_t KIND_ASK_LEVEL = 15;  // held in a KIND_ORDER_BOOK container
inline constexpr uint8_t KIND_FUNDAMENTALS = 16;
inline constexpr uint8_t KIND_PERFORMANCE = 18;
inline constexpr uint8_t KIND_KEY_RATIOS = 19;
inline constexpr uint8_t KIND_ESTIMATES_20 = 20;
inline constexpr uint8_t KIND_ESTIMATES_21 = 21;
inline constexpr uint8_t KIND_NOII = 22;
inline constexpr uint8_t KIND_CI_26 = 26;
inline constexpr uint8_t KIND_CI_27 = 27;
inline constexpr uint8_t KIND_L10N = 32;
inline constexpr uint8_t KIND_PRIIP = 33;
inline constexpr uint8_t KIND_MIFID_34 = 34;
inline constexpr uint8_t KIND_MIFID_35 = 35;
inline constexpr uint8_t KIND_MAPPINGS = 36;  // never stored as such: see 12 and 248
inline constexpr uint8_t KIND_GREEKS = 37;
inline constexpr uint8_t KIND_MBO = 38;  // container of order entries
inline constexpr uint8_t KIND_QUOTE_EX = 40;

// Kinds no feed message type carries: tables the table definitions describe for data the
// program derives, and the supervisor's status item.
inline constexpr uint8_t KIND_IDENTIFIER_LIST = 12;         // basic data's or a mapping's field 55
inline constexpr uint8_t KIND_LIST_297 = 23;                // basic data's packed list, field 297
inline constexpr uint8_t KIND_LIST_347 = 24;                // field 347
inline constexpr uint8_t KIND_LIST_375 = 25;                // field 375
inline constexpr uint8_t KIND_STATUS = 30;                  // the status table's rows
inline constexpr uint8_t KIND_QUOTE_BBO = 39;               // best bid and offer quotes
inline constexpr uint8_t KIND_TRADE_MINUTE = 245;           // a minute bar rebuilt from trades
inline constexpr uint8_t KIND_LIST_732 = 246;               // field 732
inline constexpr uint8_t KIND_BBO_RESET = 247;              // clears the BBO quote row
inline constexpr uint8_t KIND_IDENTIFIER_LIST_KEYED = 248;  // a mapping with field 527
inline constexpr uint8_t KIND_NEWS_TAGS = 249;              // a news item's identifier list
inline constexpr uint8_t KIND_LIST_66 = 250;                // field 66
inline constexpr uint8_t KIND_ORDER_BOOK = 251;             // container of level changes
inline constexpr uint8_t KIND_ADJUSTED_HISTORY = 252;       // the adjusted price history
inline constexpr uint8_t KIND_HISTORY_ADJUSTMENT = 253;     // a corporate action rescales it
inline constexpr uint8_t KIND_DIFFERENCES = 254;            // performance differences
inline constexpr uint8_t KIND_NEWS_CODING = 255;            // a news item's coding tags

// The queue of a kind whose queue moves with the request switches: news goes to queue 2
// while order books or orders are requested (queue 4 is busy with them) and to queue 4
// otherwise.
inline constexpr uint8_t KIND_QUEUE_NEWS = 0;
// The queue of every kind the table does not name.
inline constexpr uint8_t KIND_QUEUE_OTHER = 3;

struct MessageKind {
    uint8_t kind;
    const char* name;  // for logs and documentation
    uint8_t queue;     // 1 to 4, or KIND_QUEUE_NEWS
};

// Every named kind. Queue 1 holds the keyed current values that are written at most once
// per delay, queue 2 the trades, the minute bars and the status item, queue 4 the order
// books and orders; queue 3 everything else.
inline constexpr MessageKind kKindTable[] = {
    {KIND_TRADE, "trade", 2},
    {KIND_QUOTE, "quote", 1},
    {KIND_PRICE_HISTORY, "price history", 3},
    {KIND_BASIC_DATA, "basic data", 3},
    {KIND_BOOK_CLEAR, "book clear", 4},
    {KIND_INSTRUMENT_RESET, "instrument reset", 1},
    {KIND_INSTRUMENT_DELETE, "instrument delete", 3},
    {KIND_CORPORATE_ACTION, "corporate action", 3},
    {KIND_IDENTIFIER_LIST, "identifier list", 3},
    {KIND_NEWS, "news", KIND_QUEUE_NEWS},
    {KIND_BID_LEVEL, "bid level", 4},
    {KIND_ASK_LEVEL, "ask level", 4},
    {KIND_FUNDAMENTALS, "fundamentals", 3},
    {KIND_PERFORMANCE, "performance", 1},
    {KIND_KEY_RATIOS, "key ratios", 1},
    {KIND_ESTIMATES_20, "estimates 20", 3},
    {KIND_ESTIMATES_21, "estimates 21", 3},
    {KIND_NOII, "noii", 1},
    {KIND_LIST_297, "list 297", 3},
    {KIND_LIST_347, "list 347", 3},
    {KIND_LIST_375, "list 375", 3},
    {KIND_CI_26, "ci 26", 3},
    {KIND_CI_27, "ci 27", 3},
    {KIND_STATUS, "status", 2},
    {KIND_L10N, "l10n", 3},
    {KIND_PRIIP, "priip", 3},
    {KIND_MIFID_34, "mifid 34", 3},
    {KIND_MIFID_35, "mifid 35", 3},
    {KIND_MAPPINGS, "mappings", 3},
    {KIND_GREEKS, "greeks", 1},
    {KIND_MBO, "orders", 4},
    {KIND_QUOTE_BBO, "bbo quote", 3},
    {KIND_QUOTE_EX, "extended quote", 1},
    {KIND_TRADE_MINUTE, "trade minute", 2},
    {KIND_LIST_732, "list 732", 3},
    {KIND_BBO_RESET, "bbo reset", 1},
    {KIND_IDENTIFIER_LIST_KEYED, "keyed identifier list", 3},
    {KIND_NEWS_TAGS, "news tags", KIND_QUEUE_NEWS},
    {KIND_LIST_66, "list 66", 3},
    {KIND_ORDER_BOOK, "order book", 4},
    {KIND_ADJUSTED_HISTORY, "adjusted history", 3},
    {KIND_HISTORY_ADJUSTMENT, "history adjustment", 3},
    {KIND_DIFFERENCES, "differences", 1},
    {KIND_NEWS_CODING, "news coding", KIND_QUEUE_NEWS},
};

// The routing table, indexed by kind: the queue number of every kind (1 to 4, or
// KIND_QUEUE_NEWS), KIND_QUEUE_OTHER for the kinds not named above.
inline constexpr std::array<uint8_t, 256> kKindQueue = [] {
    std::array<uint8_t, 256> queues{};
    queues.fill(KIND_QUEUE_OTHER);
    for (const MessageKind& entry : kKindTable)
        queues[entry.kind] = entry.queue;
    return queues;
}();

// The name of a kind, or nullptr for a kind the table does not name.
constexpr const char* message_kind_name(uint8_t kind) {
    for (const MessageKind& entry : kKindTable)
        if (entry.kind == kind) return entry.name;
    return nullptr;
}

// Each kind is named once: a second entry would route the kind by whichever came last.
inline constexpr bool kKindTableUnique = [] {
    bool seen[256] = {};
    for (const MessageKind& entry : kKindTable) {
        if (seen[entry.kind] || entry.queue > 4) return false;
        seen[entry.kind] = true;
    }
    return true;
}();
static_assert(kKindTableUnique, "every message kind is named once, with a queue of 1 to 4");
