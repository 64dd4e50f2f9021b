// status_rows.h - the name/value rows of the status table (kind 30) that tell an operator
// how the program is doing (source unit "sqlbuilds").
//
// Called by queue 2's database thread for each status item the supervisor queues, and by
// start-up and shutdown (mark_started, mark_stopped) with queue 2's worker while no
// database thread runs. A counter row is written only when its value changed since it was
// last written successfully; the last-written values are kept here, process-wide, and
// touched only by that one thread (tests reset them with reset_status_row_caches). Every
// row goes through execute(), so each statement is logged, counted and reported like any
// other, and every row is written by the same rule: the UPDATE, and the INSERT when the
// UPDATE changed no row.
#pragma once

#include <cstdint>

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"
#include "zel/tabledef/table_definitions.h"
#include "zel_stats.h"

// Writes one numeric row: "UPDATE ... SET value = 'v' WHERE name = 'name'" in try-update
// mode, and the INSERT when no row was there. On success *cache becomes `value`; a failed
// INSERT leaves it, so the row is tried again next time. Returns 1, or -3 for a rerun.
int set_status_value(DbWorker& worker, const MessageDef& def, const char* name, uint64_t value,
                     uint64_t* cache);

// The kind-30 builder: every counter row that changed, then "Last write". `def` is the
// MessageDef of kind 30 (null: nothing to write). Returns 1, or -3 for a rerun.
int status_rows(DbWorker& worker, const QueueItem& item, const MessageDef* def, StatsBlock* stats);

// Start-up: "Startup time" (now, local time) and "Running" = 1. `def` is the MessageDef of
// kind 30 (null: nothing to write). Both rows are tried whatever the first gave. Returns 1
// when every row was written, 0 when one could not be (the failure is reported), -3 when
// the server rolled a statement back.
int mark_started(DbWorker& worker, const MessageDef* def);
// Shutdown: "Running" = 0. Same arguments and results as mark_started.
int mark_stopped(DbWorker& worker, const MessageDef* def);

// Forgets every last-written value, as at program start.
void reset_status_row_caches();

// After a rollback of a batch with a status item: the rows it wrote are not in the table,
// so the next status item writes every counter row again. Queue 2's database thread only.
void forget_status_rows_written();
