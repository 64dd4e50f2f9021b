// supervisor.cpp - the supervisor thread (see supervisor.h).
//
// The counters are read without locks (a moment old at worst); the connection states
// through mod_get_status, a single-byte read the module allows from any thread. Only the
// status item touches shared lists, under queue 2's lock.
#include "zel/run/supervisor.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <thread>

#include "platform/account.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/run_state.h"
#include "zel/feed/feed_session.h"
#include "zel/modload/module_loader.h"
#include "zel/queues/instruments.h"
#include "zel/queues/queue_item.h"
#include "zel/queues/update_queue.h"
#include "zel/sql/db_worker.h"
#include "zel/stats/stats_block.h"

namespace {

std::atomic<SupervisorSleep> g_sleep{nullptr};

void sleep_one_second() {
    if (SupervisorSleep sleep = g_sleep.load()) {
        sleep();
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

uint64_t read_counter(const uint64_t& counter) {
    return stat_read(counter);
}

void store_counter(uint64_t& counter, uint64_t value) {
    std::atomic_ref<uint64_t>(counter).store(value, std::memory_order_relaxed);
}

// Queues a status item unless queue 2's first waiting item is one already: one item is
// enough to bring the rows up to date, however long the database thread takes to get to it.
void queue_status_item() {
    if (!g_queues) return;
    UpdateQueue& queue = g_queues[1];
    MutexLock hold(queue.lock);
    if (queue.head && queue.head->kind == KIND_STATUS) return;
    QueueItem* item = allocQueueItem();
    item->kind = KIND_STATUS;
    item->time = now_seconds();
    appendQueueItem(&queue, item);
    stat_add(queue.stats->queued, 1);
    queue.signal.release();
}

// The connection watch: marks the database down or up again for the feed thread, and cuts
// the feed once the outage has lasted long enough.
void watch_connections(SupervisorState& state, int64_t now) {
    DbConnection* down = nullptr;
    uint8_t down_status = 0;
    for (int i = 0; i < kDbWorkerCount; ++i) {
        DbConnection* connection = g_workers[i].connection;
        uint8_t status = g_module.mod_get_status ? g_module.mod_get_status(connection) : 0;
        if (status == ZEL_STATUS_CONNECTED) continue;
        if (status == ZEL_STATUS_STOP) {
            // A stop was requested: the connection gives up on purpose, no outage.
            database_down = 0;
            continue;
        }
        down = connection;
        down_status = status;
        break;
    }

    if (down) {
        const char* text =
            g_module.mod_geterrorstring ? g_module.mod_geterrorstring(down) : nullptr;
        if (database_down.load() == 0) {
            state.down_since = now;
            database_down = down_status;
            log_message(LOG_LEVEL_PROBLEM, "Disconnected from database: \"%s\"", text ? text : "");
        } else if (now - state.down_since >= kFeedCutAfterSeconds &&
                   read_counter(g_stats->connected_to_feed) == 1) {
            feed_disconnect();
            store_counter(g_stats->connected_to_feed, 0);
            log_message(LOG_LEVEL_PROBLEM,
                        "Database connection down for too long, disconnecting from Corvalinder");
        }
    } else if (database_down.load() != 0) {
        log_message(LOG_LEVEL_INFO, "Reconnected to database");
        database_down = 0;
    }
}

}  // namespace

void set_supervisor_sleep(SupervisorSleep sleep) {
    g_sleep.store(sleep);
}

void supervisor_refresh() {
    store_counter(g_stats->instrument_hash_count, instrumentCount());
    int64_t bytes = queueMemoryBytes();
    store_counter(g_stats_ext->queued_bytes, bytes > 0 ? static_cast<uint64_t>(bytes) : 0);
}

void print_statistics(FILE* out, int64_t now) {
    struct tm local = local_tm(now);
    const StatsBlock& stats = *g_stats;
    uint64_t queued = 0, updated = 0, deduplicated = 0, failed = 0;
    for (const QueueStats& group : stats.queue) {
        queued += read_counter(group.queued);
        updated += read_counter(group.updated);
        deduplicated += read_counter(group.deduplicated);
        failed += read_counter(group.failed);
    }
    std::fprintf(out,
                 "%02d:%02d:%02d  T: %" PRIu64 " S:%" PRIu64 " D:%" PRIu64 " F:%" PRIu64
                 " DQ:%" PRIu64 "\n",
                 local.tm_hour, local.tm_min, local.tm_sec, read_counter(stats.received_messages),
                 deduplicated, updated, failed, queued);
    for (int n = 1; n <= kQueueCount; ++n) {
        const QueueStats& group = stats.queue[n - 1];
        std::fprintf(out,
                     "%02d:%02d:%02d  Q%d: Queue: %" PRIu64 " Deduplicated:%" PRIu64
                     " Updates:%" PRIu64 " Empty:%" PRIu64 "\n",
                     local.tm_hour, local.tm_min, local.tm_sec, n, read_counter(group.queued),
                     read_counter(group.deduplicated), read_counter(group.updated),
                     read_counter(group.empty_items));
    }
    std::fflush(out);
}

void supervisor_check(SupervisorState& state, FILE* out) {
    int64_t now = now_seconds();
    if (g_config.silent != 1) print_statistics(out, now);
    watch_connections(state, now);
    queue_status_item();
}

void supervisor_thread_main() {
    active_threads.fetch_add(1);
    // The supervisor reads the connections' states and queues status rows as the configured
    // account, as the database threads write them.
    if (g_config.logon_token != -1) {
        int code = platform_account_impersonate(g_config.logon_token);
        if (code != 0)
            log_message(LOG_LEVEL_PROBLEM,
                        "The supervisor could not switch to the Windows domain user. Error: %d", code);
    }
    database_down = 0;
    SupervisorState state;
    for (;;) {
        for (int second = 0; second < 5; ++second) {
            if (running.load() == 0) {
                active_threads.fetch_sub(1);
                return;
            }
            sleep_one_second();
            supervisor_refresh();
        }
        supervisor_check(state, stdout);
    }
}
