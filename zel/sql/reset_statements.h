// reset_statements.h - the day-reset statements of quote-like rows (source unit "sqlbuilds").
//
// A reset sets every data column of one instrument's row to NULL and stamps the row with
// the date and time of the reset. Four tables are reset this way: quotes (kind 2), best bid
// and offer quotes (kind 39), NOII (kind 22) and greeks (kind 37); the columns to clear
// come from the reset lists that the table-definition reader leaves in g_config.
//
// Called by the database thread of queue 1 for a day reset (kind 8: quotes, NOII, greeks,
// each when requested) and a BBO reset (kind 247), with the MessageDef of the item's own
// kind, whose instrument column names the row. The builders only write worker.statement;
// the caller executes it (plain mode) when they return 1. No lock is taken.
#pragma once

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"
#include "zel/tabledef/table_definitions.h"

// Each returns 1 when worker.statement holds the reset, 0 when the reset table has no
// column to clear (logged once per process), -1 when the table's date or time column is
// not defined (logged).
int quote_reset(DbWorker& worker, const QueueItem& item, const MessageDef& def);
int quote_bbo_reset(DbWorker& worker, const QueueItem& item, const MessageDef& def);
int noii_reset(DbWorker& worker, const QueueItem& item, const MessageDef& def);
int greeks_reset(DbWorker& worker, const QueueItem& item, const MessageDef& def);
