// udp.cpp - UDP sockets with the BSD socket calls.
#include "platform/udp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

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

}  // namespace

bool platform_udp_open(const char* host, int port, UdpEndpoint* out) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    uint32_t address;
    if (!resolve_ipv4(host, &address)) {
        close(fd);
        return false;
    }
    out->socket = fd;
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
    ssize_t sent = sendto(static_cast<int>(endpoint.socket), data, length, MSG_NOSIGNAL,
                          reinterpret_cast<struct sockaddr*>(&to), sizeof to);
    return sent == static_cast<ssize_t>(length);
}

void platform_udp_close(UdpEndpoint* endpoint) {
    if (endpoint->socket >= 0) close(static_cast<int>(endpoint->socket));
    endpoint->socket = -1;
}

bool platform_udp_listen_loopback(UdpEndpoint* out, int* port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    struct sockaddr_in at;
    std::memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = 0;
    socklen_t length = sizeof at;
    // Large datagrams (a cut message is over 10 kB) must not be dropped by a small buffer.
    int buffer_size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&at), &length) != 0) {
        close(fd);
        return false;
    }
    out->socket = fd;
    out->address = at.sin_addr.s_addr;
    out->port = ntohs(at.sin_port);
    *port = out->port;
    return true;
}

long platform_udp_receive(const UdpEndpoint& endpoint, char* buffer, size_t capacity,
                          int timeout_ms) {
    struct pollfd waiting = {static_cast<int>(endpoint.socket), POLLIN, 0};
    if (poll(&waiting, 1, timeout_ms) <= 0) return -1;
    ssize_t got = recv(static_cast<int>(endpoint.socket), buffer, capacity, 0);
    return got < 0 ? -1 : static_cast<long>(got);
}
