// udp.h - UDP datagrams to and from one IPv4 address.
//
// The sending side serves the syslog client (zel/base/syslog.cpp), which guards its one
// endpoint with its own lock. The receiving side exists for tests that must see the
// datagrams the program really sends.
#pragma once

#include <cstddef>
#include <cstdint>

struct UdpEndpoint {
    intptr_t socket = -1;  // -1: not open
    uint32_t address = 0;  // IPv4 address, network byte order
    uint16_t port = 0;     // host byte order
};

// Opens a socket for sending to host (a dotted address, or a name resolved to its first
// IPv4 address) and port. Returns false, with nothing left open, when the socket cannot
// be made or the name cannot be resolved.
bool platform_udp_open(const char* host, int port, UdpEndpoint* out);
// Sends one datagram; false when the system refused it.
bool platform_udp_send(const UdpEndpoint& endpoint, const char* data, size_t length);
void platform_udp_close(UdpEndpoint* endpoint);

// Binds a receiving socket to 127.0.0.1 on a free port (written to *port).
bool platform_udp_listen_loopback(UdpEndpoint* out, int* port);
// Waits up to timeout_ms for one datagram; returns its length (cut to capacity) or -1.
long platform_udp_receive(const UdpEndpoint& endpoint, char* buffer, size_t capacity,
                          int timeout_ms);
