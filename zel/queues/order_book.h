// order_book.h - price ladders per instrument and side, and the combining of level changes
// that wait in queue 4.
//
// Ladders belong to the Instrument records (instruments.h) and are touched only by the feed
// thread. combineLevelChange works on a waiting kind-251 container and runs inside
// addQueueItem under queue 4's lock.
#pragma once

#include <cstdint>

#include "zel/queues/instruments.h"
#include "zel/queues/queue_item.h"

// Results of the ladder operations.
inline constexpr int LADDER_DONE = 1;
inline constexpr int LADDER_BAD_INSERT_LEVEL = -1;  // level greater than count + 1
inline constexpr int LADDER_NO_PRICE = -2;
inline constexpr int LADDER_BAD_DELETE_LEVEL = -3;  // level greater than count, or empty ladder
inline constexpr int LADDER_SHORT = -4;             // the ladder ends before the level

// The decimal value of a level text as the feed sends it: optional blanks and sign, then
// digits; anything else ends the number. Out-of-range values are clamped.
int level_value(const char* text);

// Inserts `price` at `level` (1 = best); the former levels from there on move down one.
int ladderInsert(PriceLevel** ladder, uint32_t* count, int level, const char* price);
// Removes level `level`; the levels below move up one.
int ladderDelete(PriceLevel** ladder, uint32_t* count, int level);
// The node at `level` (1 = first), or null when the ladder has no such level.
PriceLevel* ladderLevel(PriceLevel* ladder, int level);
// Applies an insert or delete in `flags` to the instrument's side; an update changes
// nothing. Failures are logged (with `debug`) and returned.
int applyLevelChange(Instrument* instrument, const char* price, const char* level_text,
                     uint32_t flags);
// Frees both ladders; both counts become 0.
void clearLadders(Instrument* instrument);

// Combines a new level change (kind 14 or 15, flags, price, fields) into the waiting
// kind-251 `container`: with no waiting change of that price on that side it is appended,
// otherwise the two become their net effect. Takes ownership of `fields`. Queue 4's lock
// held.
void combineLevelChange(QueueItem* container, uint8_t kind, uint32_t flags, const char* price,
                        FieldValue* fields);
// A new level change sub-item (owning a copy of `price` and `fields`).
QueueItem* makeLevelChange(uint64_t insref, uint8_t kind, uint32_t flags, const char* price,
                           FieldValue* fields);
