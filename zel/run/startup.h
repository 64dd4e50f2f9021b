// startup.h - the start-up sequence, which brings zel from a parsed command line to its six
// running threads, and the shutdown sequence, which undoes it.
//
// Both run on the main thread: startup() before any of the program's threads exists (it
// starts them at its very end), shutdown() after a stop request, while the threads drain.
// The console run (command_line.cpp) and the service main (service.cpp) call them.
#pragma once

#include <functional>

enum StartupResult {
    STARTUP_RUNNING = 0,         // the threads run; wait for the stop semaphore, then shutdown()
    STARTUP_FAILED = 1,          // logged (and, interactively, a key was awaited); end with 1
    STARTUP_ONE_SHOT_DONE = 2,   // a check mode finished with a passing check; end with 0
    STARTUP_ONE_SHOT_FAILED = 3  // an import ran and did not import everything; end with 1
};

// Every step in order: client identification, configuration, check-mode credentials,
// syslog, module, queues, account, connections, table definitions, server information,
// database check, import, one-shot end, stale set, `running`, status rows, statistics block,
// threads. Returns a StartupResult. After either STARTUP_ONE_SHOT_ result the module has been ended
// (mod_exit) and only connection 1 was disconnected; nothing else needs undoing before the
// process ends.
int startup();

// True while a thread startup() started has not returned (counted from before its start, so a
// stop right after the start still waits for it).
bool threads_running();

// Waits until every thread startup() started has returned. Once a second it ends a drain whose
// time is over and calls each_second (the service reports its stop as pending there).
void wait_for_threads(const std::function<void()>& each_second);

// Waits (see wait_for_threads) until every thread has ended, writes the "Running" row as
// 0, disconnects and destroys the connections, ends and unloads the module, frees the
// queues and unmaps the statistics block; logs "Shutdown complete". Safe after a start-up
// that did not get as far as the threads: it undoes only what exists.
void shutdown();
