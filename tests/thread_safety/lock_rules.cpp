// Proof that the Clang stage of scripts/test still checks the queues' lock rules. Compiled
// there with -fsyntax-only -Wthread-safety -Werror: as it is it must compile cleanly, and
// with each ZEL_BREAK_* macro below (one at a time) it must fail with a thread-safety
// error. Were the annotations to expand to nothing under Clang, or a GUARDED_BY or REQUIRES
// to be dropped from the headers, the broken variants would compile and the stage fails.
// Not part of any build target.
#include "zel/queues/instruments.h"
#include "zel/queues/update_queue.h"

// A guarded field read without the queue's lock.
QueueItem* first_waiting(UpdateQueue& q) {
#ifndef ZEL_BREAK_FIELD
    MutexLock hold(q.lock);
#endif
    return q.head;
}

// A "lock held by the caller" function called without it.
void take_first(UpdateQueue& q) {
#ifndef ZEL_BREAK_CALLER_HOLDS
    MutexLock hold(q.lock);
#endif
    if (QueueItem* item = q.head) unlinkQueueItem(&q, item);
}

// The database thread's pattern: the lock is given back while writing and taken again
// before the queue is touched.
void write_pass(UpdateQueue& q) {
    UniqueMutexLock lock(q.lock);
    QueueItem* item = q.head;
    if (item) unlinkQueueItem(&q, item);
    lock.unlock();
    // ... the item is written without the lock ...
#ifndef ZEL_BREAK_RELOCK
    lock.lock();
#endif
    if (item) putBackQueueItems(&q, item, item);
}

// The instrument type table belongs to queue 1's lock, not to any queue's: holding queue
// 2's lock must not do.
bool type_is_3(uint64_t insref) {
#ifndef ZEL_BREAK_TYPE_TABLE
    MutexLock hold(instrumentTypeLock());
#else
    MutexLock hold(g_queues[1].lock);
#endif
    const InstrumentType* entry = instrumentTypeLookup(insref);
    return entry && entry->type == 3;
}
