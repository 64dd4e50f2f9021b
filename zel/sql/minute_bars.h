// minute_bars.h - the one-minute bar of an instrument, rebuilt from its trades (source unit
// "sqlbuilds").
//
// After a trade is written the feed side queues a bar request (kind 245) for the trade's
// minute; this builder reads that minute's trades back from the trades table and writes
// the bar (first, high, low and last of the price and of the second price series, volume,
// turnover), or deletes it when no trade of the minute counts any more. Rebuilding from the
// table, rather than adding trades up as they come, makes corrections and cancellations of
// stored trades show in the bar.
//
// Called by queue 2's database thread with the MessageDef of kind 245; it runs its
// statements itself. No lock is taken.
#pragma once

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"
#include "zel/tabledef/table_definitions.h"

// Returns -3 when a statement asks for a rerun, the negative status of a failed query,
// otherwise 1 (also when the table definitions lack a column or the item lacks its date
// or time: then nothing is written).
int minute_bar(DbWorker& worker, const QueueItem& item, const MessageDef& def);
