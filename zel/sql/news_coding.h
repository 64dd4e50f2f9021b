// news_coding.h - the rows that say which instruments and companies a news item concerns
// (kind 255), and the rows of packed lists (kinds 23, 24, 25, 246 and 250). Source unit
// "sqlbuilds".
//
// Both carry several rows in one field: news coding two blank-separated lists (ISINs and
// company numbers) consumed in step, a packed list a table of up to 20 columns per row with
// "|" between rows and blanks between columns ("\" makes the next character literal). Both
// replace what is stored: they delete the old rows, then insert one row per element.
//
// Called by the database thread that drains the item's queue; they run their statements
// themselves (the DELETE plain, each INSERT in try-insert mode, so one refused row does not
// count as a failed update and the next row is still written). No lock is taken.
#pragma once

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"
#include "zel/tabledef/table_definitions.h"

// Returns 1 when done (rows that the database refused included), -1 when the table
// definitions lack what the rows need (logged), -3 when a statement asks for a rerun.
int news_coding(DbWorker& worker, const QueueItem& item);

// `def` is the MessageDef of the item's kind. Returns 1 or -3 as above.
int packed_list_rows(DbWorker& worker, const QueueItem& item, const MessageDef& def);
