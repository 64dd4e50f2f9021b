// signals.cpp - the signal thread: sigtimedwait on the four stop signals.
//
// The thread looks at its stop flag between waits of a quarter second, so that
// platform_signal_thread_stop can end it without a signal of its own.
#include "platform/signals.h"

#include "platform/console.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <thread>

namespace {

std::mutex g_lock;     // guards g_thread (start and stop come from the main thread)
std::thread g_thread;  // guarded by g_lock
std::atomic<bool> g_stop{false};

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    return set;
}

int event_of(int signal_number) {
    switch (signal_number) {
        case SIGINT:
            return CONSOLE_CTRL_C;
        case SIGQUIT:
            return CONSOLE_CTRL_BREAK;
        case SIGHUP:
            return CONSOLE_CLOSE;
        default:
            return CONSOLE_SHUTDOWN;
    }
}

// What the signal would have done without the program: end the process (SIGQUIT with a
// core file, as the system does).
void default_action(int signal_number) {
    // A prompt may have the terminal in raw mode: give the shell its echo back.
    platform_console_restore();
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    sigaction(signal_number, &plain, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal_number);
}

void signal_thread(ConsoleEventHandler handler) {
    sigset_t set = stop_signals();
    const struct timespec quarter = {0, 250 * 1000 * 1000};
    while (!g_stop.load()) {
        int signal_number = sigtimedwait(&set, nullptr, &quarter);
        if (signal_number < 0) continue;  // timeout or interrupted: look at the flag again
        if (handler(event_of(signal_number)) == 0) default_action(signal_number);
    }
}

}  // namespace

void platform_ignore_broken_pipe() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool platform_block_stop_signals() {
    sigset_t set = stop_signals();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool platform_signal_thread_start(ConsoleEventHandler handler) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_thread.joinable() || handler == nullptr) return false;
    g_stop = false;
    try {
        g_thread = std::thread(signal_thread, handler);
    } catch (...) {
        return false;
    }
    return true;
}

void platform_signal_thread_stop() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_thread.joinable()) return;
    g_stop = true;
    g_thread.join();
}

bool platform_send_console_event(int event) {
    int signal_number;
    switch (event) {
        case CONSOLE_CTRL_C:
            signal_number = SIGINT;
            break;
        case CONSOLE_CTRL_BREAK:
            signal_number = SIGQUIT;
            break;
        case CONSOLE_CLOSE:
            signal_number = SIGHUP;
            break;
        case CONSOLE_SHUTDOWN:
            signal_number = SIGTERM;
            break;
        default:
            return false;
    }
    return kill(getpid(), signal_number) == 0;
}
