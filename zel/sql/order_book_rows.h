// order_book_rows.h - the order book row of one price level change (source unit
// "sqlbuilds").
//
// Level changes reach the database thread as the sub-items of a kind-251 container, one
// per price and side, each an insert, an update or a delete of that level (the feed side
// has already combined the changes that came while it waited). This builds the one
// statement of one change; the side is a column of its own ("B" bid, "A" ask).
//
// Called by queue 4's database thread for every change of the container's bid list, then
// of its ask list, with the MessageDef of kind 251; it writes worker.statement and the
// caller executes it (plain mode) when the result is above 0. No lock is taken.
#pragma once

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"
#include "zel/tabledef/table_definitions.h"

// Returns the number of fields written (insert, update) or of price conditions (delete):
// 0 means nothing to execute (a delete without a price would remove every level of the
// side), -1 when the kind has no side column (logged once per process).
int order_book_change(DbWorker& worker, const QueueItem& change, const MessageDef& def);
