// stale_set.h - the instruments the database held at start-up that the feed has not
// mentioned yet, and the pass that deletes those left over after a full snapshot.
//
// Start-up fills the set before the threads start; afterwards only the feed thread touches
// it (the dispatcher strikes instruments, the session runs the pass), so it has no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The instruments an `insrefs` setting asks the feed for: "*" (or nothing) for all, or a list
// of references separated by blanks, tabs or commas. Only a requested instrument can be
// struck by this instance's snapshot, so only those may enter the stale set: otherwise an
// instance that serves part of the universe would delete the instruments of every other
// instance writing into the same database.
class RequestedInstruments {
public:
    explicit RequestedInstruments(const std::string& insrefs);
    bool contains(uint64_t insref) const;

private:
    bool all_ = true;
    std::vector<uint64_t> sorted_;
};

// Creates an empty set sized for `size_hint` references (an earlier set is dropped).
// Returns 1, or 0 when memory runs out (logged).
int staleSetCreate(size_t size_hint);
void staleSetAdd(uint64_t insref);
// Strikes an instrument the feed has mentioned (basic data). No set: nothing happens.
void staleSetStrike(uint64_t insref);
bool staleSetExists();
size_t staleSetCount();
void staleSetDestroy();

// The stale-instrument pass. With `delete_flag` on (a full snapshot has arrived), queues an
// instrument removal (kind 9) for every reference left, unless there are more than
// `maxdeletes` of them; with it off (a catch-up is requested), only discards the set.
// Either way the set is gone afterwards, so the pass runs at most once per program run.
void deleteStaleInstruments(bool delete_flag);
