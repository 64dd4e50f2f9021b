// corporate_actions.h - the adjusted price history: rescaling it for a corporate action,
// the corporate-action update (kind 253) and the adjusted row of a new price-history
// row (kind 4) (source unit "sqlbuilds").
//
// Called by the database thread and by the row delete of kind 11 (row_statements.cpp)
// with the calling thread's own worker. Tables: kind 11 is the corporate-actions table,
// kind 252 the adjusted price history. Reads the table definitions only; no lock.
#pragma once

#include <cstdint>

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"

enum AdjustDirection { ADJUST_FORWARD = 0, ADJUST_REVERSE = 1 };

// Builds in worker.statement the UPDATE that rescales every adjusted row of `insref`
// dated strictly before `date` by `ratio` (multiplied going forward, divided in reverse;
// the columns of the opposite kind the other way round), for a corporate action of `type`
// (type 11 rescales its own set of columns). `field789`, when given, is written into the
// rows as well. Returns 1 when the statement is ready for the caller to execute, 0 when
// there is nothing to do (no adjusted table, no date column in it, no column to rescale).
int history_adjustment(DbWorker& worker, uint64_t insref, const char* date, double ratio,
                       uint8_t type, AdjustDirection direction, const FieldValue* field789);

// Kind 253: works out the ratio by which a new or changed corporate action rescales the
// history (the new factor over the stored one) and builds the history adjustment.
// Returns 1 when worker.statement holds it for the caller to execute, 0 when nothing is
// to be done, or a negative query status.
int corporate_action(DbWorker& worker, QueueItem& item);

// Kind 4 without ITEM_DELETE: writes the price-history row into the adjusted table,
// corrected by every corporate action dated after it (try-insert, then the UPDATE).
// Returns 1 when the adjusted row was written, -3 for a rerun, -1 when no corporate
// action applies (the caller then writes the row unadjusted), 0 when a definition is
// missing, or another execution result.
int adjusted_row(DbWorker& worker, QueueItem& item);
