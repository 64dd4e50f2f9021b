// signals.h - the requests to stop that reach the process from outside: Ctrl+C, Ctrl+Break
// (Ctrl+\), the terminal going away, and the system or the service manager asking the
// program to end.
//
// They arrive as the signals SIGINT, SIGQUIT, SIGHUP and SIGTERM. None of them is handled
// inside a signal handler: the main thread blocks all four before it starts any other
// thread (every thread inherits the mask), and one signal thread takes them with sigwait
// and calls the program's handler with the matching console event, in ordinary thread
// context, where it may take locks and log. A handler that returns 0 has not handled the
// event: the signal then takes its default action, which ends the process.
#pragma once

// The console events the program's handler knows, with the signal each stands for.
enum ConsoleEvent : int {
    CONSOLE_CTRL_C = 0,      // SIGINT
    CONSOLE_CTRL_BREAK = 1,  // SIGQUIT
    CONSOLE_CLOSE = 2,       // SIGHUP: the terminal was closed
    CONSOLE_LOGOFF = 5,      // no signal stands for it here
    CONSOLE_SHUTDOWN = 6     // SIGTERM: the system or the service manager ends the program
};

// Returns 1 when it handled the event, 0 to leave it to the default action.
using ConsoleEventHandler = int (*)(int event);

// Ignores SIGPIPE for the whole process: a console or log reader that goes away (`zel |
// tee log` and Ctrl+C, which ends tee first) must not kill zel in the middle of its
// shutdown; a write to a closed pipe then just fails with EPIPE.
void platform_ignore_broken_pipe();
// Blocks the four signals in the calling thread. Call on the main thread before any other
// thread exists. Returns false when the system refused.
bool platform_block_stop_signals();
// Starts the signal thread, which calls `handler` for each signal until
// platform_signal_thread_stop. Returns false when the thread could not be started (or one
// runs already).
bool platform_signal_thread_start(ConsoleEventHandler handler);
// Ends the signal thread (within a quarter of a second) and waits for it.
void platform_signal_thread_stop();
// Sends the process the signal that stands for `event` (for tests). False for an event
// that no signal stands for.
bool platform_send_console_event(int event);
