// block_reader.h - one reading of zel's statistics block, as every answer of the exporter
// needs it.
//
// Each request reads the block afresh (open, map read-only, copy, unmap, close): the
// exporter never holds the block between requests, never writes it and never creates it,
// so it can neither block zel nor keep a block of an ended run alive. Any worker thread may
// call read_block at any time; the only shared state is the last failure logged, under its
// own lock.
#pragma once

#include <string>

#include "zel_stats.h"

namespace exporter {

struct BlockReading {
    StatsBlock block{};      // all zero when the block is missing or unreadable
    StatsExtension ext{};    // the gauges behind the block; zero when the section lacks them
    bool present = false;    // a block of that name exists and was read
    bool writer_alive = false;  // a running zel holds it: the same test as zel --status
    std::string problem;     // why an existing block could not be read; empty otherwise
};

BlockReading read_block(const std::string& map_name);

}  // namespace exporter
