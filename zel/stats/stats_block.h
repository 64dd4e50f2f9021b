// stats_block.h - the process's StatsBlock: where every counter of the run lives.
//
// g_stats always points at a usable block: a private zeroed one from program start,
// replaced by the shared block when start-up calls create_stats_block (on the main thread,
// before any thread that counts is started), and pointed back at private memory by
// release_stats_block at shutdown, after those threads have ended. Which thread writes
// which counter is listed in include/zel_stats.h.
#pragma once

#include <cstddef>

#include "zel_stats.h"

extern StatsBlock* g_stats;

// The gauges behind the block (StatsExtension, include/zel_stats.h), in the same section.
extern StatsExtension* g_stats_ext;

// Creates or opens the shared block named `map_name` and points g_stats at it. An existing
// block keeps its cumulative counters; the gauges that describe a run (connected to the
// feed, instruments, the extension) start at 0. When the block cannot be made, logs the failure at level 3 and
// points g_stats at a zeroed private block instead. Returns true when the block is shared.
bool create_stats_block(const char* map_name);
// Whether g_stats is the shared block (false: private memory).
bool stats_block_is_shared();
// Unmaps the shared block, if any, and points g_stats at private memory again.
void release_stats_block();
