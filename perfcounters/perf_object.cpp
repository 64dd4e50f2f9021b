// perf_object.cpp - the counter table, the value-name selection and the object's bytes.
//
// Called only by perf_dll.cpp; no state of its own. The block is read through a volatile
// pointer because zel writes it from another process while we read: every counter is one
// aligned 64-bit load, taken once per collection.
#include "perfcounters/perf_object.h"

#include <cstring>

#include "perfcounters/perf_layout.h"

namespace {

// Where counter i's value comes from. Sums run over the four queues.
enum class Source {
    received,         // B[0]
    connected,        // B[1]
    sum_deduplicated,
    dedup_percent,    // sum of deduplicated x 100 / B[0]
    sum_updated,
    sum_queued,
    sum_failed,
    queued,           // of queue `queue`
    updated,
    deduplicated,
    empty_items,
};

struct CounterSpec {
    uint32_t type;
    Source source;
    int queue;  // 0 to 3 for the per-queue sources
};

constexpr CounterSpec counter_def(uint32_t type, Source source, int queue = 0) {
    return CounterSpec{type, source, queue};
}

constexpr uint32_t kRaw = kPerfCounterLargeRawcount;
constexpr uint32_t kBulk = kPerfCounterBulkCount;

// The published order; the counter-text files (zel_perfcounters.h/.ini) follow it.
constexpr CounterSpec kCounters[kPerfCounterCount] = {
    counter_def(kRaw, Source::received),          counter_def(kBulk, Source::received),
    counter_def(kRaw, Source::sum_deduplicated),  counter_def(kRaw, Source::dedup_percent),
    counter_def(kBulk, Source::sum_deduplicated), counter_def(kRaw, Source::sum_updated),
    counter_def(kBulk, Source::sum_updated),      counter_def(kRaw, Source::sum_queued),
    counter_def(kRaw, Source::sum_failed),        counter_def(kRaw, Source::connected),
    counter_def(kRaw, Source::queued, 0),         counter_def(kRaw, Source::updated, 0),
    counter_def(kRaw, Source::deduplicated, 0),   counter_def(kRaw, Source::empty_items, 0),
    counter_def(kRaw, Source::queued, 1),         counter_def(kRaw, Source::updated, 1),
    counter_def(kRaw, Source::deduplicated, 1),   counter_def(kRaw, Source::empty_items, 1),
    counter_def(kRaw, Source::queued, 2),         counter_def(kRaw, Source::updated, 2),
    counter_def(kRaw, Source::deduplicated, 2),   counter_def(kRaw, Source::empty_items, 2),
    counter_def(kRaw, Source::queued, 3),         counter_def(kRaw, Source::updated, 3),
    counter_def(kRaw, Source::deduplicated, 3),   counter_def(kRaw, Source::empty_items, 3),
};

// Counters 0 to 21 of the block: received, connected, then the four 5-counter groups.
constexpr unsigned kBlockCountersRead = 22;
constexpr unsigned kGroupQueued = 0, kGroupEmpty = 1, kGroupUpdated = 2, kGroupDeduplicated = 3,
                   kGroupFailed = 4;

uint64_t group_value(const uint64_t* block, int queue, unsigned member) {
    return block[2 + 5 * queue + member];
}

uint64_t group_sum(const uint64_t* block, unsigned member) {
    uint64_t sum = 0;
    for (int q = 0; q < 4; ++q) sum += group_value(block, q, member);
    return sum;
}

bool is_space(wchar_t c) {
    return c == L' ' || c == L'\t';
}

bool contains_global(const wchar_t* name) {
    static const char kWord[] = "global";
    for (const wchar_t* start = name; *start; ++start) {
        size_t i = 0;
        for (; kWord[i]; ++i) {
            wchar_t c = start[i];
            if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
            if (c != static_cast<wchar_t>(kWord[i])) break;
        }
        if (!kWord[i]) return true;
    }
    return false;
}

PerfSelection select_all() {
    PerfSelection all;
    for (bool& s : all.selected) s = true;
    all.count = kPerfCounterCount;
    return all;
}

void write_u32(unsigned char* at, uint32_t value) {
    std::memcpy(at, &value, sizeof value);
}

}  // namespace

PerfSelection perf_select_counters(const wchar_t* value_name, uint32_t first_counter) {
    if (!value_name || contains_global(value_name)) return select_all();
    PerfSelection selection;
    const wchar_t* p = value_name;
    while (*p) {
        while (is_space(*p)) ++p;
        if (!*p) break;
        // One token up to the next space. A token that is not all digits, or a number too
        // large for an index, names nothing of ours; it must not wrap into one of ours.
        bool digits_only = true;
        bool too_large = false;
        uint64_t number = 0;
        for (; *p && !is_space(*p); ++p) {
            if (*p < L'0' || *p > L'9') {
                digits_only = false;
                continue;
            }
            number = number * 10 + static_cast<uint64_t>(*p - L'0');
            if (number > UINT32_MAX) {
                too_large = true;
                number = UINT32_MAX;  // stays bounded however long the token runs
            }
        }
        if (!digits_only || too_large) continue;
        if (number == first_counter) return select_all();
        for (unsigned i = 0; i < kPerfCounterCount; ++i) {
            if (number == uint64_t{first_counter} + 2 * (i + 1) && !selection.selected[i]) {
                selection.selected[i] = true;
                ++selection.count;
            }
        }
    }
    return selection;
}

void perf_counter_values(const volatile uint64_t* block, uint64_t values[kPerfCounterCount]) {
    // One snapshot, so that a sum and its parts come from the same reads.
    uint64_t b[kBlockCountersRead];
    for (unsigned k = 0; k < kBlockCountersRead; ++k) b[k] = block[k];
    for (unsigned i = 0; i < kPerfCounterCount; ++i) {
        const CounterSpec& c = kCounters[i];
        uint64_t v = 0;
        switch (c.source) {
        case Source::received: v = b[0]; break;
        case Source::connected: v = b[1]; break;
        case Source::sum_deduplicated: v = group_sum(b, kGroupDeduplicated); break;
        case Source::dedup_percent: {
            uint64_t dedup = group_sum(b, kGroupDeduplicated);
            // In 128 bits: a long-running count times 100 must not wrap into a small ratio.
            if (b[0] != 0 && dedup != 0)
                v = static_cast<uint64_t>(static_cast<unsigned __int128>(dedup) * 100 / b[0]);
            break;
        }
        case Source::sum_updated: v = group_sum(b, kGroupUpdated); break;
        case Source::sum_queued: v = group_sum(b, kGroupQueued); break;
        case Source::sum_failed: v = group_sum(b, kGroupFailed); break;
        case Source::queued: v = group_value(b, c.queue, kGroupQueued); break;
        case Source::updated: v = group_value(b, c.queue, kGroupUpdated); break;
        case Source::deduplicated: v = group_value(b, c.queue, kGroupDeduplicated); break;
        case Source::empty_items: v = group_value(b, c.queue, kGroupEmpty); break;
        }
        values[i] = v;
    }
}

uint32_t perf_write_object(unsigned char* dest, const PerfSelection& selection,
                           const uint64_t values[kPerfCounterCount], PerfTitleIndices titles,
                           int64_t perf_time, int64_t perf_freq) {
    const uint32_t count = selection.count;
    const uint32_t definition_length = sizeof(PerfObjectType) + sizeof(PerfCounterDefinition) * count;
    unsigned char* block = dest + definition_length;
    // The first value follows the block's length field, moved up to an 8-byte boundary of
    // memory: readers load the values as aligned 64-bit words.
    const uintptr_t first_value = reinterpret_cast<uintptr_t>(block) + sizeof(PerfCounterBlock);
    const uint32_t padding = static_cast<uint32_t>((8 - first_value % 8) % 8);
    const uint32_t block_length = sizeof(PerfCounterBlock) + padding + 8 * count;
    const uint32_t total = definition_length + block_length;

    PerfObjectType object{};
    object.total_byte_length = total;
    object.definition_length = definition_length;
    object.header_length = sizeof(PerfObjectType);
    object.object_name_title_index = titles.first_counter;
    object.object_help_title_index = titles.first_help;
    object.detail_level = kPerfDetailAdvanced;
    object.num_counters = count;
    object.default_counter = -1;
    object.num_instances = kPerfNoInstances;
    object.code_page = 0;
    object.perf_time = perf_time;
    object.perf_freq = perf_freq;
    std::memcpy(dest, &object, sizeof object);

    unsigned char* at = dest + sizeof(PerfObjectType);
    uint32_t offset = sizeof(PerfCounterBlock) + padding;
    unsigned char* value_at = block + offset;
    for (unsigned i = 0; i < kPerfCounterCount; ++i) {
        if (!selection.selected[i]) continue;
        PerfCounterDefinition definition{};
        definition.byte_length = sizeof(PerfCounterDefinition);
        definition.counter_name_title_index = titles.first_counter + 2 * (i + 1);
        definition.counter_help_title_index = titles.first_help + 2 * (i + 1);
        definition.default_scale = 0;
        definition.detail_level = kPerfDetailAdvanced;
        definition.counter_type = kCounters[i].type;
        definition.counter_size = sizeof(uint64_t);
        definition.counter_offset = offset;
        std::memcpy(at, &definition, sizeof definition);
        at += sizeof definition;
        std::memcpy(value_at, &values[i], sizeof values[i]);
        value_at += sizeof(uint64_t);
        offset += sizeof(uint64_t);
    }
    write_u32(block, block_length);
    std::memset(block + sizeof(PerfCounterBlock), 0, padding);
    return total;
}
