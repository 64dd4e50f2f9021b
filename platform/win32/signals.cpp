// signals.cpp - console control events through SetConsoleCtrlHandler.
//
// Windows calls the routine on a thread it creates for each event, so there is nothing to
// block and no thread of our own to run: "starting the signal thread" installs the routine
// and "stopping" removes it. The event numbers are the system's own (CTRL_C_EVENT = 0 ...
// CTRL_SHUTDOWN_EVENT = 6).
//
// For close, logoff and shutdown the system ends the process as soon as the routine
// returns. The routine therefore waits, after the program's handler has asked the run to
// stop, until platform_signal_thread_stop says that the program has shut down (the system
// allows a few seconds for close and more for shutdown; it ends the process after that in
// any case). Ctrl+C and Ctrl+Break return at once: the process goes on. A service ignores
// the logoff of a user.
#include "platform/signals.h"

#include <windows.h>

#include <atomic>

#include "platform/service_control.h"

namespace {

std::atomic<ConsoleEventHandler> g_handler{nullptr};
HANDLE g_finished = nullptr;  // manual-reset event: set once the program has shut down

BOOL WINAPI control_routine(DWORD type) {
    // A service sees every user's logoff; the default action would end it with the user's
    // session, so a service run takes the event and carries on.
    if (type == CTRL_LOGOFF_EVENT && platform_service_active()) return TRUE;
    ConsoleEventHandler handler = g_handler.load();
    if (!handler) return FALSE;
    if (!handler(static_cast<int>(type))) return FALSE;
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        if (g_finished) WaitForSingleObject(g_finished, INFINITE);
    }
    return TRUE;
}

}  // namespace

bool platform_block_stop_signals() {
    return true;
}

bool platform_signal_thread_start(ConsoleEventHandler handler) {
    if (g_handler.load()) return false;
    if (!g_finished)
        g_finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    else
        ResetEvent(g_finished);
    g_handler = handler;
    if (!SetConsoleCtrlHandler(control_routine, TRUE)) {
        g_handler = nullptr;
        return false;
    }
    return true;
}

void platform_signal_thread_stop() {
    SetConsoleCtrlHandler(control_routine, FALSE);
    g_handler = nullptr;
    if (g_finished) SetEvent(g_finished);
}

bool platform_send_console_event(int event) {
    if (event != CONSOLE_CTRL_C && event != CONSOLE_CTRL_BREAK) return false;
    return GenerateConsoleCtrlEvent(static_cast<DWORD>(event), 0) != 0;
}

// Windows raises no signal for a write to a closed pipe: the write just fails.
void platform_ignore_broken_pipe() {}
