// update_queue.h - the four update queues and the operations that put items in and take
// them out.
//
// The feed thread puts items in with addQueueItem (and drops waiting ones with
// dropQueuedUpdate); the supervisor appends its status items to queue 2; each queue's
// database thread takes due items from the head, leaves placeholders for throttled keys and
// frees what it wrote. Everything reachable from an UpdateQueue except `signal`, `delay`,
// `number` and the counters' readers is guarded by that queue's `lock`. No code holds two
// queue locks at once; queue 1's lock also guards the instrument type table
// (instruments.h). The fields and functions below say so with GUARDED_BY and REQUIRES
// (zel/base/thread_annotations.h), which the Clang build checks. Only list, table and
// counter work is done under a lock, so the feed thread never waits on the database beyond
// that. In a delayed queue a message that ends or replaces an instrument's data (reset, book
// clear, row delete, instrument delete) is never overtaken by an older item of that
// instrument that still waits out its delay.
// The queues also keep the estimate of the memory their items hold (the feed thread
// pauses above a ceiling) and the drain state of a stop (the database threads write on).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <semaphore>
#include <string_view>

#include "zel/base/mutex.h"
#include "zel/queues/queue_item.h"
#include "zel_stats.h"

// Key text -> waiting QueueItem. The table stores no key of its own: it points at the
// item's `key`, which the item owns for as long as it is registered, so lookups and inserts
// never allocate. Open addressing with linear probing and backward-shift deletion.
class DedupTable {
  public:
    DedupTable() = default;
    ~DedupTable();
    DedupTable(const DedupTable&) = delete;
    DedupTable& operator=(const DedupTable&) = delete;

    // Sizes the table for about `size_hint` entries; drops any entries. Returns 1, or 0
    // when memory runs out.
    int create(uint32_t size_hint);
    void destroy();

    QueueItem* lookup(std::string_view key) const;
    // Registers `item` under item->key (which must be set and stay unchanged while it is
    // registered). An entry already there under the same key is replaced.
    void insert(QueueItem* item);
    // Removes the entry for `key`; returns the item that was registered, or null. With
    // `only` given, the entry is removed only when it is that item.
    QueueItem* remove(std::string_view key, const QueueItem* only = nullptr);

    size_t count() const { return count_; }
    size_t tablesize() const { return capacity_; }

    static uint64_t hash(std::string_view key);

  private:
    struct Slot {
        uint64_t hash;
        QueueItem* item;  // null: free slot
    };
    void grow();
    size_t find_slot(std::string_view key, uint64_t h) const;

    Slot* slots_ = nullptr;
    size_t capacity_ = 0;  // power of two
    size_t mask_ = 0;
    size_t count_ = 0;
};

// Adds to / subtracts from a StatsBlock counter. The counters are read without a lock by
// the supervisor and by other processes; relaxed atomic stores keep those reads whole.
// Every writer of one counter holds the same lock (or is the counter's only writer), so a
// load and a store are enough.
inline void stat_add(uint64_t& counter, uint64_t delta) {
    std::atomic_ref<uint64_t> ref(counter);
    ref.store(ref.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}
inline void stat_sub(uint64_t& counter, uint64_t delta) {
    std::atomic_ref<uint64_t> ref(counter);
    ref.store(ref.load(std::memory_order_relaxed) - delta, std::memory_order_relaxed);
}
inline uint64_t stat_read(const uint64_t& counter) {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(counter))
        .load(std::memory_order_relaxed);
}

struct UpdateQueue {
    Mutex lock;
    // The waiting items in take order. The items themselves are guarded by `lock` too while
    // they are linked here, which the analysis cannot see through the pointers.
    QueueItem* head GUARDED_BY(lock) = nullptr;
    QueueItem* tail GUARDED_BY(lock) = nullptr;
    QueueItem* cursor GUARDED_BY(lock) = nullptr;  // last item put in by the delayed insert
    DedupTable dedup GUARDED_BY(lock);
    // This queue's five counters. Until start-up points them into the shared statistics
    // block (useStatsBlock) they live in `own_stats`. The counters live in the statistics
    // block, which other processes read, so they carry no annotation: their writers hold
    // `lock` (the queued gauge) or are the counter's only writer. `stats` itself is set
    // before the threads start.
    QueueStats* stats = &own_stats;
    QueueStats own_stats{};
    // One release per new item (and per news merge) wakes the database thread, which
    // waits with try_acquire_for.
    std::counting_semaphore<2147483647> signal{0};
    int32_t delay = 0;    // seconds; set before any item is queued, read without the lock
    uint32_t number = 0;  // 1 to 4
    // The message kinds this queue takes; set with the delays, read-only afterwards.
    bool kind_here[256] = {};
};

inline constexpr int kQueueCount = 4;

// The four queues; queue n is g_queues[n - 1]. Null until createUpdateQueues.
extern UpdateQueue* g_queues;

// Creates the four queues (dedup tables of `queuehashsize` entries, delays of queues 1 to 3
// from `updateinterval`). Returns 1, or 0 when memory runs out (logged).
int createUpdateQueues();
// Queue 4's delay depends on the final request switches: call once the table definitions
// have been read, before anything is queued.
void setQueue4Delay();
// Frees every waiting item (iteratively) and the queues. Only when no thread uses them.
void destroyUpdateQueues();
// Points each queue's counters at its group in `block` (group n is block->queue[n-1]),
// carrying over what the private groups have counted so far. Called by start-up before
// the threads start.
void useStatsBlock(StatsBlock* block);

// Estimated heap bytes held by all waiting items of the four queues (items, fields, texts,
// sub-items), counted when an item is made or a news text grows and taken off when the
// item is freed. Read without a lock.
int64_t queueMemoryBytes();

// Stopping with a drain. While a drain is on, the database threads keep writing after
// `running` was cleared; once the producers have ended (queuesProducersEnded) each thread
// ends as soon as its queue holds nothing more it could write. queuesProducersEnded also
// makes every waiting item due at once (the delays are set to 0). endQueueDrain stops
// the drain (at its deadline): the threads end after their current pass.
void beginQueueDrain();
void queuesProducersEnded();
void endQueueDrain();
bool queueDrainOn();
// Whether the queue's database thread is to go on although `running` is 0. Takes the
// queue's lock (only to look at the head of the queue).
bool queueKeepsWriting(UpdateQueue* queue) EXCLUDES(queue->lock);
// What is left in a queue, by message kind: the real items (placeholders not counted).
// Takes the queue's lock; walks the whole queue.
void countQueuedByKind(UpdateQueue* queue, uint64_t (&by_kind)[256]) EXCLUDES(queue->lock);

// Queue number (1 to 4) of a message kind, from the kinds table (kKindQueue in
// zel/base/message_kinds.h). The news kinds (KIND_QUEUE_NEWS) go to queue 2 while order
// books or orders are requested and to queue 4 otherwise.
uint32_t queueNumberForKind(uint8_t kind);
inline UpdateQueue* queueForKind(uint8_t kind) {
    return &g_queues[queueNumberForKind(kind) - 1];
}

// Queues an update: merges it into the waiting item with the same key, or makes a new
// item. Takes ownership of `fields` (may be null). Never fails towards the caller.
// `tmpl.key` may be rewritten (kinds 14 and 15 use the instrument's kind-251 key).
void addQueueItem(FieldValue* fields, UpdateTemplate& tmpl);

// Drops the waiting item of `kind` for `insref` (key "insref:kind") from `queue`. Mode 1
// unlinks and frees it; mode 0 only unregisters its key and clears ITEM_KEYED, so it is
// still written but nothing more merges into it. Takes the queue's lock.
void dropQueuedUpdate(UpdateQueue* queue, uint64_t insref, uint32_t kind, int mode)
    EXCLUDES(queue->lock);

// --- Lock held by the caller (REQUIRES) --------------------------------------------------

// Takes `item` out of the queue's list (moving `cursor` to its successor if it pointed at
// it), unregisters its key when ITEM_KEYED, lowers empty_items when ITEM_EMPTY. The item's
// key is kept (the database thread may still use it); its links are cleared.
void unlinkQueueItem(UpdateQueue* queue, QueueItem* item) REQUIRES(queue->lock);
// Merges `fields` into `item` (ownership of the list passes to the call): a new tag goes to
// the front of the item's list, tag 2 is appended to the old text, any other tag replaces
// the old value, null included. The lock is that of the queue `item` waits in, which the
// call does not name, so it carries no annotation.
void mergeFields(QueueItem* item, FieldValue* fields);
// Appends `item` at the tail (no counters touched).
void appendQueueItem(UpdateQueue* queue, QueueItem* item) REQUIRES(queue->lock);
// Puts a batch the database thread took back in front of the head, in its order, so that
// it is taken again from its first item. `head` .. `tail` is a chain linked through
// next/prev (head's prev and tail's next null); both null: nothing to do. No counter, key
// or cursor is touched: the items stayed counted as queued while they were out, and their
// keys were given up when they were taken.
void putBackQueueItems(UpdateQueue* queue, QueueItem* head, QueueItem* tail) REQUIRES(queue->lock);
// Leaves at the tail, in the place of the keyed `item` just taken, an empty placeholder
// (ITEM_KEYED | ITEM_EMPTY, same kind and insref, a copy of the key, `time` = now) that is
// registered under the key and counted in empty_items, so that updates of the key during
// the next `delay` seconds merge into it. Returns it (null when the item had no key, which
// is logged with `debug`).
QueueItem* addPlaceholder(UpdateQueue* queue, const QueueItem* item, int64_t now)
    REQUIRES(queue->lock);
