// service.h - zel as a service: the dispatcher that tells a service start from a console
// start, the service main, the service control handler and the status they report.
//
// The service manager's side is platform/service_control.h: on Windows the service control
// dispatcher and SetServiceStatus, on POSIX the notify socket that a service manager passes
// (platform/service_notify.h). The status record below is reported there as the program
// starts, runs and stops. A process that no service manager started is refused by the
// dispatcher, and the console run follows (command_line.cpp).
//
// Threads: the dispatcher runs on the main thread; the service main and the start-up's
// reports run there too on POSIX, on the dispatcher's service thread on Windows. The control
// handler runs on the signal thread (platform/signals.h) on POSIX, on the dispatcher's
// thread on Windows. The status
// record is shared by both and guarded by a lock inside service.cpp.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* kServiceName = "Corvalinder ZEL";

// Service states, in the service manager's numbering.
enum ServiceState : uint32_t {
    SERVICE_STOPPED = 1,
    SERVICE_START_PENDING = 2,
    SERVICE_STOP_PENDING = 3,
    SERVICE_RUNNING = 4
};

// Control codes the handler is given.
enum ServiceControl : uint32_t {
    SERVICE_CONTROL_STOP = 1,
    SERVICE_CONTROL_INTERROGATE = 4,
    SERVICE_CONTROL_SHUTDOWN = 5
};

// Bits of `controls_accepted`.
inline constexpr uint32_t SERVICE_ACCEPT_STOP = 0x1;
inline constexpr uint32_t SERVICE_ACCEPT_SHUTDOWN = 0x4;

inline constexpr uint32_t kServiceTypeOwnAndShared = 0x30;
inline constexpr uint32_t kServiceWaitHintMs = 5000;
inline constexpr uint32_t kServiceStartFailed = 0xFFFFFFFF;

struct ServiceStatus {
    uint32_t service_type = kServiceTypeOwnAndShared;
    uint32_t current_state = SERVICE_STOPPED;
    uint32_t controls_accepted = 0;
    uint32_t exit_code = 0;
    uint32_t service_exit_code = 0;
    uint32_t check_point = 0;
    uint32_t wait_hint = kServiceWaitHintMs;
};

// The dispatcher's answers.
enum ServiceDispatchResult {
    SERVICE_DISPATCH_RAN = 0,               // the service ran and has stopped
    SERVICE_DISPATCH_NOT_A_SERVICE = 1063,  // no service manager started this process
    SERVICE_DISPATCH_FAILED = -1            // a service manager is named but cannot be reached
};

// Offers the service ("Corvalinder ZEL", entry service_main) to the service manager. When
// the process was started as a service, runs service_main on the calling thread and returns
// SERVICE_DISPATCH_RAN once it has returned. Otherwise returns at once, with the reason in
// *error for SERVICE_DISPATCH_FAILED.
ServiceDispatchResult service_dispatcher(std::string* error);

// The service's entry: no key prompts and no console output, start-up with status
// reports, the wait for a stop, the stop-pending reports while the threads drain.
void service_main();

// What the last service_main saw of the start-up (startup.h's StartupResult); -1 before.
int service_startup_result();
// The exit code the service reported when it stopped (0, or kServiceStartFailed).
uint32_t service_exit_code();

// Handles a control code: stop and shutdown make the stop request (stop_handlers.h); any
// other code reports the current status again. A stop that arrives while the service is
// still starting, and so accepts no controls yet, is kept and carried out as soon as the
// service runs: a service manager's stop must never be lost.
void service_control_handler(uint32_t control);

// Whether the program runs as a service (the control handler is registered). The start-up
// reports only then.
bool running_as_service();
// Start-up progress: advances the check point and reports (service runs only).
void service_advance_checkpoint();
// The start-up has finished: check point 0, state running, reported (service runs only).
void service_report_running();

// The current status record (for tests).
ServiceStatus service_status();
// The text a status record is reported with on the notify socket.
std::string service_status_message(const ServiceStatus& status);

// Forgets the service run (status record, registration, pending stop): tests only.
void service_reset();
