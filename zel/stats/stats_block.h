// stats_block.h - the process's StatsBlock: where every counter of the run lives.
//
// g_stats always points at a usable, zeroed-at-first block: a private one from program
// start, replaced by the shared block when start-up creates it (create_stats_block, before
// any thread that counts is started) and put back to private memory by release_stats_block
// at shutdown, after those threads have ended. The counters' writers are listed in
// include/zel_stats.h.
#pragma once

#include "zel_stats.h"

extern StatsBlock* g_stats;
