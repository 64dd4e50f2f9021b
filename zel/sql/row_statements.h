// row_statements.h - the UPDATE, INSERT and DELETE of the one row that a QueueItem's
// fields map to (source unit "sqlbuilds").
//
// Called by the database thread (db_thread.cpp), which chooses the order (update-first,
// insert-first or delete) and executes what these build in worker.statement; only the
// DELETE runs statements itself (the reverse history adjustment of kind 11, the removals
// of kind 6 and the order delete of kind 38). The item belongs to the calling thread; the
// table definitions are read-only; no lock is taken.
//
// While they build, UPDATE and INSERT copy the current price, yield, bid and bid-yield
// texts of quote-like items into the item's current-value slots (price, yield, bid,
// bid_yield with their present markers), where the follow-up statements find them.
#pragma once

#include <cstdint>

#include "zel/queues/instruments.h"
#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"
#include "zel/tabledef/table_definitions.h"

// Builds "UPDATE table SET ... WHERE inscol=insref [AND key=value ]..." from the item's
// fields (FieldDefs of the item's kind). Returns the number of assignments that count
// (not the keys, not the date and time fields 3 and 4; a calculated field counts even
// when it writes nothing): 0 means there is nothing to execute. `instrument` is the
// instrument's entry in the instrument type table, given for kind 2 only (null: none).
// 0 at once for an item with ITEM_DELETE.
int row_update(DbWorker& worker, QueueItem& item, const MessageDef& def,
               const InstrumentType* instrument);

// Builds "INSERT INTO table (inscol,...) VALUES (insref,...)"; counts as row_update.
int row_insert(DbWorker& worker, QueueItem& item, const MessageDef& def,
               const InstrumentType* instrument);

// Builds the delete of the item's row. Returns 1 when worker.statement holds a statement
// to execute, 0 when nothing is to be done, -1 when a needed definition is missing, -3
// when a statement it ran itself asks for a rerun, a negative query or execution result
// of the reverse adjustment (kind 11), or for kind 38 the result of the order delete it
// executed itself. An item with ITEM_NULL_STATUS has its status column set to NULL
// instead; kind 6 first removes the instrument's dependent rows.
int row_delete(DbWorker& worker, QueueItem& item, const MessageDef& def);
