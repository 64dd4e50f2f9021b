// service_control.cpp - the service dispatcher on top of the notify socket (see
// platform/service_control.h and platform/service_notify.h).
//
// The service manager speaks text: the report's words go to the socket, the record itself
// has no further reader here. Main thread for the dispatch; reports are serialised by the
// caller.
#include "platform/service_control.h"

#include "platform/service_notify.h"

PlatformServiceDispatch platform_service_dispatch(const char* /*name*/,
                                                  PlatformServiceMain service_main,
                                                  PlatformServiceHandler /*control_handler*/,
                                                  std::string* error) {
    NotifyOpenResult opened = platform_service_notify_open(error);
    if (opened == NOTIFY_ABSENT) return PLATFORM_SERVICE_NOT_A_SERVICE;
    if (opened == NOTIFY_FAILED) return PLATFORM_SERVICE_FAILED;
    service_main();
    platform_service_notify_close();
    return PLATFORM_SERVICE_RAN;
}

bool platform_service_register() {
    // The dispatcher has the socket open: there is nothing more to register with.
    return platform_service_notify_active();
}

bool platform_service_active() {
    return platform_service_notify_active();
}

bool platform_service_report(const PlatformServiceStatus& /*status*/, const char* text) {
    return platform_service_notify_send(text);
}
