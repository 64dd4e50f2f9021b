// service_control.cpp - the Windows service control dispatcher, the control handler's
// registration and SetServiceStatus (see platform/service_control.h).
//
// The dispatcher runs on the main thread and calls service_entry on a thread of its own;
// the control handler is called on the dispatcher's (main) thread. The status handle is
// written by the service thread before its first report and read by reports on both
// threads afterwards, so it is atomic; SetServiceStatus itself may be called from any thread.
#include "platform/service_control.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace {

std::string g_name;
PlatformServiceMain g_main = nullptr;
PlatformServiceHandler g_handler = nullptr;
std::atomic<SERVICE_STATUS_HANDLE> g_status_handle{nullptr};
std::atomic<bool> g_active{false};

void WINAPI control_entry(DWORD control) {
    if (g_handler) g_handler(control);
}

void WINAPI service_entry(DWORD /*argc*/, LPSTR* /*argv*/) {
    g_main();
    g_active = false;
}

std::string system_message(DWORD code) {
    char text[300] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, sizeof text, nullptr);
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        text[--length] = '\0';
    char line[400];
    std::snprintf(line, sizeof line, "system error %lu%s%s", static_cast<unsigned long>(code),
                  length ? ": " : "", text);
    return line;
}

}  // namespace

PlatformServiceDispatch platform_service_dispatch(const char* name,
                                                  PlatformServiceMain service_main,
                                                  PlatformServiceHandler control_handler,
                                                  std::string* error) {
    g_name = name;
    g_main = service_main;
    g_handler = control_handler;
    SERVICE_TABLE_ENTRYA table[2] = {{&g_name[0], service_entry}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(table)) return PLATFORM_SERVICE_RAN;
    DWORD code = GetLastError();
    if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return PLATFORM_SERVICE_NOT_A_SERVICE;
    if (error) *error = system_message(code);
    return PLATFORM_SERVICE_FAILED;
}

bool platform_service_register() {
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(g_name.c_str(), control_entry);
    g_status_handle = handle;
    g_active = handle != nullptr;
    return handle != nullptr;
}

bool platform_service_active() {
    return g_active.load();
}

bool platform_service_report(const PlatformServiceStatus& status, const char* /*text*/) {
    SERVICE_STATUS_HANDLE handle = g_status_handle.load();
    if (!handle) return false;
    SERVICE_STATUS record;
    record.dwServiceType = status.service_type;
    record.dwCurrentState = status.current_state;
    record.dwControlsAccepted = status.controls_accepted;
    record.dwWin32ExitCode = status.exit_code;
    record.dwServiceSpecificExitCode = status.service_exit_code;
    record.dwCheckPoint = status.check_point;
    record.dwWaitHint = status.wait_hint;
    return SetServiceStatus(handle, &record) != 0;
}
