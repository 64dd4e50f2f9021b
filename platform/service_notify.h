// service_notify.h - talking to the service manager that started the program.
//
// A service manager that starts zel as a service passes the address of a datagram socket
// in the environment variable NOTIFY_SOCKET; the program reports its state there as
// "NAME=value" lines (READY=1, STATUS=..., EXTEND_TIMEOUT_USEC=..., STOPPING=1). Whether
// that variable is set is how the program tells a service start from a console start.
//
// The service code (zel/run/service.cpp) opens the socket once on the main thread before
// any other thread starts and closes it at the end; reports come from the main thread and
// from the signal thread, so sending takes a lock of its own. The receiving side exists
// for tests that play the service manager.
#pragma once

#include <cstddef>
#include <string>

enum NotifyOpenResult {
    NOTIFY_OPENED = 1,  // the socket is open; reports go there
    NOTIFY_ABSENT = 0,  // NOTIFY_SOCKET is not set: not started by a service manager
    NOTIFY_FAILED = -1  // NOTIFY_SOCKET is set but cannot be used (reason in *error)
};

// Opens the socket named by NOTIFY_SOCKET: a path ("/run/..."), or a name in the abstract
// namespace written with a leading '@'. The address is checked by connecting to it, so a
// socket that nobody listens on fails here rather than at the first report.
NotifyOpenResult platform_service_notify_open(std::string* error);
// Sends one report (lines separated by '\n'). False when it could not be delivered (also
// when no socket is open).
bool platform_service_notify_send(const char* message);
// Whether a socket is open.
bool platform_service_notify_active();
void platform_service_notify_close();

// --- The service manager's side, for tests -----------------------------------------------

// Binds a datagram socket at `path` (removing a stale file of that name first). Returns the
// socket, or -1.
long platform_notify_listen(const char* path);
// Waits up to timeout_ms for one report; returns its length (cut to capacity - 1 and
// terminated) or -1 on timeout or failure.
long platform_notify_receive(long socket, char* buffer, size_t capacity, int timeout_ms);
void platform_notify_close(long socket, const char* path);
