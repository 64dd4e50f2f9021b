// sql_quote_upserts.cpp - one database thread writing quote upserts through the null
// module: how many items per second the thread takes, builds and executes, and how many
// heap allocations it makes per item.
//
// The null module (dbdrv_null) is loaded through the program's own loader; the table
// definitions are examples/zel.tabledef. Each round fills queue 1 with distinct quote items
// (six fields each, keyed, one instrument per item, so nothing merges) through
// addQueueItem, then starts a database thread and times it until the queue is drained.
// Every item costs one try-update (the null module reports one row, so the INSERT never
// follows) and the current-value slot copies of bid and ask.
//
// Allocations are counted by replacing malloc, calloc, realloc and free in this executable
// (the program's own code allocates only through them and operator new, which reaches
// malloc); the filling phase and the draining phase are counted apart.
//
//   sql_quote_upserts [items per round] [rounds] [transactions]
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "zel/base/config.h"
#include "zel/base/run_state.h"
#include "zel/modload/module_loader.h"
#include "zel/queues/instruments.h"
#include "zel/queues/update_queue.h"
#include "zel/sql/db_thread.h"
#include "zel/sql/db_worker.h"
#include "zel/tabledef/table_definitions.h"

// ---- Counting allocator --------------------------------------------------------------------

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);
}

namespace {
std::atomic<uint64_t> g_allocations{0};
}

extern "C" void* malloc(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}
extern "C" void free(void* pointer) {
    __libc_free(pointer);
}

// ---- The benchmark ---------------------------------------------------------------------------

namespace {

FieldValue* quote_fields(uint64_t i) {
    char bid[32];
    char ask[32];
    char volume[32];
    std::snprintf(bid, sizeof bid, "%" PRIu64 ".%02u", 100 + i % 50,
                  static_cast<unsigned>(i % 100));
    std::snprintf(ask, sizeof ask, "%" PRIu64 ".%02u", 101 + i % 50, static_cast<unsigned>(i % 97));
    std::snprintf(volume, sizeof volume, "%" PRIu64, i % 10000);
    FieldValue* head = nullptr;
    FieldValue* tail = nullptr;
    fieldListAppend(&head, &tail, fieldValueCreate(5, bid));
    fieldListAppend(&head, &tail, fieldValueCreate(6, ask));
    fieldListAppend(&head, &tail, fieldValueCreate(19, volume));
    fieldListAppend(&head, &tail, fieldValueCreate(20, volume));
    fieldListAppend(&head, &tail, fieldValueCreate(3, "2024-06-15"));
    fieldListAppend(&head, &tail, fieldValueCreate(4, "10:15:30.123456"));
    return head;
}

bool drained() {
    UpdateQueue& q = g_queues[0];
    MutexLock hold(q.lock);
    return q.head == nullptr && stat_read(q.stats->queued) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t items = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    g_config.transactions = argc > 3 ? std::atoi(argv[3]) : 0;
    g_config.silent = 1;
    g_config.queuehashsize = 100000;

    if (load_module(ZEL_NULL_MODULE_PATH) != 1) return 1;
    g_tabledefs.create(100);
    if (load_table_definitions(ZEL_EXAMPLE_TABLEDEF, g_tabledefs, g_config) != 1) {
        std::fprintf(stderr, "cannot read %s\n", ZEL_EXAMPLE_TABLEDEF);
        return 1;
    }
    if (createUpdateQueues() != 1 || createInstrumentTables(100000) != 1) return 1;
    init_db_workers(g_module, g_module_executebatch, g_config);
    g_workers[0].connection = g_module.mod_create(g_config.module_params());

    std::printf("quote upserts, one database thread, null module, transactions %d\n",
                g_config.transactions);
    std::printf(
        "round  items    seconds  items/s     allocs/item (queueing)  allocs/item (database "
        "thread)\n");
    std::vector<double> rates;
    UpdateTemplate t;
    for (int round = 1; round <= rounds; ++round) {
        uint64_t before_fill = g_allocations.load();
        for (uint64_t i = 0; i < items; ++i) {
            t.reset();
            t.kind = 2;
            t.flags = ITEM_KEYED;
            t.insref = 1000000 + i;
            t.key = std::to_string(t.insref) + ":2";
            addQueueItem(quote_fields(i), t);
        }
        uint64_t before_drain = g_allocations.load();

        running.store(1);
        auto start = std::chrono::steady_clock::now();
        std::thread worker([] { database_thread_main(g_workers[0]); });
        while (!drained())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        auto end = std::chrono::steady_clock::now();
        uint64_t after_drain = g_allocations.load();
        running.store(0);
        g_queues[0].signal.release();
        worker.join();

        double seconds = std::chrono::duration<double>(end - start).count();
        double rate = static_cast<double>(items) / seconds;
        rates.push_back(rate);
        std::printf("%5d  %7" PRIu64 "  %7.3f  %9.0f   %22.2f  %29.2f\n", round, items, seconds,
                    rate,
                    static_cast<double>(before_drain - before_fill) / static_cast<double>(items),
                    static_cast<double>(after_drain - before_drain) / static_cast<double>(items));
    }
    double best = 0;
    for (double r : rates)
        best = r > best ? r : best;
    std::printf("best %.0f items/s; statements counted as updated: %" PRIu64 "\n", best,
                stat_read(g_queues[0].stats->updated));
    destroyUpdateQueues();
    destroyInstrumentTables();
    return 0;
}
