// differences.h - reads of current quote values and the performance-difference statements
// (source unit "sqlbuilds").
//
// The performance table holds, per instrument, reference prices (a day ago, a week ago, ...
// ten years ago, week- to year-to-date); the difference columns (the table of the pseudo
// kind 254) hold the current value minus each reference and that change in percent. The
// differences are computed inside the UPDATE from the current value written into it and
// the reference column of the same row, so the program never reads the references itself.
//
// Called by queue 1's database thread (the only one that handles kinds 2, 8, 18, 19 and
// 40): the follow-ups after a quote, a performance or an extended-quote row, the price read
// before a key-ratio row and the difference reset of a day reset. The builders write
// worker.statement; the reads and the follow-ups also run statements themselves. The item
// belongs to the calling thread, the instrument type entry is the caller's copy; no lock.
#pragma once

#include <cstdint>

#include "zel/queues/instruments.h"
#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"

// Reads one column of the instrument's quote row. Each returns a malloc'ed copy of the
// value (the caller frees it with free()), or null when there is no row, the value is
// NULL or empty, the query failed (*status below 0; -3 asks for a rerun) or a definition
// is missing (nothing run). The price is the NAV column (2:93) for an instrument of type 3,
// the last price (2:7) otherwise.
char* read_quote_price(DbWorker& worker, uint64_t insref, const InstrumentType* instrument,
                       int32_t* status);
char* read_quote_bid(DbWorker& worker, uint64_t insref, int32_t* status);
char* read_quote_yield(DbWorker& worker, uint64_t insref, int32_t* status);
char* read_quote_bid_yield(DbWorker& worker, uint64_t insref, int32_t* status);
// The one-day reference price (18:148) of the performance table; only while performance
// data is requested.
char* read_one_day_reference(DbWorker& worker, uint64_t insref, int32_t* status);

// Appends to worker.statement the pair "diffN=V-ref,diffNprc=(V-ref)/NULLIF(ref,0)*100 "
// for the difference column `name` and the performance column of `reference_tag`, or
// "diffN=NULL,diffNprc=NULL" without a value. A value that is not a number is written as
// no value. Nothing when one of the three columns is not defined; `count` counts pairs.
void difference_pair(DbWorker& worker, int& count, const char* name, unsigned reference_tag,
                     const char* value);

// The UPDATE of the instrument's differences from the item's current-value slots (kinds 2
// and 18). 1: built; 0: nothing to set; -1: no table for kind 254.
int difference_update(DbWorker& worker, const QueueItem& item);
// The one-day difference of an extended quote's price (kind 40). 1, 0 or -1 as above.
int extended_quote_difference(DbWorker& worker, const QueueItem& item);
// Clears the four one-day pairs on a day reset. 1, 0 or -1 as above.
int difference_reset(DbWorker& worker, const QueueItem& item);

// Before a key-ratio row (kind 19) with calculated columns is written: fills the item's
// price slot with the quote price, or failing that with the one-day reference price.
// Returns -3 when a read asks for a rerun, else 0.
int keyratio_price(DbWorker& worker, QueueItem& item, const InstrumentType* instrument);

// After a row of kind 2, 18 or 40 was written: the difference statements and, for a quote
// with a price, the calculated key-ratio columns, each executed when built; kind 18 first
// reads the quote values whose references changed. Returns -3 when a statement or a read
// asks for a rerun, else 0. Other kinds: 0 at once.
int quote_followups(DbWorker& worker, QueueItem& item, const InstrumentType* instrument);
