// run_state.h - the few process-wide words that the threads share besides Config.
//
// `running` is set by the start-up once everything is ready and cleared by the stop
// handlers; every thread polls it. The active thread count is how the shutdown knows that
// all threads have ended. `database_down` is written by the supervisor and read by the feed
// thread, which does not connect to the feed while it is non-zero. All are atomics so that
// the polling threads see the change; none needs ordering with other data.
#pragma once

#include <atomic>

extern std::atomic<int> running;
extern std::atomic<int> active_threads;
extern std::atomic<int> database_down;
// Value the process returns after a run; 1 until a console control event sets 0.
extern std::atomic<int> exit_code;
