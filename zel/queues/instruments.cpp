// instruments.cpp - the instrument table and the instrument type table.
//
// The instrument table is the feed thread's: it holds an order book record per instrument
// that has sent order book data, never shrinks while the program runs, and only its entry
// count is read by another thread (the supervisor), through an atomic copy. The instrument
// type table is shared with queue 1's database thread; every call on it is made with queue
// 1's lock held (instruments.h), so it needs no lock of its own: it is GUARDED_BY that lock.
#include "zel/queues/instruments.h"

#include <atomic>
#include <cstdlib>

#include "zel/base/log.h"
#include "zel/queues/order_book.h"
#include "zel/queues/u64_table.h"

namespace {

U64Table<Instrument*> g_instruments;        // feed thread
std::atomic<size_t> g_instrument_count{0};  // mirror of g_instruments.count() for the supervisor
U64Table<InstrumentType> g_types GUARDED_BY(instrumentTypeLock());

// The type table is made and freed only while no other thread runs: by start-up once the
// queues exist, and at the end after the queues are gone (destroyUpdateQueues comes first),
// so queue 1's lock cannot be taken there. The analysis has no word for "before the
// threads start", hence these two, which do nothing but that, are left out of it.
bool create_type_table(uint32_t size_hint) NO_THREAD_SAFETY_ANALYSIS {
    return g_types.create(size_hint) != 0;
}
void destroy_type_table() NO_THREAD_SAFETY_ANALYSIS {
    g_types.destroy();
}

void free_instruments() {
    g_instruments.for_each([](uint64_t, Instrument*& record) {
        clearLadders(record);
        std::free(record);
    });
    g_instruments.destroy();
    g_instrument_count.store(0, std::memory_order_relaxed);
}

}  // namespace

int createInstrumentTables(uint32_t size_hint) {
    free_instruments();
    destroy_type_table();
    if (!g_instruments.create(size_hint) || !create_type_table(size_hint)) {
        log_message(LOG_LEVEL_ERROR, "Out of memory creating the instrument tables");
        g_instruments.destroy();
        destroy_type_table();
        return 0;
    }
    return 1;
}

void destroyInstrumentTables() {
    free_instruments();
    destroy_type_table();
}

Instrument* instrumentLookup(uint64_t insref) {
    Instrument** found = g_instruments.lookup(insref);
    return found ? *found : nullptr;
}

Instrument* instrumentLookupOrCreate(uint64_t insref) {
    if (Instrument** found = g_instruments.lookup(insref)) return *found;
    auto* record = static_cast<Instrument*>(std::calloc(1, sizeof(Instrument)));
    if (!record) {
        log_message(LOG_LEVEL_ERROR, "Out of memory for the order book of instrument %llu",
                    static_cast<unsigned long long>(insref));
        return nullptr;
    }
    record->insref = insref;
    if (!g_instruments.insert(insref, record)) {
        log_message(LOG_LEVEL_ERROR, "Out of memory for the order book of instrument %llu",
                    static_cast<unsigned long long>(insref));
        std::free(record);
        return nullptr;
    }
    g_instrument_count.store(g_instruments.count(), std::memory_order_relaxed);
    return record;
}

size_t instrumentCount() {
    return g_instrument_count.load(std::memory_order_relaxed);
}

size_t instrumentTableSize() {
    return g_instruments.tablesize();
}

const InstrumentType* instrumentTypeLookup(uint64_t insref) {
    return g_types.lookup(insref);
}

void instrumentTypeSet(uint64_t insref, int32_t type) {
    if (!g_types.insert(insref, InstrumentType{insref, type})) {
        log_message(LOG_LEVEL_ERROR, "Out of memory in the instrument type table");
    }
}

void instrumentTypeRemove(uint64_t insref) {
    g_types.remove(insref);
}

size_t instrumentTypeCount() {
    return g_types.count();
}
