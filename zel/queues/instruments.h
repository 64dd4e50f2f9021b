// instruments.h - the instrument table (order book records with their price ladders) and
// the instrument type table.
//
// The instrument table is created by start-up and changed only by the feed thread; the
// supervisor reads only its entry count (instrumentCount, safe from any thread). Records are
// never removed while the program runs. The instrument type table marks the instruments
// whose type (field 348 of basic data) is 3; the feed thread changes it and the database
// thread of queue 1 reads it, both holding queue 1's lock (g_queues[0].lock) around every
// call of the InstrumentType functions below (REQUIRES: the Clang build checks it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "zel/base/mutex.h"
#include "zel/base/thread_annotations.h"
#include "zel/queues/update_queue.h"

// One price level of a ladder: level 1 is the first node.
struct PriceLevel {
    PriceLevel* next;
    PriceLevel* prev;
    char* price;  // owned copy
};

// The order book record of one instrument (allocated zeroed).
struct Instrument {
    uint64_t insref;
    PriceLevel* asks;  // ask side ladder, level 1 first
    PriceLevel* bids;  // bid side ladder, level 1 first
    uint32_t bid_count;
    uint32_t ask_count;
};

struct InstrumentType {
    uint64_t insref;
    int32_t type;
};

// Creates both tables with room for `size_hint` instruments each. Returns 1, or 0 when
// memory runs out (logged). Frees any earlier tables.
int createInstrumentTables(uint32_t size_hint);
// Frees both tables, every record and every ladder.
void destroyInstrumentTables();

// Feed thread only.
Instrument* instrumentLookup(uint64_t insref);
Instrument* instrumentLookupOrCreate(uint64_t insref);
// Number of records (any thread) and the table's slot count (published once at start-up).
size_t instrumentCount();
size_t instrumentTableSize();

// The lock of the instrument type table: queue 1's lock, g_queues[0].lock. Callers take it
// through this name (MutexLock hold(instrumentTypeLock())), which is what the rules below
// name: the analysis does not tell g_queues[0] from g_queues[1], so a rule written as
// g_queues[0].lock would also be met by holding another queue's lock.
inline Mutex& instrumentTypeLock() {
    return g_queues[0].lock;
}

// Queue 1's lock held by the caller. A looked-up entry is read before the lock is given
// back (the feed thread may remove it then).
const InstrumentType* instrumentTypeLookup(uint64_t insref) REQUIRES(instrumentTypeLock());
void instrumentTypeSet(uint64_t insref, int32_t type) REQUIRES(instrumentTypeLock());
void instrumentTypeRemove(uint64_t insref) REQUIRES(instrumentTypeLock());
size_t instrumentTypeCount() REQUIRES(instrumentTypeLock());
