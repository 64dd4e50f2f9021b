// supervisor.h - the supervisor thread: every second it refreshes the instrument count in
// the statistics block; every five seconds it prints the statistics lines, watches the four
// database connections (marking the database down for the feed thread, cutting the feed
// when the database has been down for more than a minute) and queues a status item for
// queue 2's database thread.
//
// Started by the start-up right after the feed thread; ends within a second of `running`
// being cleared. `database_down` (run_state.h) and `connected_to_feed` (statistics block)
// are plain words it shares with the feed thread; queue 2's lock is the only lock it takes.
#pragma once

#include <cstdint>
#include <cstdio>

// The thread body.
void supervisor_thread_main();

// What the thread keeps from one check to the next.
struct SupervisorState {
    int64_t down_since = 0;  // clock seconds at which `database_down` was set
};

// The per-second work: the instrument count into the statistics block.
void supervisor_refresh();
// The five-second work: the statistics lines (to `out`, unless `silent`), the connection
// watch and the status item. The thread calls it with stdout.
void supervisor_check(SupervisorState& state, FILE* out);
// The statistics lines alone, stamped with the local time of `now`.
void print_statistics(FILE* out, int64_t now);

// How the thread waits its one second between refreshes. Tests install a wait that moves
// their clock instead; nullptr restores the real second. Install before the thread starts.
using SupervisorSleep = void (*)();
void set_supervisor_sleep(SupervisorSleep sleep);

// Seconds an outage must last before the feed is cut.
inline constexpr int64_t kFeedCutAfterSeconds = 61;
