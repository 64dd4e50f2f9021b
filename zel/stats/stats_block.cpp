// stats_block.cpp - g_stats, its private home and the shared block's life.
//
// Only the main thread calls create_stats_block and release_stats_block (start-up and
// shutdown, while no counting thread runs), so the section record needs no lock.
#include "zel/stats/stats_block.h"

#include <cstring>

#include "platform/shared_memory.h"
#include "zel/frame/log.h"

namespace {
// Counters have a home before the shared block exists (unit tests, one-shot modes) and
// after it is gone.
StatsBlock g_private_block{};
SharedSection g_section;  // main thread only
}  // namespace

StatsBlock* g_stats = &g_private_block;

bool create_stats_block(const char* map_name) {
    if (g_section.address) return true;
    int error = 0;
    if (platform_shm_create(map_name, sizeof(StatsBlock), &g_section, &error)) {
        g_stats = static_cast<StatsBlock*>(g_section.address);
        return true;
    }
    log_message(LOG_LEVEL_PROBLEM,
                "Cannot create shared memory for the performance monitor counters %d", error);
    std::memset(&g_private_block, 0, sizeof g_private_block);
    g_stats = &g_private_block;
    return false;
}

bool stats_block_is_shared() {
    return g_section.address != nullptr;
}

void release_stats_block() {
    if (!g_section.address) return;
    // The last values stay readable in-process (the shutdown's final log lines).
    std::memcpy(&g_private_block, g_section.address, sizeof g_private_block);
    g_stats = &g_private_block;
    platform_shm_close(&g_section);
}
