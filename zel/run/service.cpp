// service.cpp - the service dispatcher stand-in, the service main, the control handler and
// the status reports (see service.h).
//
// The status record is reported on the service manager's notify socket: the start-pending
// check points as progress with more time asked for (the wait hint), running as READY=1,
// stop pending and stopped as STOPPING=1 with their progress. g_lock guards the record,
// the registration and the pending stop; it is never held while the start-up runs or while
// anything waits, only around one change and its report.
#include "zel/run/service.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/service_control.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/run_state.h"
#include "zel/run/startup.h"
#include "zel/run/stop_handlers.h"

namespace {

std::mutex g_lock;
ServiceStatus g_status;       // guarded by g_lock
bool g_registered = false;    // guarded by g_lock: the control handler's "status handle"
bool g_stop_pending = false;  // guarded by g_lock
int g_startup_result = -1;    // main thread only

// Reports the record as it is now; g_lock held by the caller.
void report_locked() {
    if (!g_registered) return;
    PlatformServiceStatus status{g_status.service_type,      g_status.current_state,
                                 g_status.controls_accepted, g_status.exit_code,
                                 g_status.service_exit_code, g_status.check_point,
                                 g_status.wait_hint};
    platform_service_report(status, service_status_message(g_status).c_str());
}

}  // namespace

std::string service_status_message(const ServiceStatus& status) {
    char text[256];
    unsigned long long extend_usec = static_cast<unsigned long long>(status.wait_hint) * 1000ULL;
    switch (status.current_state) {
        case SERVICE_START_PENDING:
            std::snprintf(text, sizeof text,
                          "STATUS=Starting %s (check point %" PRIu32 ")\nEXTEND_TIMEOUT_USEC=%llu",
                          kServiceName, status.check_point, extend_usec);
            break;
        case SERVICE_RUNNING:
            std::snprintf(text, sizeof text, "READY=1\nSTATUS=%s is running", kServiceName);
            break;
        case SERVICE_STOP_PENDING:
            std::snprintf(text, sizeof text,
                          "STOPPING=1\nSTATUS=Stopping %s (check point %" PRIu32
                          ")\nEXTEND_TIMEOUT_USEC=%llu",
                          kServiceName, status.check_point, extend_usec);
            break;
        default:
            if (status.exit_code == 0) {
                std::snprintf(text, sizeof text, "STOPPING=1\nSTATUS=%s has stopped", kServiceName);
            } else {
                std::snprintf(text, sizeof text,
                              "STOPPING=1\nSTATUS=%s could not start (exit code 0x%08" PRIX32
                              "); see the system log",
                              kServiceName, status.exit_code);
            }
            break;
    }
    return text;
}

ServiceDispatchResult service_dispatcher(std::string* error) {
    switch (platform_service_dispatch(kServiceName, service_main, service_control_handler, error)) {
        case PLATFORM_SERVICE_RAN:
            return SERVICE_DISPATCH_RAN;
        case PLATFORM_SERVICE_NOT_A_SERVICE:
            return SERVICE_DISPATCH_NOT_A_SERVICE;
        default:
            return SERVICE_DISPATCH_FAILED;
    }
}

void service_main() {
    Config& config = g_config;
    config.daemon = 1;
    config.silent = 1;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_status = ServiceStatus{};
        g_status.current_state = SERVICE_START_PENDING;
        g_stop_pending = false;
        g_registered = platform_service_register();
        if (!g_registered) return;
        report_locked();
    }

    g_startup_result = startup();
    if (g_startup_result != STARTUP_RUNNING) {
        std::lock_guard<std::mutex> hold(g_lock);
        g_status.current_state = SERVICE_STOPPED;
        g_status.controls_accepted = 0;
        // A one-shot mode ended its run on purpose after the start-up's check.
        g_status.exit_code = g_startup_result == STARTUP_ONE_SHOT_DONE ? 0 : kServiceStartFailed;
        report_locked();
        return;
    }

    bool stop_now;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_status.current_state = SERVICE_RUNNING;
        g_status.controls_accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
        report_locked();
        stop_now = g_stop_pending;
        g_stop_pending = false;
    }
    if (stop_now) request_stop();
    wait_stop_semaphore();

    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_status.controls_accepted = 0;
        g_status.check_point = 0;
    }
    wait_for_threads([] {
        std::lock_guard<std::mutex> hold(g_lock);
        g_status.current_state = SERVICE_STOP_PENDING;
        report_locked();
        ++g_status.check_point;
    });
    std::lock_guard<std::mutex> hold(g_lock);
    g_status.current_state = SERVICE_STOPPED;
    g_status.exit_code = 0;
    report_locked();
}

int service_startup_result() {
    return g_startup_result;
}

uint32_t service_exit_code() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_status.exit_code;
}

void service_control_handler(uint32_t control) {
    bool stop = false;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
            if (g_status.controls_accepted & (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN)) {
                stop = true;
            } else if (g_status.current_state == SERVICE_START_PENDING ||
                       g_status.current_state == SERVICE_RUNNING) {
                // Starting, or reported running by the start-up but not yet waiting for
                // the stop: the service main carries the stop out once it waits.
                g_stop_pending = true;
                report_locked();
            } else {
                // Stopping or stopped already: the request is under way.
                report_locked();
            }
        } else {
            report_locked();
        }
    }
    if (stop) request_stop();
}

bool running_as_service() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_registered;
}

void service_advance_checkpoint() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_registered) return;
    ++g_status.check_point;
    report_locked();
}

void service_report_running() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_registered) return;
    g_status.check_point = 0;
    g_status.current_state = SERVICE_RUNNING;
    report_locked();
}

ServiceStatus service_status() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_status;
}

void service_reset() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_status = ServiceStatus{};
    g_registered = false;
    g_stop_pending = false;
    g_startup_result = -1;
}
