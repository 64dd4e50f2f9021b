// known_block.h - the statistics block the extension's tests write, and the 26 values the
// extension must publish from it (written out by hand, not computed the extension's way).
// Shared by the test and the writer process it starts.
#pragma once

#include <cstdint>

#include "zel_stats.h"

// The block every test writes: B[0] = 200 messages, the feed connected, queue q (0-based)
// with queued 10+q, empty 20+q, updated 1000(q+1), deduplicated 5(q+1) (sum 50), failed
// 7(q+1); the unpublished counters 22 to 25 hold markers that must never appear.
inline void fill_block(StatsBlock* block) {
    block->received_messages = 200;
    block->connected_to_feed = 1;
    for (int q = 0; q < 4; ++q) {
        block->queue[q].queued = 10 + q;
        block->queue[q].empty_items = 20 + q;
        block->queue[q].updated = 1000 * (q + 1);
        block->queue[q].deduplicated = 5 * (q + 1);
        block->queue[q].failed = 7 * (q + 1);
    }
    block->templates_version_loaded = 0xA1A1A1A1A1A1A1A1;
    block->templates_version_feed = 0xA2A2A2A2A2A2A2A2;
    block->instrument_hash_tablesize = 0xA3A3A3A3A3A3A3A3;
    block->instrument_hash_count = 0xA4A4A4A4A4A4A4A4;
}

// The 26 published values of that block, written out by hand.
inline const uint64_t kExpected[26] = {
    200, 200, 50, 25, 50, 10000, 10000, 46, 70, 1,
    10, 1000, 5, 20,   // queue 1: queued, updated, deduplicated, empty
    11, 2000, 10, 21,  // queue 2
    12, 3000, 15, 22,  // queue 3
    13, 4000, 20, 23,  // queue 4
};

