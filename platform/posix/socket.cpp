// socket.cpp - TCP stream sockets with the BSD socket calls (see platform/socket.h).
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int classify(int err) {
    switch (err) {
        case ECONNREFUSED:
            return PLATFORM_SOCKET_REFUSED;
        case ETIMEDOUT:
            return PLATFORM_SOCKET_TIMEOUT;
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ENETDOWN:
        case EHOSTDOWN:
            return PLATFORM_SOCKET_UNREACHABLE;
        case EADDRINUSE:
            return PLATFORM_SOCKET_IN_USE;
        case EADDRNOTAVAIL:
            return PLATFORM_SOCKET_BAD_ADDRESS;
        default:
            return PLATFORM_SOCKET_OTHER;
    }
}

// Retries poll after signals, keeping to the overall deadline.
int poll_one(int fd, short events, int timeout_ms) {
    int64_t deadline = timeout_ms < 0 ? -1 : platform_monotonic_ms() + timeout_ms;
    for (;;) {
        struct pollfd p;
        p.fd = fd;
        p.events = events;
        p.revents = 0;
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - platform_monotonic_ms();
            wait = left < 0 ? 0 : static_cast<int>(left);
        }
        int rc = poll(&p, 1, wait);
        if (rc > 0) return 1;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

struct addrinfo* resolve(const char* host, int port, int* error) {
    if (host == nullptr || port <= 0 || port > 65535) {
        *error = PLATFORM_SOCKET_BAD_ADDRESS;
        return nullptr;
    }
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) {
        *error = PLATFORM_SOCKET_BAD_ADDRESS;
        return nullptr;
    }
    return found;
}

// One connect attempt to one address, non-blocking so that the timeout holds.
int connect_one(const struct addrinfo* a, int timeout_ms, int* error) {
    int fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = classify(errno);
        return -1;
    }
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            *error = classify(errno);
            close(fd);
            return -1;
        }
        int rc = poll_one(fd, POLLOUT, timeout_ms);
        if (rc <= 0) {
            *error = rc == 0 ? PLATFORM_SOCKET_TIMEOUT : PLATFORM_SOCKET_OTHER;
            close(fd);
            return -1;
        }
        int so_error = 0;
        socklen_t len = sizeof so_error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0 || so_error != 0) {
            *error = classify(so_error != 0 ? so_error : errno);
            close(fd);
            return -1;
        }
    }
    // Back to blocking: reads and writes use poll and MSG_DONTWAIT where they must not wait.
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *error = PLATFORM_SOCKET_OK;
    return fd;
}

}  // namespace

int64_t platform_monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

intptr_t platform_tcp_connect(const char* host, int port, int timeout_ms, int* error) {
    int dummy;
    if (error == nullptr) error = &dummy;
    struct addrinfo* found = resolve(host, port, error);
    if (found == nullptr) return -1;
    int64_t deadline = platform_monotonic_ms() + (timeout_ms < 0 ? 0 : timeout_ms);
    int fd = -1;
    for (struct addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        int64_t left = deadline - platform_monotonic_ms();
        if (left < 0) left = 0;
        fd = connect_one(a, static_cast<int>(left), error);
    }
    freeaddrinfo(found);
    return fd;
}

intptr_t platform_tcp_listen(const char* host, int port, int* bound_port, int* error) {
    int dummy;
    if (error == nullptr) error = &dummy;
    if (port < 0 || port > 65535) {
        *error = PLATFORM_SOCKET_BAD_ADDRESS;
        return -1;
    }
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (host == nullptr || *host == '\0') {
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else if (inet_pton(AF_INET, host, &address.sin_addr) != 1) {
        struct addrinfo* found = resolve(host, port == 0 ? 1 : port, error);
        if (found == nullptr) return -1;
        address.sin_addr = reinterpret_cast<struct sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = classify(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 64) != 0) {
        *error = classify(errno);
        close(fd);
        return -1;
    }
    if (bound_port != nullptr) {
        socklen_t len = sizeof address;
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &len);
        *bound_port = ntohs(address.sin_port);
    }
    *error = PLATFORM_SOCKET_OK;
    return fd;
}

intptr_t platform_tcp_accept(intptr_t listener, int timeout_ms) {
    int fd = static_cast<int>(listener);
    struct pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    int rc = poll(&p, 1, timeout_ms);
    if (rc == 0) return -1;
    if (rc < 0) return errno == EINTR ? -1 : -2;
    if (p.revents & (POLLERR | POLLNVAL | POLLHUP)) return -2;
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        // A connection that vanished between poll and accept is not a listener failure.
        if (errno == EAGAIN || errno == ECONNABORTED || errno == EINTR || errno == EPROTO)
            return -1;
        return -2;
    }
    return client;
}

int platform_socket_wait_readable(intptr_t socket, int timeout_ms) {
    return poll_one(static_cast<int>(socket), POLLIN, timeout_ms);
}

int platform_socket_wait_writable(intptr_t socket, int timeout_ms) {
    return poll_one(static_cast<int>(socket), POLLOUT, timeout_ms);
}

long platform_socket_read(intptr_t socket, void* buffer, size_t capacity) {
    for (;;) {
        ssize_t n = recv(static_cast<int>(socket), buffer, capacity, MSG_DONTWAIT);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
        return -1;
    }
}

int platform_socket_write_all(intptr_t socket, const void* data, size_t length, int timeout_ms) {
    const char* p = static_cast<const char*>(data);
    int64_t deadline = timeout_ms < 0 ? -1 : platform_monotonic_ms() + timeout_ms;
    while (length > 0) {
        ssize_t n = send(static_cast<int>(socket), p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - platform_monotonic_ms();
            if (left <= 0) return 0;
            wait = static_cast<int>(left);
        }
        int rc = poll_one(static_cast<int>(socket), POLLOUT, wait);
        if (rc == 0) return 0;
        if (rc < 0) return -1;
    }
    return 1;
}

void platform_socket_set_buffers(intptr_t socket, int send_bytes, int receive_bytes) {
    if (send_bytes > 0)
        setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDBUF, &send_bytes, sizeof send_bytes);
    if (receive_bytes > 0)
        setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVBUF, &receive_bytes,
                   sizeof receive_bytes);
}

void platform_socket_set_nodelay(intptr_t socket) {
    int one = 1;
    setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void platform_socket_shutdown(intptr_t socket) {
    if (socket >= 0) shutdown(static_cast<int>(socket), SHUT_RDWR);
}

void platform_socket_close(intptr_t socket) {
    if (socket >= 0) close(static_cast<int>(socket));
}
