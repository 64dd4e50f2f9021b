// service_control.h - the service manager's side of a service run: the dispatcher that
// tells a service start from a console start, the registration of the control handler and
// the status reports.
//
// Windows: the service control dispatcher (StartServiceCtrlDispatcher) runs on the calling
// thread; it calls the service main on a thread of its own and the control handler on the
// dispatcher's thread, and returns once the service has reported itself stopped. POSIX: the
// dispatcher is the service manager's notify socket (platform/service_notify.h); the service
// main runs on the calling thread, and controls arrive as signals through the program's
// signal routing, so the control handler given here is not called.
//
// The dispatcher is offered once per process, on the main thread. Reports may come from any
// thread; the caller serialises them (zel/run/service.cpp holds its lock).
#pragma once

#include <cstdint>
#include <string>

// The status record, in the service manager's layout and numbering.
struct PlatformServiceStatus {
    uint32_t service_type;
    uint32_t current_state;
    uint32_t controls_accepted;
    uint32_t exit_code;
    uint32_t service_exit_code;
    uint32_t check_point;
    uint32_t wait_hint;
};

enum PlatformServiceDispatch {
    PLATFORM_SERVICE_RAN = 0,               // the service ran and has stopped
    PLATFORM_SERVICE_NOT_A_SERVICE = 1063,  // no service manager started this process
    PLATFORM_SERVICE_FAILED = -1            // any other refusal (reason in *error)
};

using PlatformServiceMain = void (*)();
using PlatformServiceHandler = void (*)(uint32_t control);

// Offers the service `name`. When the process was started as that service, runs
// service_main (which registers and reports through the calls below) and returns
// PLATFORM_SERVICE_RAN after it has returned.
PlatformServiceDispatch platform_service_dispatch(const char* name,
                                                  PlatformServiceMain service_main,
                                                  PlatformServiceHandler control_handler,
                                                  std::string* error);
// Registers the control handler given to the dispatcher; false when the service manager
// refused (the service main then ends without any report).
bool platform_service_register();
// Whether a service run is under way (registered and not yet ended).
bool platform_service_active();
// Reports the status. `text` says the same in words, for service managers that take text.
bool platform_service_report(const PlatformServiceStatus& status, const char* text);
