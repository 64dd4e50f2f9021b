/*
 * zel_stats.h - the statistics block that zel publishes in named shared memory.
 *
 * 26 little-endian unsigned 64-bit counters, 208 bytes, no header, no padding. zel writes
 * it; `zel --status` and the performance counter extension read it from other processes.
 * The layout is shared by separately built binaries and must never change.
 *
 * Every counter is a plain aligned 64-bit word with one writing thread at a time (see the
 * comments); readers take no lock and may see a momentarily inconsistent set.
 */
#ifndef ZEL_STATS_H
#define ZEL_STATS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The five counters of one update queue (a 40-byte group). */
typedef struct QueueStats {
    uint64_t queued;       /* gauge: real items waiting; changed under the queue's lock */
    uint64_t empty_items;  /* gauge: empty placeholders waiting; under the queue's lock */
    uint64_t updated;      /* statements executed successfully; the queue's database thread */
    uint64_t deduplicated; /* updates merged into a waiting item; under the queue's lock */
    uint64_t failed;       /* statements that failed; the queue's database thread */
} QueueStats;

typedef struct StatsBlock {
    uint64_t received_messages;         /* feed thread */
    uint64_t connected_to_feed;         /* feed thread; supervisor when it cuts the feed */
    QueueStats queue[4];                /* queue n is queue[n-1] */
    uint64_t templates_version_loaded;  /* status-table writer */
    uint64_t templates_version_feed;    /* status-table writer */
    uint64_t instrument_hash_tablesize; /* start-up */
    uint64_t instrument_hash_count;     /* supervisor */
} StatsBlock;

#define ZEL_STATS_SIZE 208

/* The named section zel creates is longer than the block: two gauges follow it. Readers that
 * know only the block map its 208 bytes and never see them; zel --status and the exporter
 * read them when the section has them (zeros otherwise). Whoever creates the section first
 * (the counter extension may) creates it at ZEL_STATS_SECTION_SIZE, since a section cannot
 * grow once made. */
typedef struct StatsExtension {
    uint64_t feed_paused;  /* 1 while the feed thread does not read because the queues hold
                            * more memory than queuememorylimit; feed thread */
    uint64_t queued_bytes; /* estimated bytes of the waiting queue items; supervisor */
} StatsExtension;

typedef struct StatsSection {
    StatsBlock block;
    StatsExtension ext;
} StatsSection;

#define ZEL_STATS_SECTION_SIZE 224
#define ZEL_STATS_COUNTERS 26

#ifdef __cplusplus
#define ZEL_STATIC_ASSERT static_assert
#else
#define ZEL_STATIC_ASSERT _Static_assert
#endif

ZEL_STATIC_ASSERT(sizeof(QueueStats) == 40, "a queue group is 40 bytes");
ZEL_STATIC_ASSERT(sizeof(StatsBlock) == ZEL_STATS_SIZE, "the block is 208 bytes");
ZEL_STATIC_ASSERT(offsetof(StatsSection, ext) == ZEL_STATS_SIZE, "the gauges follow the block");
ZEL_STATIC_ASSERT(sizeof(StatsSection) == ZEL_STATS_SECTION_SIZE, "the section is 224 bytes");
ZEL_STATIC_ASSERT(offsetof(StatsBlock, received_messages) == 0, "counter 0");
ZEL_STATIC_ASSERT(offsetof(StatsBlock, connected_to_feed) == 8, "counter 1");
ZEL_STATIC_ASSERT(offsetof(StatsBlock, queue) == 16, "queue groups start at counter 2");
ZEL_STATIC_ASSERT(offsetof(StatsBlock, queue) + 3 * sizeof(QueueStats) + offsetof(QueueStats, failed) == 168,
                  "counter 21 is the failed counter of queue 4");
ZEL_STATIC_ASSERT(offsetof(StatsBlock, templates_version_loaded) == 176, "counter 22");
ZEL_STATIC_ASSERT(offsetof(StatsBlock, templates_version_feed) == 184, "counter 23");
ZEL_STATIC_ASSERT(offsetof(StatsBlock, instrument_hash_tablesize) == 192, "counter 24");
ZEL_STATIC_ASSERT(offsetof(StatsBlock, instrument_hash_count) == 200, "counter 25 ends at byte 207");

#ifdef __cplusplus
}
#endif

#endif /* ZEL_STATS_H */
