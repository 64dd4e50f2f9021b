// list_rows.h - fields that carry lists, stored one row per element: the tags of a news
// item (kind 249) and lists of numeric identifiers attached to an instrument (kind 12, and
// kind 248 with a second key). Source unit "sqlbuilds".
//
// An identifier list may start with an operator: "=" replaces the stored list, "+" adds
// to it, "-" removes from it; without one the list replaces the stored one.
//
// Called by the database thread that drains the item's queue; the builders run their
// statements themselves (a refused statement is reported and the next element still
// written; adding an element that is already stored is not a failure) and stop only when
// one asks for a rerun. No lock is taken.
#pragma once

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"
#include "zel/tabledef/table_definitions.h"

// Replaces the news item's tag rows. Returns 1 (also when the table definitions lack a
// column: nothing is written), -1 without a table for kind 249 (logged), -3 for a rerun.
int news_tags(DbWorker& worker, const QueueItem& item);

// Applies the item's identifier list (kind 12: field 55; kind 248: field 527 under the
// second key of field 54) to the rows of the instrument. `def` is the MessageDef of the
// item's kind. Returns 1, or -3 for a rerun.
int identifier_list(DbWorker& worker, const QueueItem& item, const MessageDef& def);
