// update_queue.cpp - the four update queues: creation, queue choice, addQueueItem with its
// merge and delay rules, and the bookkeeping the database threads use.
//
// Producers are the feed thread (addQueueItem, dropQueuedUpdate) and the supervisor (its
// status items); each queue's database thread takes items (unlinkQueueItem, addPlaceholder).
// All of it runs under the queue's lock, which is held only for a table lookup, a list
// splice and a field merge, so a slow database never holds up the feed. The signal is
// released after the lock is left, so the woken thread does not at once block on it.
#include "zel/queues/update_queue.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "platform/thread_exit.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/queues/order_book.h"
#include "zel/queues/source_name.h"

UpdateQueue* g_queues = nullptr;

namespace {

// The drain at a stop (see update_queue.h); written by the stop handler and the feed
// thread, read by the database threads.
std::atomic<bool> g_drain_on{false};
std::atomic<bool> g_producers_ended{false};

// "insref:kind", the key under which dropQueuedUpdate and the level-change container find
// an instrument's waiting item of one kind.
void write_kind_key(std::string& key, uint64_t insref, uint32_t kind) {
    // 20 digits, a colon and 10 digits always fit; the bound keeps GCC's overflow check
    // (which cannot see that to_chars succeeded) satisfied.
    char text[40];
    char* end = std::to_chars(text, text + 20, insref).ptr;
    *end++ = ':';
    end = std::to_chars(end, end + 10, kind).ptr;
    key.assign(text, end);
}

void link_before(UpdateQueue* q, QueueItem* at, QueueItem* item) REQUIRES(q->lock) {
    item->next = at;
    item->prev = at->prev;
    if (at->prev) {
        at->prev->next = item;
    } else {
        q->head = item;
    }
    at->prev = item;
}

// Takes `item` out of the list only (no table or counter change).
void list_unlink(UpdateQueue* q, QueueItem* item) REQUIRES(q->lock) {
    if (item->prev) {
        item->prev->next = item->next;
    } else {
        q->head = item->next;
    }
    if (item->next) {
        item->next->prev = item->prev;
    } else {
        q->tail = item->prev;
    }
    if (q->cursor == item) q->cursor = item->next;
    item->next = item->prev = nullptr;
}

void free_queue_list(QueueItem* head) {
    while (head) {
        QueueItem* next = head->next;
        freeQueueItem(head);
        head = next;
    }
}

// Links `item`, stamped as due now, before the first item from `at` on that still waits out
// the delay (or at the end), and makes it the cursor.
void link_as_due(UpdateQueue* q, QueueItem* item, int64_t now, QueueItem* at) REQUIRES(q->lock) {
    while (at && at->time + q->delay < now)
        at = at->next;
    if (at) {
        link_before(q, at, item);
    } else {
        appendQueueItem(q, item);
    }
    q->cursor = item;
}

// Puts a new item where it is due: straight at the tail without a delay; with one, the item
// is due at once, so it goes before the first waiting item that is not yet due
// (placeholders and items that still wait out the delay). The search starts at the item put
// in last, as new items nearly always belong right behind it.
void insert_new(UpdateQueue* q, QueueItem* item, int64_t now) REQUIRES(q->lock) {
    stat_add(q->stats->queued, 1);
    if (q->delay == 0) {
        appendQueueItem(q, item);
        return;
    }
    item->time = now - (q->delay + 1);
    link_as_due(q, item, now, q->cursor ? q->cursor : q->head);
}

// Links `item` (not counted anew) where an item due now belongs: before the first waiting
// item that is not yet due, searching from the cursor as insert_new does.
void link_due(UpdateQueue* q, QueueItem* item, int64_t now) REQUIRES(q->lock) {
    item->time = now - (q->delay + 1);
    QueueItem* at = q->cursor ? q->cursor : q->head;
    // Taking the flushed item out may have moved the cursor onto an item that still
    // waits, with more waiting items before it: the search then starts at the head, so
    // that the item lands before every item that is not yet due.
    if (at && at->prev && at->prev->time + q->delay >= now) at = q->head;
    link_as_due(q, item, now, at);
}

// Estimated heap bytes of a new item and what it holds: the allocations themselves plus
// malloc's own word per block. Cheap enough for every item: one walk of a short list.
uint32_t estimate_bytes(const QueueItem* item) {
    constexpr size_t kBlockOverhead = 16;
    size_t bytes = sizeof(QueueItem) + kBlockOverhead + (item->key ? std::strlen(item->key) : 0);
    auto fields = [&bytes](const FieldValue* f) {
        for (; f; f = f->next)
            bytes += sizeof(FieldValue) + kBlockOverhead + fieldValueCapacity(f);
    };
    fields(item->fields);
    for (const QueueItem* list : {item->bid_changes, item->ask_changes}) {
        for (const QueueItem* sub = list; sub; sub = sub->next) {
            bytes += sizeof(QueueItem) + kBlockOverhead + (sub->price ? std::strlen(sub->price) : 0);
            fields(sub->fields);
        }
    }
    return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

void count_bytes(QueueItem* item, uint32_t bytes) {
    // An item's own count stops short of wrapping; what it cannot hold is not counted.
    if (bytes > UINT32_MAX - item->bytes) bytes = UINT32_MAX - item->bytes;
    item->bytes += bytes;
    g_queued_bytes.fetch_add(bytes, std::memory_order_relaxed);
}

// Makes the waiting item `w` due now, ahead of a message about to be queued
// that must not overtake it, and unregisters its key so that later updates start a new
// item behind that message. Placeholders are left as they are: they hold nothing, and
// what merges into them comes later anyway.
void flush_waiting(UpdateQueue* q, QueueItem* w, int64_t now) REQUIRES(q->lock) {
    if (w->flags & ITEM_EMPTY) return;
    list_unlink(q, w);
    if ((w->flags & ITEM_KEYED) && w->key) q->dedup.remove(w->key, w);
    w->flags &= ~ITEM_KEYED;
    link_due(q, w, now);
}

// Drops the waiting item `w`: a newer message removes the row it would write.
void drop_waiting(UpdateQueue* q, QueueItem* w) REQUIRES(q->lock) {
    bool empty = (w->flags & ITEM_EMPTY) != 0;
    unlinkQueueItem(q, w);
    if (!empty) stat_sub(q->stats->queued, 1);
    freeQueueItem(w);
}

// What each_waiting_of_instrument does to a waiting item: make it due now (flush_waiting),
// or drop it when it holds data (placeholders stay).
enum class WaitingAction { flush, drop };

// Applies `action` to the waiting keyed items of `insref` in a delayed queue: one per kind
// of that queue, under "insref:kind" (every keyed kind of the delayed queues is keyed so).
// The action is a value rather than a callback so that the analysis sees every step run
// under the lock (a lambda's lock rule is not carried through a template).
void each_waiting_of_instrument(UpdateQueue* q, uint64_t insref, WaitingAction action, int64_t now)
    REQUIRES(q->lock) {
    thread_local std::string key;
    for (int kind = 1; kind < 256; ++kind) {
        if (!q->kind_here[kind]) continue;
        write_kind_key(key, insref, static_cast<uint32_t>(kind));
        QueueItem* w = q->dedup.lookup(key);
        if (!w) continue;
        if (action == WaitingAction::flush) {
            flush_waiting(q, w, now);
        } else if (!(w->flags & ITEM_EMPTY)) {
            drop_waiting(q, w);
        }
    }
}

void merge_order_entry(QueueItem* container, FieldValue* fields, const UpdateTemplate& t) {
    QueueItem* last = nullptr;
    for (QueueItem* entry = container->bid_changes; entry; entry = entry->next) {
        last = entry;
        if (entry->order_id != t.order_id) continue;
        bool replaced_before = (entry->flags & (ITEM_DELETE | ITEM_REPLACE)) != 0;
        if (t.flags & ITEM_DELETE) {
            freeFieldList(entry->fields);
            entry->fields = fields;
        } else {
            mergeFields(entry, fields);
        }
        entry->flags = t.flags | (replaced_before ? ITEM_REPLACE : 0);
        return;
    }
    QueueItem* entry = allocQueueItem();
    entry->order_id = t.order_id;
    entry->flags = t.flags;
    entry->insref = container->insref;
    entry->kind = container->kind;
    entry->fields = fields;
    if (last) {
        last->next = entry;
        entry->prev = last;
    } else {
        container->bid_changes = entry;
    }
}

// Merges an update into the waiting item `e`. Returns true when the signal is to be
// released (news: a further block may complete the item).
bool merge_into(UpdateQueue* q, QueueItem* e, FieldValue* fields, UpdateTemplate& t)
    REQUIRES(q->lock) {
    if (e->flags & ITEM_EMPTY) {
        e->flags &= ~ITEM_EMPTY;
        stat_add(q->stats->queued, 1);
        stat_sub(q->stats->empty_items, 1);
    } else {
        stat_add(q->stats->deduplicated, 1);
    }
    e->flags |= t.flags;
    switch (t.kind) {
        case KIND_MBO:
        case KIND_BID_LEVEL:
        case KIND_ASK_LEVEL: {
            // Order entries and level changes may add sub-items to the container: their
            // fields count (an upper bound: replaced ones are freed); the container gives
            // back all it was counted with when it is freed.
            size_t bytes = 0;
            for (const FieldValue* f = fields; f; f = f->next)
                bytes += sizeof(FieldValue) + 16 + fieldValueCapacity(f);
            count_bytes(e, static_cast<uint32_t>(std::min<size_t>(bytes, UINT32_MAX / 2)));
            if (t.kind == KIND_MBO) {
                merge_order_entry(e, fields, t);
            } else {
                combineLevelChange(e, t.kind, t.flags, t.price, fields);
            }
            return false;
        }
        case KIND_NEWS: {
            // News texts grow with every block: their growth counts in the queued memory.
            const FieldValue* text = fieldListFind(e->fields, 2);
            size_t before = text ? fieldValueCapacity(text) : 0;
            mergeFields(e, fields);
            text = fieldListFind(e->fields, 2);
            size_t after = text ? fieldValueCapacity(text) : 0;
            if (after > before) count_bytes(e, static_cast<uint32_t>(after - before));
            return true;
        }
        case KIND_TRADE_MINUTE:
            // The minute bar is rebuilt from the trades table, so it must come after every
            // trade of its minute that is queued.
            mergeFields(e, fields);
            if (e != q->tail) {
                list_unlink(q, e);
                appendQueueItem(q, e);
            }
            return false;
        default:
            mergeFields(e, fields);
            return false;
    }
}

int32_t update_interval() {
    return g_config.updateinterval > 0 ? g_config.updateinterval : 0;
}

// Which kinds each queue takes (news moves with the request switches, so this is redone
// when they are final). Level changes are held as kind 251.
void mark_kinds() {
    for (int i = 0; i < kQueueCount; ++i)
        std::fill(std::begin(g_queues[i].kind_here), std::end(g_queues[i].kind_here), false);
    for (int kind = 1; kind < 256; ++kind) {
        if (kind == KIND_BID_LEVEL || kind == KIND_ASK_LEVEL) continue;
        g_queues[queueNumberForKind(static_cast<uint8_t>(kind)) - 1].kind_here[kind] = true;
    }
}

}  // namespace

int createUpdateQueues() {
    destroyUpdateQueues();
    auto* queues = new (std::nothrow) UpdateQueue[kQueueCount];
    if (!queues) {
        log_message(LOG_LEVEL_ERROR, "Out of memory creating the update queues");
        return 0;
    }
    for (int i = 0; i < kQueueCount; ++i) {
        UpdateQueue& q = queues[i];
        q.number = static_cast<uint32_t>(i + 1);
        bool created;
        {
            // No other thread sees the queue yet; the lock costs nothing and keeps the rule
            // that the table is only touched under it.
            MutexLock guard(q.lock);
            created = q.dedup.create(g_config.queuehashsize) != 0;
        }
        if (!created) {
            log_message(LOG_LEVEL_ERROR, "Out of memory creating the hash table of queue %d",
                        i + 1);
            delete[] queues;
            return 0;
        }
    }
    // A negative interval reads as none: an item's due time must never lie before the
    // time it was queued, or the order of the queue would no longer be its due order.
    queues[0].delay = update_interval();
    queues[1].delay = 0;
    queues[2].delay = 0;
    queues[3].delay = 0;  // set by setQueue4Delay once the request switches are final
    g_queues = queues;
    mark_kinds();
    return 1;
}

void setQueue4Delay() {
    bool books = g_config.requestorderbooks == 1 || g_config.requestmbo == 1;
    g_queues[3].delay = books ? update_interval() : 0;
    mark_kinds();
}

void destroyUpdateQueues() {
    if (!g_queues) return;
    for (int i = 0; i < kQueueCount; ++i) {
        UpdateQueue& q = g_queues[i];
        MutexLock guard(q.lock);
        free_queue_list(q.head);
        q.head = q.tail = q.cursor = nullptr;
    }
    delete[] g_queues;
    g_queues = nullptr;
}

void useStatsBlock(StatsBlock* block) {
    for (int i = 0; i < kQueueCount; ++i) {
        UpdateQueue& q = g_queues[i];
        MutexLock guard(q.lock);
        QueueStats* target = &block->queue[i];
        if (q.stats == target) continue;
        // A block that outlived an earlier run keeps its cumulative counters, to which
        // this run adds; the gauges describe what waits now, in this run.
        target->queued = q.stats->queued;
        target->empty_items = q.stats->empty_items;
        target->updated += q.stats->updated;
        target->deduplicated += q.stats->deduplicated;
        target->failed += q.stats->failed;
        q.stats = target;
    }
}

uint32_t queueNumberForKind(uint8_t kind) {
    const uint8_t queue = kKindQueue[kind];
    if (queue != KIND_QUEUE_NEWS) return queue;
    return (g_config.requestorderbooks == 1 || g_config.requestmbo == 1) ? 2 : 4;
}

static void order_behind_waiting(UpdateQueue* q, const UpdateTemplate& t) REQUIRES(q->lock);

void addQueueItem(FieldValue* fields, UpdateTemplate& t) {
    UpdateQueue* q = queueForKind(t.kind);
    bool level_change = t.kind == KIND_BID_LEVEL || t.kind == KIND_ASK_LEVEL;
    // Level changes always go into the instrument's one kind-251 container. They are looked
    // up by that key even when a caller left out ITEM_KEYED: a second container under the
    // same key would leave the first unreachable for dropQueuedUpdate and later merges.
    if (level_change) write_kind_key(t.key, t.insref, KIND_ORDER_BOOK);
    bool keyed = level_change || (t.flags & ITEM_KEYED);
    bool wake = false;
    {
        MutexLock guard(q->lock);
        QueueItem* waiting = keyed ? q->dedup.lookup(t.key) : nullptr;
        if (!keyed && q->delay > 0) order_behind_waiting(q, t);
        if (waiting) {
            wake = merge_into(q, waiting, fields, t);
        } else if (level_change && !t.price) {
            if ((t.flags & ITEM_INSERT_BITS) && g_config.debug == 1) {
                log_message(LOG_LEVEL_PROBLEM,
                            "addQueueItem error no price. Insref:%" PRIu64
                            " Option: %u File:%s Line:%d",
                            t.insref, t.flags, ZEL_SOURCE_NAME, __LINE__);
            }
            freeFieldList(fields);
        } else {
            int64_t now = now_seconds();
            QueueItem* item =
                keyed ? allocQueueItemWithKey(t.key.data(), t.key.size()) : allocQueueItem();
            item->time = now;
            item->insref = t.insref;
            if (level_change) {
                item->kind = KIND_ORDER_BOOK;
                item->flags = t.flags | ITEM_KEYED;
                QueueItem* change = makeLevelChange(t.insref, t.kind, t.flags, t.price, fields);
                if (t.kind == KIND_BID_LEVEL) {
                    item->bid_changes = change;
                } else {
                    item->ask_changes = change;
                }
            } else if (t.kind == KIND_MBO) {
                item->kind = KIND_MBO;
                item->flags = t.flags;
                QueueItem* entry = allocQueueItem();
                entry->order_id = t.order_id;
                entry->insref = t.insref;
                entry->kind = KIND_MBO;
                entry->flags = t.flags;
                entry->fields = fields;
                item->bid_changes = entry;
            } else {
                item->kind = t.kind;
                item->flags = t.flags;
                item->fields = fields;
            }
            count_bytes(item, estimate_bytes(item));
            insert_new(q, item, now);
            if (keyed) q->dedup.insert(item);
            wake = true;
        }
    }
    if (wake) q->signal.release();
    // An instrument delete (queue 3) removes what the delayed queues still hold back for
    // the instrument; it is queued first, so those queues' threads meet it later or not at
    // all. One queue lock at a time.
    if (t.kind == KIND_INSTRUMENT_DELETE) {
        for (UpdateQueue* other : {&g_queues[0], &g_queues[3]}) {
            if (other == q || other->delay <= 0) continue;
            MutexLock guard(other->lock);
            int64_t now = now_seconds();
            const bool keep = g_config.keepdeleted == 1 && other == &g_queues[0];
            each_waiting_of_instrument(other, t.insref,
                                       keep ? WaitingAction::flush : WaitingAction::drop, now);
        }
    }
}

// `q` delays its items. A message that is not merged by key and ends or
// replaces what the instrument's waiting items hold must not be overtaken by them: a
// row delete (field 364) drops the waiting item of its own key, whose row it deletes;
// a day reset (kind 8) and a book clear (kind 7) make the instrument's waiting items in
// this queue due now, ahead of themselves.
static void order_behind_waiting(UpdateQueue* q, const UpdateTemplate& t) REQUIRES(q->lock) {
    if (t.flags & ITEM_DELETE) {
        if (t.key.empty()) return;
        QueueItem* w = q->dedup.lookup(t.key);
        if (w && !(w->flags & ITEM_EMPTY)) drop_waiting(q, w);
        return;
    }
    if (t.kind != KIND_INSTRUMENT_RESET && t.kind != KIND_BOOK_CLEAR) return;
    int64_t now = now_seconds();
    each_waiting_of_instrument(q, t.insref, WaitingAction::flush, now);
}

void dropQueuedUpdate(UpdateQueue* queue, uint64_t insref, uint32_t kind, int mode) {
    // The feed thread calls this for every reset and book clear; the key text lives in a
    // buffer that keeps its capacity, so the call allocates nothing.
    struct KeyBuffer;
    std::string& key = thread_owned<std::string, KeyBuffer>();
    write_kind_key(key, insref, kind);
    MutexLock guard(queue->lock);
    QueueItem* item = queue->dedup.lookup(key);
    if (!item) return;
    if (mode == 1) {
        bool empty = (item->flags & ITEM_EMPTY) != 0;
        unlinkQueueItem(queue, item);
        if (!empty) stat_sub(queue->stats->queued, 1);
        freeQueueItem(item);
    } else if (queue->delay > 0 && !(item->flags & ITEM_EMPTY)) {
        // The caller queues a message next that must come after this item (a reset): an
        // item that still waits out the delay is made due now, before it.
        flush_waiting(queue, item, now_seconds());
    } else {
        queue->dedup.remove(key, item);
        item->flags &= ~ITEM_KEYED;
    }
}

void unlinkQueueItem(UpdateQueue* queue, QueueItem* item) {
    list_unlink(queue, item);
    if ((item->flags & ITEM_KEYED) && item->key) queue->dedup.remove(item->key, item);
    if (item->flags & ITEM_EMPTY) stat_sub(queue->stats->empty_items, 1);
}

void putBackQueueItems(UpdateQueue* queue, QueueItem* head, QueueItem* tail) {
    if (head == nullptr) return;
    tail->next = queue->head;
    if (queue->head) {
        queue->head->prev = tail;
    } else {
        queue->tail = tail;
    }
    head->prev = nullptr;
    queue->head = head;
}

void appendQueueItem(UpdateQueue* queue, QueueItem* item) {
    item->next = nullptr;
    item->prev = queue->tail;
    if (queue->tail) {
        queue->tail->next = item;
    } else {
        queue->head = item;
    }
    queue->tail = item;
}

namespace {

// Puts `incoming` into the waiting item's list in place of `old`, or, for the news text
// (tag 2), as a continuation of the old text. A value that fits the old node is copied into
// it and the new node goes back to the cache at once: the waiting item keeps the nodes it
// was made with (close together in memory) and the cache stays warm. A longer value
// brings its node along instead.
void merge_one(QueueItem* item, FieldValue* old, FieldValue* incoming) {
    if (incoming->tag == 2) {
        if (incoming->value) fieldValueAppend(old, incoming->value);
        fieldValueFree(incoming);
        return;
    }
    if (fieldValueMoveInto(old, incoming)) return;
    incoming->prev = old->prev;
    incoming->next = old->next;
    if (old->prev) {
        old->prev->next = incoming;
    } else {
        item->fields = incoming;
    }
    if (old->next) old->next->prev = incoming;
    fieldValueFree(old);
}

void push_front(QueueItem* item, FieldValue* incoming) {
    incoming->prev = nullptr;
    incoming->next = item->fields;
    if (item->fields) item->fields->prev = incoming;
    item->fields = incoming;
}

}  // namespace

void mergeFields(QueueItem* item, FieldValue* fields) {
    // The rule, field by field in arrival order: replace the first field of the same tag,
    // or put the new field at the front. When the new fields' tags are all different (as
    // in every ordinary message) the same result comes from one walk over the waiting
    // item's list, whose nodes are the ones not in the cache, instead of one walk per new
    // field. Messages with repeated tags take the field-by-field way.
    constexpr int kMaxFast = 32;
    FieldValue* incoming[kMaxFast];
    int count = 0;
    bool one_walk = true;
    for (FieldValue* f = fields; f; f = f->next) {
        if (count == kMaxFast) {
            one_walk = false;
            break;
        }
        for (int k = 0; k < count && one_walk; ++k)
            one_walk = incoming[k]->tag != f->tag;
        if (!one_walk) break;
        incoming[count++] = f;
    }
    if (!one_walk) {
        while (fields) {
            FieldValue* next = fields->next;
            FieldValue* old = fieldListFind(item->fields, fields->tag);
            if (old) {
                merge_one(item, old, fields);
            } else {
                push_front(item, fields);
            }
            fields = next;
        }
        return;
    }
    int unmatched = count;
    for (FieldValue* old = item->fields; old && unmatched > 0;) {
        FieldValue* next = old->next;
        for (int k = 0; k < count; ++k) {
            if (incoming[k] && incoming[k]->tag == old->tag) {
                FieldValue* match = incoming[k];
                incoming[k] = nullptr;
                --unmatched;
                merge_one(item, old, match);
                break;
            }
        }
        old = next;
    }
    for (int k = 0; k < count; ++k) {
        if (incoming[k]) push_front(item, incoming[k]);
    }
}

QueueItem* addPlaceholder(UpdateQueue* queue, const QueueItem* item, int64_t now) {
    if (!item->key) {
        // Nothing could ever merge into a placeholder without a key.
        if (g_config.debug == 1) log_message(LOG_LEVEL_ERROR, "NULL key");
        return nullptr;
    }
    QueueItem* placeholder = allocQueueItem();
    placeholder->time = now;
    placeholder->flags = ITEM_KEYED | ITEM_EMPTY;
    placeholder->kind = item->kind;
    placeholder->insref = item->insref;
    placeholder->key = queueStrdup(item->key);
    queue->dedup.insert(placeholder);
    appendQueueItem(queue, placeholder);
    stat_add(queue->stats->empty_items, 1);
    return placeholder;
}

int64_t queueMemoryBytes() {
    return g_queued_bytes.load(std::memory_order_relaxed);
}

void beginQueueDrain() {
    g_producers_ended = false;
    g_drain_on = true;
}

void queuesProducersEnded() {
    g_producers_ended = true;
    if (!g_queues) return;
    for (int i = 0; i < kQueueCount; ++i) {
        UpdateQueue& q = g_queues[i];
        {
            MutexLock guard(q.lock);
            // Nothing new arrives: what waits out a delay is written now.
            q.delay = 0;
        }
        q.signal.release();
    }
}

void endQueueDrain() {
    g_drain_on = false;
    if (!g_queues) return;
    for (int i = 0; i < kQueueCount; ++i)
        g_queues[i].signal.release();
}

bool queueDrainOn() {
    return g_drain_on.load();
}

bool queueKeepsWriting(UpdateQueue* queue) {
    if (!g_drain_on.load()) return false;
    if (!g_producers_ended.load()) return true;
    MutexLock guard(queue->lock);
    // News whose last block never came cannot be written; placeholders hold nothing.
    for (const QueueItem* item = queue->head; item; item = item->next) {
        if (item->flags & ITEM_EMPTY) continue;
        if (item->kind == KIND_NEWS && (item->flags & ITEM_NEWS_MULTIPART) &&
            !(item->flags & ITEM_NEWS_LASTBLOCK))
            continue;
        return true;
    }
    return false;
}

void countQueuedByKind(UpdateQueue* queue, uint64_t (&by_kind)[256]) {
    MutexLock guard(queue->lock);
    for (const QueueItem* item = queue->head; item; item = item->next) {
        if (!(item->flags & ITEM_EMPTY)) ++by_kind[item->kind];
    }
}
