// status_report.cpp - the --status reader.
//
// It reads a copy of the block without any lock (each counter is an aligned 64-bit word,
// so each value is whole, though the set may be momentarily inconsistent). The block is
// never created here: a reader that created it would own it, and the program starting
// later could not take it over for writing. "running" is whether a writer holds the
// block's lock right now; a block left by an ended run still holds that run's counters.
#include "zel/stats/status_report.h"

#include <cinttypes>

#include "platform/shared_memory.h"
#include "zel/base/config.h"
#include "zel/stats/stats_block.h"
#include "zel_stats.h"

int print_status_report(const char* map_name, FILE* out) {
    StatsSection section;
    const StatsBlock& block = section.block;
    bool running = false;
    int error = 0;
    // A block made by a reader that knows only the 208 bytes reads as zeros beyond them.
    switch (platform_shm_read(map_name, &section, sizeof section, &running, &error)) {
        case SHM_READ_OPEN_FAILED:
            std::fprintf(out, "Cannot create shared memory mapping: %u\n",
                         static_cast<unsigned>(error));
            return 1;
        case SHM_READ_MAP_FAILED:
            std::fprintf(out, "Cannot map the shared memory into process: %u\n",
                         static_cast<unsigned>(error));
            return 1;
        case SHM_READ_OK:
        case SHM_READ_MISSING:
            break;
    }
    uint64_t deduplicated = 0, updated = 0, failed = 0, queued = 0;
    for (const QueueStats& queue : block.queue) {
        deduplicated += queue.deduplicated;
        updated += queue.updated;
        failed += queue.failed;
        queued += queue.queued;
    }
    std::fprintf(out, "received-messages: %" PRIu64 "\n", block.received_messages);
    std::fprintf(out, "connected-to-feed: %" PRIu64 "\n", running ? block.connected_to_feed : 0);
    std::fprintf(out, "deduplicated-messages: %" PRIu64 "\n", deduplicated);
    std::fprintf(out, "database-updates-ok: %" PRIu64 "\n", updated);
    std::fprintf(out, "database-updated-failed: %" PRIu64 "\n", failed);
    std::fprintf(out, "database-updates-queued: %" PRIu64 "\n", queued);
    for (int n = 1; n <= 4; ++n) {
        const QueueStats& queue = block.queue[n - 1];
        std::fprintf(out, "q%d-queue: %" PRIu64 "\n", n, queue.queued);
        std::fprintf(out, "q%d-empty-items: %" PRIu64 "\n", n, queue.empty_items);
        std::fprintf(out, "q%d-updated: %" PRIu64 "\n", n, queue.updated);
        std::fprintf(out, "q%d-deduplicated: %" PRIu64 "\n", n, queue.deduplicated);
        std::fprintf(out, "q%d-failed: %" PRIu64 "\n", n, queue.failed);
    }
    std::fprintf(out, "instrument-hash-size: %" PRIu64 "/%" PRIu64 "\n",
                 block.instrument_hash_count, block.instrument_hash_tablesize);
    std::fprintf(out, "templates-version: %" PRIu64 "/%" PRIu64 "\n",
                 block.templates_version_loaded, block.templates_version_feed);
    std::fprintf(out, "running: %d\n", running ? 1 : 0);
    std::fprintf(out, "version: %s\n", kZelVersion);
    std::fprintf(out, "feed-paused: %d\n", running && section.ext.feed_paused ? 1 : 0);
    std::fprintf(out, "queued-memory-bytes: %" PRIu64 "\n", running ? section.ext.queued_bytes : 0);
    std::fflush(out);
    return 0;
}
