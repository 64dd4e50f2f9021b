// zel_perfcounters.h - symbol file of the counter texts, read by lodctr with
// zel_perfcounters.ini. Each offset is relative to the "First Counter" and "First Help"
// values that lodctr assigns: the object at 0, counter i at 2(i + 1), in the order in
// which the extension publishes its counters. Never reorder.
#define ZEL_OBJECT 0
#define ZEL_RECEIVED 2
#define ZEL_RECEIVED_RATE 4
#define ZEL_DEDUPLICATED 6
#define ZEL_DEDUPLICATED_PERCENT 8
#define ZEL_DEDUPLICATED_RATE 10
#define ZEL_UPDATED 12
#define ZEL_UPDATED_RATE 14
#define ZEL_QUEUED 16
#define ZEL_FAILED 18
#define ZEL_CONNECTED 20
#define ZEL_Q1_QUEUED 22
#define ZEL_Q1_UPDATED 24
#define ZEL_Q1_DEDUPLICATED 26
#define ZEL_Q1_EMPTY 28
#define ZEL_Q2_QUEUED 30
#define ZEL_Q2_UPDATED 32
#define ZEL_Q2_DEDUPLICATED 34
#define ZEL_Q2_EMPTY 36
#define ZEL_Q3_QUEUED 38
#define ZEL_Q3_UPDATED 40
#define ZEL_Q3_DEDUPLICATED 42
#define ZEL_Q3_EMPTY 44
#define ZEL_Q4_QUEUED 46
#define ZEL_Q4_UPDATED 48
#define ZEL_Q4_DEDUPLICATED 50
#define ZEL_Q4_EMPTY 52
