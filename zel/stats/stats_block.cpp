// stats_block.cpp - g_stats and its private home.
#include "zel/stats/stats_block.h"

namespace {
// Counters have a home before the shared block exists (unit tests, one-shot modes).
StatsBlock g_private_block{};
}  // namespace

StatsBlock* g_stats = &g_private_block;
