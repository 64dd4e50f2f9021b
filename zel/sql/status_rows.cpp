// status_rows.cpp - the status table's counter rows and "Last write" (see status_rows.h).
// Source unit "sqlbuilds".
//
// Row names are the program's own constants, so they are written into the text as they
// are; values are numbers formatted here. The caches live here rather than in the
// StatsBlock; the two template versions are also published in their StatsBlock fields once
// their rows are written, so that other processes see them.
#include "zel/sql/status_rows.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>

#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/queues/update_queue.h"
#include "zel/sql/execute.h"
#include "zel/sql/status_time.h"

namespace {

constexpr uint64_t kNeverWritten = ~uint64_t{0};

struct StatusCaches {
    bool queues_primed = false;
    uint64_t transactions = kNeverWritten;
    uint64_t connected = kNeverWritten;
    uint64_t strangled = kNeverWritten;
    uint64_t databaseupdates = kNeverWritten;
    uint64_t failed = kNeverWritten;
    uint64_t databasequeue = kNeverWritten;
    // What the template-version rows hold. Kept apart from the StatsBlock words that publish
    // the versions: a rolled-back transaction forgets these, while --status keeps showing
    // the versions that are known. A version of 0 is not known yet and is not written.
    uint64_t templates_loaded = 0;
    uint64_t templates_feed = 0;
    uint64_t queue[kQueueCount] = {};
    uint64_t queue_updates[kQueueCount] = {};
};

// Only queue 2's database thread writes status rows.
StatusCaches g_caches;

// The template-version caches are StatsBlock words that other processes read: stored whole.
void store_cache(uint64_t* cache, uint64_t value) {
    std::atomic_ref<uint64_t>(*cache).store(value, std::memory_order_relaxed);
}

// The one rule for a status row: the UPDATE in try-update mode, and the INSERT when the
// UPDATE changed no row (a failed UPDATE included: the INSERT reports what is wrong).
// `value` is a text the program made (a number or a time stamp), written as it is.
// Returns 1 when the row was written, 0 when the INSERT failed too, -3 for a rerun.
int upsert_row(DbWorker& worker, const MessageDef& def, const char* name, const char* value) {
    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("UPDATE %s SET value = '%s' WHERE name = '%s'", def.table, value, name);
    int r = execute(worker, EXEC_TRY_UPDATE, SQLBUILDS_LABEL);
    if (r >= 1) return 1;
    if (r == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    sql.clear();
    sql.appendf("INSERT INTO %s (name,value) VALUES ('%s','%s')", def.table, name, value);
    r = execute(worker, EXEC_PLAIN, SQLBUILDS_LABEL);
    if (r == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    return r >= 0 ? 1 : 0;
}

// "date time" of one instant, so that a row never shows a new day with an old time.
struct Stamp {
    char text[sizeof(ClockText::text) * 2 + 1];
};
Stamp status_stamp() {
    int64_t now = now_seconds();
    ClockText date = date_text_at(now, KIND_STATUS);
    ClockText time = time_text_at(now, KIND_STATUS);
    Stamp stamp;
    std::snprintf(stamp.text, sizeof stamp.text, "%s %s", date.c_str(), time.c_str());
    return stamp;
}

// Writes the row when its value differs from the cache.
int update_if_changed(DbWorker& worker, const MessageDef& def, const char* name, uint64_t value,
                      uint64_t* cache) {
    if (stat_read(*cache) == value) return 1;
    return set_status_value(worker, def, name, value, cache);
}

// A template-version row, written when it differs from what the row holds; once written, the
// version is published in its StatsBlock word for other processes.
int update_template_version(DbWorker& worker, const MessageDef& def, const char* name,
                            uint64_t value, uint64_t* written, uint64_t* published) {
    int r = update_if_changed(worker, def, name, value, written);
    if (r == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    if (*written == value) store_cache(published, value);
    return r;
}

}  // namespace

void reset_status_row_caches() {
    g_caches = StatusCaches{};
}

void forget_status_rows_written() {
    // Every row is written again, the template versions' included; their StatsBlock words,
    // which --status shows, are left as they are.
    reset_status_row_caches();
}

int set_status_value(DbWorker& worker, const MessageDef& def, const char* name, uint64_t value,
                     uint64_t* cache) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIu64, value);
    int r = upsert_row(worker, def, name, text);
    if (r == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    // A row that could not be written keeps its old cache, so it is tried again next time.
    if (r == 1) store_cache(cache, value);
    return 1;
}

int mark_started(DbWorker& worker, const MessageDef* def) {
    if (!def) return 1;
    int started = upsert_row(worker, *def, "Startup time", status_stamp().text);
    int running = upsert_row(worker, *def, "Running", "1");
    return std::min(started, running);
}

int mark_stopped(DbWorker& worker, const MessageDef* def) {
    if (!def) return 1;
    return upsert_row(worker, *def, "Running", "0");
}

int status_rows(DbWorker& worker, const QueueItem& /*item*/, const MessageDef* def,
                StatsBlock* stats) {
    if (!g_caches.queues_primed) {
        for (int i = 0; i < kQueueCount; ++i) {
            g_caches.queue[i] = kNeverWritten;
            g_caches.queue_updates[i] = kNeverWritten;
        }
        g_caches.queues_primed = true;
    }
    if (!def) return 1;

    if (update_if_changed(worker, *def, "Transactions", stat_read(stats->received_messages),
                          &g_caches.transactions) == ZEL_RESULT_RERUN)
        return ZEL_RESULT_RERUN;
    if (update_if_changed(worker, *def, "Connected", stat_read(stats->connected_to_feed),
                          &g_caches.connected) == ZEL_RESULT_RERUN)
        return ZEL_RESULT_RERUN;
    if (update_template_version(worker, *def, "Templates Version (Loaded)",
                                g_config.tabledef_version, &g_caches.templates_loaded,
                                &stats->templates_version_loaded) == ZEL_RESULT_RERUN)
        return ZEL_RESULT_RERUN;
    if (update_template_version(worker, *def, "Templates Version (Feed)",
                                g_config.feed_template_version.load(), &g_caches.templates_feed,
                                &stats->templates_version_feed) == ZEL_RESULT_RERUN)
        return ZEL_RESULT_RERUN;

    uint64_t queued = 0;
    uint64_t deduplicated = 0;
    uint64_t updated = 0;
    uint64_t failed = 0;
    for (int i = 0; i < kQueueCount; ++i) {
        const QueueStats& q = stats->queue[i];
        char name[32];
        std::snprintf(name, sizeof name, "Queue %d", i + 1);
        // A rerun here matters as much as anywhere: the transaction, and with it every
        // item before this one in the batch, is gone.
        if (update_if_changed(worker, *def, name, stat_read(q.queued), &g_caches.queue[i]) ==
            ZEL_RESULT_RERUN)
            return ZEL_RESULT_RERUN;
        std::snprintf(name, sizeof name, "Databaseupdates %d", i + 1);
        if (update_if_changed(worker, *def, name, stat_read(q.updated),
                              &g_caches.queue_updates[i]) == ZEL_RESULT_RERUN)
            return ZEL_RESULT_RERUN;
        queued += stat_read(q.queued);
        deduplicated += stat_read(q.deduplicated);
        updated += stat_read(q.updated);
        failed += stat_read(q.failed);
    }
    if (update_if_changed(worker, *def, "Strangled", deduplicated, &g_caches.strangled) ==
        ZEL_RESULT_RERUN)
        return ZEL_RESULT_RERUN;
    if (update_if_changed(worker, *def, "Databaseupdates", updated, &g_caches.databaseupdates) ==
        ZEL_RESULT_RERUN)
        return ZEL_RESULT_RERUN;
    if (update_if_changed(worker, *def, "Failed databaseupdates", failed, &g_caches.failed) ==
        ZEL_RESULT_RERUN)
        return ZEL_RESULT_RERUN;
    if (update_if_changed(worker, *def, "Databasequeue", queued, &g_caches.databasequeue) ==
        ZEL_RESULT_RERUN)
        return ZEL_RESULT_RERUN;

    return upsert_row(worker, *def, "Last write", status_stamp().text) == ZEL_RESULT_RERUN
               ? ZEL_RESULT_RERUN
               : 1;
}
