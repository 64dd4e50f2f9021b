// stop_handlers.cpp - the stop request, the console control handler and the stop semaphore
// (see stop_handlers.h).
//
// g_lock guards the semaphore's existence and whether the connections and queues may be
// touched; it is held only for the few stores and releases of one request, never while
// anything waits.
#include "zel/run/stop_handlers.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <memory>
#include <mutex>
#include <semaphore>

#include "platform/signals.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/run_state.h"
#include "zel/modload/module_loader.h"
#include "zel/queues/update_queue.h"
#include "zel/run/service.h"
#include "zel/sql/db_worker.h"

namespace {

// Room for every release a run can make: the wait takes one, further events add one each.
constexpr std::ptrdiff_t kStopSemaphoreMax = 1024;
using StopSemaphore = std::counting_semaphore<kStopSemaphoreMax>;

std::mutex g_lock;
std::unique_ptr<StopSemaphore> g_semaphore;  // guarded by g_lock (the waiter: see below)
bool g_armed = false;                        // guarded by g_lock
std::ptrdiff_t g_releases = 0;               // guarded by g_lock
std::atomic<bool> g_console_handler{false};
bool g_drain_started = false;                             // guarded by g_lock
std::chrono::steady_clock::time_point g_drain_deadline;  // guarded by g_lock

// Real items waiting in the four queues (the counters; no queue lock needed).
uint64_t queued_items() {
    uint64_t total = 0;
    for (int i = 0; i < kQueueCount; ++i)
        total += stat_read(g_queues[i].stats->queued);
    return total;
}

// The main thread waits on the semaphore it created itself and destroys it only after the
// wait, so it reads the pointer without the lock.
StopSemaphore* semaphore_for_waiting() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_semaphore.get();
}

}  // namespace

void stop_handlers_arm() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_semaphore = std::make_unique<StopSemaphore>(0);
    g_releases = 0;
    g_armed = true;
}

void stop_handlers_disarm() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_armed = false;
    g_drain_started = false;
    g_semaphore.reset();
}

void wait_stop_semaphore() {
    if (StopSemaphore* semaphore = semaphore_for_waiting()) semaphore->acquire();
}

bool wait_stop_semaphore_for(int milliseconds) {
    StopSemaphore* semaphore = semaphore_for_waiting();
    return semaphore && semaphore->try_acquire_for(std::chrono::milliseconds(milliseconds));
}

namespace {

// g_lock held. Marks every connection as stopping: a reconnect loop gives up.
void stop_connections_locked() {
    for (int i = 0; i < kDbWorkerCount; ++i) {
        if (g_module.mod_set_status && g_workers[i].connection)
            g_module.mod_set_status(g_workers[i].connection, ZEL_STATUS_STOP);
    }
}

// g_lock held. Ends a drain: the database threads end after their pass.
void end_drain_locked() {
    g_drain_started = false;
    stop_connections_locked();
    endQueueDrain();
}

}  // namespace

void request_stop() {
    std::lock_guard<std::mutex> hold(g_lock);
    bool first = running.exchange(0) != 0;
    if (!g_armed) return;
    if (first && g_config.stopdraintime > 0 && g_queues) {
        // The feed stops (it ends with `running`), the queues are written on for at most
        // `stopdraintime` seconds, so that a stop does not throw away what was received.
        beginQueueDrain();
        g_drain_started = true;
        g_drain_deadline = std::chrono::steady_clock::now() +
                           std::chrono::seconds(g_config.stopdraintime);
        log_message(LOG_LEVEL_INFO,
                    "Stopping: the feed is stopped; writing the %" PRIu64
                    " queued items for at most %d seconds (a further stop request ends this)",
                    queued_items(), static_cast<int>(g_config.stopdraintime));
    } else if (g_drain_started) {
        log_message(LOG_LEVEL_INFO, "Stopping at once: the queued items are no longer written");
        end_drain_locked();
    } else {
        stop_connections_locked();
    }
    for (int i = 0; i < kDbWorkerCount; ++i) {
        if (g_queues) g_queues[i].signal.release();
    }
    if (g_semaphore && g_releases < kStopSemaphoreMax) {
        ++g_releases;
        g_semaphore->release();
    }
}

void stop_drain_tick() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_drain_started) return;
    if (std::chrono::steady_clock::now() < g_drain_deadline) return;
    log_message(LOG_LEVEL_PROBLEM,
                "Stopping: the drain time of %d seconds (stopdraintime) is over with %" PRIu64
                " items still queued",
                static_cast<int>(g_config.stopdraintime), queued_items());
    end_drain_locked();
}

void stop_drain_finish() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_drain_started) end_drain_locked();
}

void log_unwritten_items() {
    if (!g_queues) return;
    uint64_t by_kind[256] = {};
    for (int i = 0; i < kQueueCount; ++i)
        countQueuedByKind(&g_queues[i], by_kind);
    uint64_t total = 0;
    std::string detail;
    for (int kind = 0; kind < 256; ++kind) {
        if (!by_kind[kind]) continue;
        total += by_kind[kind];
        char part[64];
        std::snprintf(part, sizeof part, "%s%" PRIu64 " of kind %d", detail.empty() ? "" : ", ",
                      by_kind[kind], kind);
        detail += part;
    }
    if (total == 0) return;
    log_message(LOG_LEVEL_PROBLEM, "Shutdown: %" PRIu64 " queued items were not written: %s",
                total, detail.c_str());
}

int console_control_handler(int event) {
    switch (event) {
        case CONSOLE_CTRL_C:
        case CONSOLE_CTRL_BREAK:
        case CONSOLE_CLOSE:
        case CONSOLE_LOGOFF:
        case CONSOLE_SHUTDOWN:
            exit_code = 0;
            request_stop();
            return 1;
        default:
            return 0;
    }
}

void install_console_control_handler() {
    g_console_handler = true;
}

void remove_console_control_handler() {
    g_console_handler = false;
}

int route_console_event(int event) {
    if (running_as_service()) {
        switch (event) {
            case CONSOLE_CTRL_C:
            case CONSOLE_SHUTDOWN:
                service_control_handler(SERVICE_CONTROL_STOP);
                return 1;
            case CONSOLE_CTRL_BREAK:
                service_control_handler(SERVICE_CONTROL_SHUTDOWN);
                return 1;
            case CONSOLE_CLOSE:
                // Service managers send SIGHUP to ask a service to reread its settings;
                // zel reads them only at start, so it answers with its status.
                service_control_handler(SERVICE_CONTROL_INTERROGATE);
                return 1;
            default:
                return 0;
        }
    }
    if (!g_console_handler.load()) return 0;
    return console_control_handler(event);
}
