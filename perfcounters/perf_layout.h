// perf_layout.h - the performance library's data structures as this extension writes them.
//
// The object header, the counter definitions and the counter block that Collect hands to
// the performance library, in the published 64-bit layout (the title pointer fields of the
// 32-bit layout are 32-bit placeholders there). Declared here rather than taken from the
// toolchain's headers so that the layout is checked at compile time against the fixed
// sizes and offsets, whatever a header version declares; perf_dll.cpp also checks them
// against the system header where one exists. Plain data, no state, no locks.
#pragma once

#include <cstddef>
#include <cstdint>

struct PerfObjectType {
    uint32_t total_byte_length;       // header, definitions and the counter block
    uint32_t definition_length;       // header and definitions
    uint32_t header_length;           // this header: 64
    uint32_t object_name_title_index;
    uint32_t object_name_title;       // a pointer field in the 32-bit layout; 0 here
    uint32_t object_help_title_index;
    uint32_t object_help_title;       // likewise 0
    uint32_t detail_level;
    uint32_t num_counters;
    int32_t default_counter;          // -1: none
    int32_t num_instances;            // -1: an object without instances
    uint32_t code_page;               // 0: instance names would be wide text
    int64_t perf_time;                // the performance counter at collection
    int64_t perf_freq;                // its ticks per second
};

struct PerfCounterDefinition {
    uint32_t byte_length;             // this definition: 40
    uint32_t counter_name_title_index;
    uint32_t counter_name_title;      // a pointer field in the 32-bit layout; 0 here
    uint32_t counter_help_title_index;
    uint32_t counter_help_title;      // likewise 0
    int32_t default_scale;
    uint32_t detail_level;
    uint32_t counter_type;
    uint32_t counter_size;            // bytes of the value: 8
    uint32_t counter_offset;          // from the start of the counter block
};

struct PerfCounterBlock {
    uint32_t byte_length;             // the block's length, this field included
};

static_assert(sizeof(PerfObjectType) == 64, "object header is 64 bytes");
static_assert(offsetof(PerfObjectType, object_name_title_index) == 12);
static_assert(offsetof(PerfObjectType, object_help_title_index) == 20);
static_assert(offsetof(PerfObjectType, detail_level) == 28);
static_assert(offsetof(PerfObjectType, num_counters) == 32);
static_assert(offsetof(PerfObjectType, default_counter) == 36);
static_assert(offsetof(PerfObjectType, num_instances) == 40);
static_assert(offsetof(PerfObjectType, code_page) == 44);
static_assert(offsetof(PerfObjectType, perf_time) == 48);
static_assert(offsetof(PerfObjectType, perf_freq) == 56);
static_assert(sizeof(PerfCounterDefinition) == 40, "counter definition is 40 bytes");
static_assert(offsetof(PerfCounterDefinition, counter_help_title_index) == 12);
static_assert(offsetof(PerfCounterDefinition, default_scale) == 20);
static_assert(offsetof(PerfCounterDefinition, detail_level) == 24);
static_assert(offsetof(PerfCounterDefinition, counter_type) == 28);
static_assert(offsetof(PerfCounterDefinition, counter_size) == 32);
static_assert(offsetof(PerfCounterDefinition, counter_offset) == 36);
static_assert(sizeof(PerfCounterBlock) == 4, "counter block header is 4 bytes");

// Counter types and levels of the published interface.
constexpr uint32_t kPerfCounterLargeRawcount = 0x00010100;  // a 64-bit value shown as is
constexpr uint32_t kPerfCounterBulkCount = 0x10410500;      // a 64-bit count shown per second
constexpr uint32_t kPerfDetailAdvanced = 200;
constexpr int32_t kPerfNoInstances = -1;
