// stats_block.cpp - g_stats, its private home and the shared block's life.
//
// Only the main thread calls create_stats_block and release_stats_block (start-up and
// shutdown, while no counting thread runs), so the section record needs no lock.
#include "zel/stats/stats_block.h"

#include <cstring>

#include "platform/shared_memory.h"
#include "zel/base/log.h"

namespace {
// Counters have a home before the shared block exists (unit tests, one-shot modes) and
// after it is gone.
StatsSection g_private_section{};
StatsBlock& g_private_block = g_private_section.block;
SharedSection g_section;  // main thread only
}  // namespace

StatsBlock* g_stats = &g_private_section.block;
StatsExtension* g_stats_ext = &g_private_section.ext;

bool create_stats_block(const char* map_name) {
    if (g_section.address) return true;
    int error = 0;
    if (platform_shm_create(map_name, sizeof(StatsSection), &g_section, &error)) {
        auto* section = static_cast<StatsSection*>(g_section.address);
        g_stats = &section->block;
        g_stats_ext = &section->ext;
        // A block left by an earlier run still shows that run's state.
        g_stats->connected_to_feed = 0;
        g_stats->instrument_hash_count = 0;
        g_stats_ext->feed_paused = 0;
        g_stats_ext->queued_bytes = 0;
        return true;
    }
    log_message(LOG_LEVEL_PROBLEM,
                "Cannot create shared memory for the performance monitor counters %d", error);
    std::memset(&g_private_section, 0, sizeof g_private_section);
    g_stats = &g_private_block;
    g_stats_ext = &g_private_section.ext;
    return false;
}

bool stats_block_is_shared() {
    return g_section.address != nullptr;
}

void release_stats_block() {
    if (!g_section.address) return;
    // The last values stay readable in-process (the shutdown's final log lines).
    std::memcpy(&g_private_section, g_section.address, sizeof g_private_section);
    g_stats = &g_private_block;
    g_stats_ext = &g_private_section.ext;
    platform_shm_close(&g_section);
}
