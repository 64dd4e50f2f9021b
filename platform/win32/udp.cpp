// udp.cpp - UDP sockets with Winsock (the syslog client and its tests).
#include "platform/udp.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/win32/winsock_init.h"

namespace {

bool resolve_ipv4(const char* host, uint32_t* address) {
    struct in_addr parsed;
    if (inet_pton(AF_INET, host, &parsed) == 1) {
        *address = parsed.s_addr;
        return true;
    }
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    *address = reinterpret_cast<struct sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

SOCKET as_socket(intptr_t socket) {
    return static_cast<SOCKET>(socket);
}

}  // namespace

bool platform_udp_open(const char* host, int port, UdpEndpoint* out) {
    if (!platform_winsock_ready()) return false;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return false;
    uint32_t address;
    if (!resolve_ipv4(host, &address)) {
        closesocket(s);
        return false;
    }
    out->socket = static_cast<intptr_t>(s);
    out->address = address;
    out->port = static_cast<uint16_t>(port);
    return true;
}

bool platform_udp_send(const UdpEndpoint& endpoint, const char* data, size_t length) {
    if (endpoint.socket < 0) return false;
    struct sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = endpoint.address;
    to.sin_port = htons(endpoint.port);
    int sent = sendto(as_socket(endpoint.socket), data, static_cast<int>(length), 0,
                      reinterpret_cast<struct sockaddr*>(&to), sizeof to);
    return sent == static_cast<int>(length);
}

void platform_udp_close(UdpEndpoint* endpoint) {
    if (endpoint->socket >= 0) closesocket(as_socket(endpoint->socket));
    endpoint->socket = -1;
}

bool platform_udp_listen_loopback(UdpEndpoint* out, int* port) {
    if (!platform_winsock_ready()) return false;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return false;
    struct sockaddr_in at;
    std::memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof at;
    // Large datagrams (a cut message is over 10 kB) must not be dropped by a small buffer.
    int buffer_size = 1 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer_size),
               sizeof buffer_size);
    if (bind(s, reinterpret_cast<struct sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(s, reinterpret_cast<struct sockaddr*>(&at), &length) != 0) {
        closesocket(s);
        return false;
    }
    out->socket = static_cast<intptr_t>(s);
    out->address = at.sin_addr.s_addr;
    out->port = ntohs(at.sin_port);
    *port = out->port;
    return true;
}

long platform_udp_receive(const UdpEndpoint& endpoint, char* buffer, size_t capacity,
                          int timeout_ms) {
    SOCKET s = as_socket(endpoint.socket);
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (select(0, &ready, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit) <= 0) return -1;
    int got = recv(s, buffer, static_cast<int>(capacity), 0);
    return got < 0 ? -1 : got;
}
