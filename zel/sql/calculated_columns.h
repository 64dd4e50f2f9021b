// calculated_columns.h - the recompute of an instrument's calculated key-ratio columns
// (source unit "sqlbuilds").
//
// Key-ratio fields (kind 19) marked calculated are not stored as the feed sends them: the
// row keeps the raw value in the field's second column and the ratio is computed in SQL
// from that raw value and the instrument's price. When a quote brings a new price, this
// UPDATE recomputes every calculated column of the instrument's key-ratio row from the
// stored raw values, with the same formulas the row writer uses when a key-ratio message
// arrives, so a column means the same whichever message wrote it last.
//
// Called by queue 1's database thread after a quote row (differences.cpp's follow-ups);
// it writes worker.statement, the caller executes it. No lock: the list of calculated
// fields is fixed before the threads start.
#pragma once

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"

// Builds "UPDATE keyratios SET col=expr,...[,time][,date] WHERE inscol=insref" from the
// item's price slot. Returns the number of assignments (0: nothing to execute, also without
// calculated fields or price), or -1 without a table for kind 19.
int keyratio_update(DbWorker& worker, const QueueItem& item);
