// winsock_init.cpp - WSAStartup, once (see winsock_init.h).
#include "platform/win32/winsock_init.h"

#include <winsock2.h>

#include <mutex>

bool platform_winsock_ready() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        WSADATA data;
        ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return ready;
}
