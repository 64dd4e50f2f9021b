// queue_item.h - FieldValue, QueueItem, UpdateTemplate and the ITEM_ flag bits.
//
// These are the records every database change travels in, from the dispatcher on the feed
// thread through an update queue to a database thread. A QueueItem owns everything it points
// to (its fields, its sub-items, its texts) and is freed as a whole with freeQueueItem.
// While an item waits in a queue it is guarded by that queue's lock (update_queue.h); once a
// database thread has unlinked it, it belongs to that thread alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "zel/base/message_kinds.h"

// Flag bits shared by QueueItem::flags and UpdateTemplate::flags. The bit values are seen
// by every part of the program that reads an item, so they never change.
inline constexpr uint32_t ITEM_KEYED = 0x1;            // merged by key while it waits
inline constexpr uint32_t ITEM_TRADE_TAG72 = 0x2;      // trade keeps its field-72 column
inline constexpr uint32_t ITEM_EMPTY = 0x4;            // placeholder without data
inline constexpr uint32_t ITEM_NEWS_MULTIPART = 0x8;   // more blocks of this news follow
inline constexpr uint32_t ITEM_NEWS_LASTBLOCK = 0x10;  // the last news block has arrived
inline constexpr uint32_t ITEM_BID_INSERT = 0x20;
inline constexpr uint32_t ITEM_BID_UPDATE = 0x40;
inline constexpr uint32_t ITEM_BID_DELETE = 0x80;
inline constexpr uint32_t ITEM_ASK_INSERT = 0x100;
inline constexpr uint32_t ITEM_ASK_UPDATE = 0x200;
inline constexpr uint32_t ITEM_ASK_DELETE = 0x400;
inline constexpr uint32_t ITEM_PERF_PRICE = 0x800;
inline constexpr uint32_t ITEM_PERF_YIELD = 0x1000;
inline constexpr uint32_t ITEM_PERF_BID = 0x2000;
inline constexpr uint32_t ITEM_PERF_BIDYIELD = 0x4000;
inline constexpr uint32_t ITEM_DELETE = 0x8000;      // delete the row
inline constexpr uint32_t ITEM_NEWS_TAGS = 0x10000;  // dispatcher-internal
inline constexpr uint32_t ITEM_NULL_STATUS = 0x20000;
inline constexpr uint32_t ITEM_NEWS_IDLIST = 0x40000;  // dispatcher-internal
inline constexpr uint32_t ITEM_UPDATE_FIRST =
    0x80000;                                        // write update-first whatever the table says
inline constexpr uint32_t ITEM_REPLACE = 0x100000;  // order entry deleted/replaced during its wait
inline constexpr uint32_t ITEM_CLEAR_BOOK = 0x200000;  // remove the instrument's order book rows
inline constexpr uint32_t ITEM_CLEAR_MBO = 0x400000;   // remove the instrument's order rows
// A kind-11 delete whose reversal of the stored action was written outside a transaction:
// a rerun of the item must not reverse it again. Set by the database thread only, on an item
// out of the queue (nothing merges into it then).
inline constexpr uint32_t ITEM_ACTION_REVERSED = 0x800000;

// Groups of the level-change bits.
inline constexpr uint32_t ITEM_INSERT_BITS = ITEM_BID_INSERT | ITEM_ASK_INSERT;  // 0x120
inline constexpr uint32_t ITEM_UPDATE_BITS = ITEM_BID_UPDATE | ITEM_ASK_UPDATE;  // 0x240
inline constexpr uint32_t ITEM_DELETE_BITS = ITEM_BID_DELETE | ITEM_ASK_DELETE;  // 0x480
inline constexpr uint32_t ITEM_LEVEL_BITS = ITEM_INSERT_BITS | ITEM_UPDATE_BITS | ITEM_DELETE_BITS;

// One field of an update. Fields form a doubly linked list, null-terminated at both ends
// (the head's prev is null). `value` null means "no value" (the column is written NULL).
//
// A node is allocated together with the text it was created with (one allocation per
// field on the hot path), so `value` may point into the node itself. Therefore `value` is
// only ever replaced through fieldValueSetValue/fieldValueTakeValue and nodes are only
// freed through fieldValueFree/freeFieldList; never free() or assign `value` directly.
struct FieldValue {
    FieldValue* next;
    FieldValue* prev;
    char* value;
    uint32_t tag;
    uint32_t capacity;  // bytes of text the node holds inline (the allocator's business)
};

// A new unlinked node with a copy of `len` bytes of `value` (nullptr: a null value).
// Never returns null (out of memory ends the program: an update cannot be half-built).
FieldValue* fieldValueCreate(uint32_t tag, const char* value, size_t len);
FieldValue* fieldValueCreate(uint32_t tag, const char* value);  // nul-terminated or null
FieldValue* fieldValueCopy(const FieldValue* field);            // same tag, copy of the value
// Replaces the value with a copy of `value` (nullptr: null), freeing the old one.
void fieldValueSetValue(FieldValue* field, const char* value, size_t len);
void fieldValueSetValue(FieldValue* field, const char* value);
// Appends `text` to the value (a null value counts as empty).
void fieldValueAppend(FieldValue* field, const char* text);
// Moves `from`'s value into `to` (freeing `to`'s old value); `from` is freed.
void fieldValueTakeValue(FieldValue* to, FieldValue* from);
// The same when `from`'s value (or null) fits into `to`'s node without an allocation:
// returns 1 with `from` freed, or 0 with nothing changed.
int fieldValueMoveInto(FieldValue* to, FieldValue* from);
void fieldValueFree(FieldValue* field);
// Bytes of text the field's value has room for (0 for a null value).
size_t fieldValueCapacity(const FieldValue* field);
// Frees a whole list from its head, iteratively.
void freeFieldList(FieldValue* head);
// Appends `field` after `*tail` (or makes it the list when `*head` is null).
void fieldListAppend(FieldValue** head, FieldValue** tail, FieldValue* field);
// The first field with `tag`, or null.
FieldValue* fieldListFind(FieldValue* head, uint32_t tag);

// One pending database change (allocated zeroed). Sub-items (the level changes of a
// kind-251 container, the order entries of a kind-38 container) are QueueItems too, linked
// through next/prev in their container's bid_changes/ask_changes list, and live and die
// with their container.
struct QueueItem {
    QueueItem* next;
    QueueItem* prev;
    FieldValue* fields;
    QueueItem* bid_changes;  // kind 251: bid level changes; kind 38: order entries
    QueueItem* ask_changes;  // kind 251: ask level changes
    char* key;               // owned; set while the item is registered in its dedup table
    char* price;             // owned; level changes: the level's price
    // Owned texts the database thread stores while it writes the item.
    char* yield;
    char* bid;
    char* bid_yield;
    uint64_t insref;
    uint64_t order_id;  // kind 38 order entries
    int64_t time;       // queue time; due when time + the queue's delay <= now
    uint32_t flags;
    uint8_t kind;
    // Present markers of the four current-value slots (price, yield, bid, bid yield); set by
    // the database thread, 0 when queued.
    uint8_t price_present;
    uint8_t yield_present;
    uint8_t bid_present;
    uint8_t bid_yield_present;
    // Set when `key` lives in the item's own allocation (addQueueItem's new keyed items);
    // freeQueueItem then does not free it separately. Nothing else needs to look at it.
    uint8_t key_inline;
    // Bytes this item (a container: with its sub-items) was counted with in the queued
    // memory total (queueMemoryBytes); freeQueueItem takes them off again. 0 for sub-items
    // and placeholders.
    uint32_t bytes;
};

// The queued-memory total: bytes of the items waiting in the queues (see
// queueMemoryBytes); freeQueueItem takes an item's `bytes` off it.
extern std::atomic<int64_t> g_queued_bytes;

// A zeroed item. Never returns null.
QueueItem* allocQueueItem();
// A zeroed item whose `key` is a copy of `key` held in the same allocation. Never null.
QueueItem* allocQueueItemWithKey(const char* key, size_t len);
// Frees the field list, every sub-item of both sub-lists, the key, the price, the three
// further texts and the item. Lists are walked iteratively. Null is allowed.
void freeQueueItem(QueueItem* item);
// malloc'ed copy of a text (null stays null), freed with free().
char* queueStrdup(const char* text);

// What the dispatcher passes to addQueueItem besides the field list: zeroed per message and
// reused, so `key` keeps its capacity and building a key allocates nothing in the long run.
// The key is a growable text: a news identifier of any length fits.
struct UpdateTemplate {
    std::string key;
    uint64_t insref = 0;
    uint64_t order_id = 0;
    const char* price = nullptr;  // owned by the caller; copied by addQueueItem
    uint32_t flags = 0;
    uint8_t kind = 0;

    void reset() {
        key.clear();
        insref = 0;
        order_id = 0;
        price = nullptr;
        flags = 0;
        kind = 0;
    }
};
