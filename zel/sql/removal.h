// removal.h - removing an instrument's rows (kind 9), its order book and order rows
// (kind 7), and the rows that depend on a deleted basic-data row (source unit
// "sqlbuilds").
//
// Called by the database thread and by the row delete of kind 6 (row_statements.cpp) with
// the calling thread's own worker; each removal executes its DELETEs itself. Every target
// of a list is attempted even after one of them asked for a rerun; the rerun is reported
// at the end. Reads the table definitions and the request switches only; no lock.
#pragma once

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"

// Deletes the item's instrument from the table of FieldDef (kind, tag): "DELETE FROM table
// WHERE column=insref". `tag` is a field number as text or "insref". Sets *status to -3
// when the statement asked for a rerun and leaves it alone otherwise; a target without a
// FieldDef is skipped.
void remove_by_key(DbWorker& worker, const QueueItem& item, unsigned kind, const char* tag,
                   int* status);

// Kind 9: removes the instrument's rows from every requested table (or, with
// `keepdeleted` 1, marks its basic-data row deleted and removes only the order book,
// order, performance, key-ratio, NOII, list and mapping rows). Returns 1 or -3.
int instrument_removal(DbWorker& worker, const QueueItem& item);

// Kind 7: removes the instrument's order book rows (ITEM_CLEAR_BOOK) and order rows
// (ITEM_CLEAR_MBO) when those are requested. Returns 1 or -3.
int book_removal(DbWorker& worker, const QueueItem& item);

// The rows of the list tables that belong to the instrument or refer to it. Sets *status
// to -3 when a statement asked for a rerun.
void basic_data_cascade(DbWorker& worker, const QueueItem& item, int* status);
