/*
 * pg_pipeline.h - statements inside a transaction, each between a savepoint and its release,
 * sent to the server in libpq's pipeline mode.
 *
 * Why a pipeline: the server parses a query text as a whole before it runs any part of it,
 * so a savepoint sent in the same text as a statement that does not parse (a syntax error,
 * a literal with invalid UTF-8) is never taken, and the failure aborts the whole
 * transaction. Sent as separate queries of one pipeline, SAVEPOINT, the statement and
 * RELEASE are parsed one by one: the savepoint exists before the statement is parsed, and
 * the three still travel in one round trip. A statement that fails costs one round trip
 * more, for ROLLBACK TO SAVEPOINT and RELEASE.
 *
 * The interface takes a list of statements so that several can share one round trip; the
 * module's mod_executesql passes one, its mod_executebatch many. Statements after a failed one are sent again in the
 * next round trip, behind the rollback to the savepoint, because the server skips what
 * follows a failure up to the end of the pipeline.
 *
 * In pipeline mode libpq speaks the extended query protocol, which takes one SQL command
 * per text: a text with several commands fails as a syntax error (42601) and is rolled back
 * to its savepoint like any failed statement.
 *
 * Called on the thread that owns the connection (pg_connection.h); no lock.
 */
#ifndef ZEL_PG_PIPELINE_H
#define ZEL_PG_PIPELINE_H

#include <cstddef>

#include "modules/pgsql/pg_connection.h"

namespace zel_pg {

// What became of one statement of the list.
struct BracketOutcome {
    // The statement's own answer when it ran; when it did not, the answer that explains why:
    // the failed SAVEPOINT (a transaction that had failed already) or libpq's failure
    // (a lost connection). Null only when libpq could not even make an error result.
    Result result;
    // The statement ran (successfully or not) inside its savepoint. When false, nothing of
    // it took effect and `result` says why.
    bool bracketed = false;
};

// Runs statements[0..count) in order, each between "SAVEPOINT zel_savepoint" and its
// release, and fills outcomes[0..count). A statement that fails is rolled back to its
// savepoint, so the transaction stays usable and the statements after it run. When the
// savepoint cannot be taken or the connection fails, that statement and all after it are
// left unrun, their outcomes carrying the reason.
//
// With `opening` (the statement that opens the transaction, START TRANSACTION), it goes
// first, without a savepoint, in the same round trip; its answer lands in *opened. When it
// fails, none of the statements runs.
void run_bracketed(DbConnection& conn, const char* const* statements, size_t count,
                   BracketOutcome* outcomes, const char* opening = nullptr,
                   Result* opened = nullptr);

// Outside a transaction: sends statements[0..count) as plain queries of one pipeline, each
// ending with a sync of its own (the server makes one implicit transaction of what lies
// between two syncs: one statement's failure must not undo the ones before it), and reads
// their answers in order into results. Returns how many have their own answer: all of them,
// or fewer when the connection failed (the last one read then carries the failure, and
// what became of those after it is unknown).
size_t run_pipelined(DbConnection& conn, const char* const* statements, size_t count,
                     Result* results);

}  // namespace zel_pg

#endif  // ZEL_PG_PIPELINE_H
