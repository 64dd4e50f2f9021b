// winsock_init.h - starting the Windows socket library once per process (win32 only).
//
// The TCP sockets of the feed library and the simulator and the syslog client's UDP socket
// all need WSAStartup before their first call. It is made once, on whichever thread gets
// there first, and never undone: the library lives as long as the process.
#pragma once

// True when the socket library (version 2.2) is available.
bool platform_winsock_ready();
