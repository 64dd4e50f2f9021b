// perf_object.h - the one performance object of the extension: its 26 counters, which of
// them a value name selects, their values from the statistics block, and the bytes that
// Collect returns.
//
// Pure functions over plain data: no OS calls, no state, no locks. perf_dll.cpp calls them
// from the exports, which the performance library never calls concurrently.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zel_stats.h"

constexpr unsigned kPerfCounterCount = 26;

// The registry's base indices of the counter texts: the object's name is First Counter
// and its help First Help; counter i's are 2(i + 1) above them.
struct PerfTitleIndices {
    uint32_t first_counter = 0;
    uint32_t first_help = 0;
};

struct PerfSelection {
    bool selected[kPerfCounterCount] = {};
    unsigned count = 0;
};

// The counters that a value name asks for. "Global" in any case anywhere in the name asks
// for all; otherwise the name is read as decimal numbers separated by spaces: the object's
// own index asks for all, a counter's name index for that counter, anything else (foreign
// indices, words such as "Costly") for nothing. A null name counts as "Global".
PerfSelection perf_select_counters(const wchar_t* value_name, uint32_t first_counter);

// The 26 published values from counters 0 to 21 of the block, each read once.
void perf_counter_values(const volatile uint64_t* block, uint64_t values[kPerfCounterCount]);

// The most bytes the object of `selected` counters takes, padding included.
constexpr size_t perf_object_bound(unsigned selected) {
    return 64 + 40 * static_cast<size_t>(selected) + 4 + 7 + 8 * static_cast<size_t>(selected);
}

// Writes the object for `selection` at `dest` (any alignment; at least
// perf_object_bound(selection.count) bytes) and returns the bytes written. The counter
// values start on an 8-byte boundary of memory; the padding before them is zero.
uint32_t perf_write_object(unsigned char* dest, const PerfSelection& selection,
                           const uint64_t values[kPerfCounterCount], PerfTitleIndices titles,
                           int64_t perf_time, int64_t perf_freq);
