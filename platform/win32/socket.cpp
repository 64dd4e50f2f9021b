// socket.cpp - TCP stream sockets with Winsock (see platform/socket.h).
//
// Winsock has no per-call "don't wait" flag, so every connected socket is switched to
// non-blocking mode once, when it is made; reads and writes that would wait report so, and
// the waits are select() with the caller's timeout. Windows never raises a signal on a
// write to a closed connection. SOCKET values are handle-sized and never exceed the range
// of intptr_t; INVALID_SOCKET is -1 there.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/win32/winsock_init.h"

namespace {

int classify(int err) {
    switch (err) {
        case WSAECONNREFUSED:
            return PLATFORM_SOCKET_REFUSED;
        case WSAETIMEDOUT:
            return PLATFORM_SOCKET_TIMEOUT;
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAENETDOWN:
        case WSAEHOSTDOWN:
            return PLATFORM_SOCKET_UNREACHABLE;
        case WSAEADDRINUSE:
            return PLATFORM_SOCKET_IN_USE;
        case WSAEADDRNOTAVAIL:
            return PLATFORM_SOCKET_BAD_ADDRESS;
        default:
            return PLATFORM_SOCKET_OTHER;
    }
}

SOCKET as_socket(intptr_t socket) {
    return static_cast<SOCKET>(socket);
}

void set_non_blocking(SOCKET s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

// Waits for one socket: for reading (with the errors and the end of the stream), or for
// writing (with a failed connect). 1 ready, 0 timeout, -1 failure of the wait.
int wait_one(SOCKET s, bool for_write, int timeout_ms) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval limit;
    timeval* wait = nullptr;
    if (timeout_ms >= 0) {
        limit.tv_sec = timeout_ms / 1000;
        limit.tv_usec = (timeout_ms % 1000) * 1000;
        wait = &limit;
    }
    int rc = select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &failed, wait);
    if (rc == SOCKET_ERROR) return -1;
    return rc > 0 ? 1 : 0;
}

struct addrinfo* resolve(const char* host, int port, int* error) {
    if (host == nullptr || port <= 0 || port > 65535 || !platform_winsock_ready()) {
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

intptr_t connect_one(const struct addrinfo* a, int timeout_ms, int* error) {
    SOCKET s = ::socket(a->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = classify(WSAGetLastError());
        return -1;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    set_non_blocking(s);
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        int code = WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            *error = classify(code);
            closesocket(s);
            return -1;
        }
        int rc = wait_one(s, true, timeout_ms);
        int so_error = 0;
        int length = sizeof so_error;
        if (rc == 1 &&
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &length) == 0 &&
            so_error == 0) {
            *error = PLATFORM_SOCKET_OK;
            return static_cast<intptr_t>(s);
        }
        *error = rc == 0 ? PLATFORM_SOCKET_TIMEOUT
                         : (so_error != 0 ? classify(so_error) : PLATFORM_SOCKET_OTHER);
        closesocket(s);
        return -1;
    }
    *error = PLATFORM_SOCKET_OK;
    return static_cast<intptr_t>(s);
}

}  // namespace

int64_t platform_monotonic_ms() {
    return static_cast<int64_t>(GetTickCount64());
}

intptr_t platform_tcp_connect(const char* host, int port, int timeout_ms, int* error) {
    int dummy;
    if (error == nullptr) error = &dummy;
    struct addrinfo* found = resolve(host, port, error);
    if (found == nullptr) return -1;
    int64_t deadline = platform_monotonic_ms() + (timeout_ms < 0 ? 0 : timeout_ms);
    intptr_t s = -1;
    for (struct addrinfo* a = found; a != nullptr && s < 0; a = a->ai_next) {
        int64_t left = deadline - platform_monotonic_ms();
        if (left < 0) left = 0;
        s = connect_one(a, static_cast<int>(left), error);
    }
    freeaddrinfo(found);
    return s;
}

intptr_t platform_tcp_listen(const char* host, int port, int* bound_port, int* error) {
    int dummy;
    if (error == nullptr) error = &dummy;
    if (port < 0 || port > 65535 || !platform_winsock_ready()) {
        *error = PLATFORM_SOCKET_BAD_ADDRESS;
        return -1;
    }
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    if (host == nullptr || *host == '\0') {
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else if (inet_pton(AF_INET, host, &address.sin_addr) != 1) {
        struct addrinfo* found = resolve(host, port == 0 ? 1 : port, error);
        if (found == nullptr) return -1;
        address.sin_addr = reinterpret_cast<struct sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = classify(WSAGetLastError());
        return -1;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    // Exclusive use: Windows' SO_REUSEADDR would let a second listener steal the port.
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (bind(s, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, 64) != 0) {
        *error = classify(WSAGetLastError());
        closesocket(s);
        return -1;
    }
    if (bound_port != nullptr) {
        int length = sizeof address;
        getsockname(s, reinterpret_cast<struct sockaddr*>(&address), &length);
        *bound_port = ntohs(address.sin_port);
    }
    *error = PLATFORM_SOCKET_OK;
    return static_cast<intptr_t>(s);
}

intptr_t platform_tcp_accept(intptr_t listener, int timeout_ms) {
    SOCKET s = as_socket(listener);
    int rc = wait_one(s, false, timeout_ms);
    if (rc == 0) return -1;
    if (rc < 0) return -2;
    SOCKET client = accept(s, nullptr, nullptr);
    if (client == INVALID_SOCKET) {
        int code = WSAGetLastError();
        // A connection that vanished between the wait and the accept is no listener failure.
        if (code == WSAEWOULDBLOCK || code == WSAECONNRESET || code == WSAEINTR) return -1;
        return -2;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(client), HANDLE_FLAG_INHERIT, 0);
    set_non_blocking(client);
    return static_cast<intptr_t>(client);
}

int platform_socket_wait_readable(intptr_t socket, int timeout_ms) {
    return wait_one(as_socket(socket), false, timeout_ms);
}

int platform_socket_wait_writable(intptr_t socket, int timeout_ms) {
    return wait_one(as_socket(socket), true, timeout_ms);
}

long platform_socket_read(intptr_t socket, void* buffer, size_t capacity) {
    int want = capacity > 0x40000000 ? 0x40000000 : static_cast<int>(capacity);
    int n = recv(as_socket(socket), static_cast<char*>(buffer), want, 0);
    if (n >= 0) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
}

int platform_socket_write_all(intptr_t socket, const void* data, size_t length, int timeout_ms) {
    const char* p = static_cast<const char*>(data);
    int64_t deadline = timeout_ms < 0 ? -1 : platform_monotonic_ms() + timeout_ms;
    while (length > 0) {
        int chunk = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
        int n = send(as_socket(socket), p, chunk, 0);
        if (n > 0) {
            p += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return -1;
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - platform_monotonic_ms();
            if (left <= 0) return 0;
            wait = static_cast<int>(left);
        }
        int rc = wait_one(as_socket(socket), true, wait);
        if (rc == 0) return 0;
        if (rc < 0) return -1;
    }
    return 1;
}

void platform_socket_set_buffers(intptr_t socket, int send_bytes, int receive_bytes) {
    if (send_bytes > 0)
        setsockopt(as_socket(socket), SOL_SOCKET, SO_SNDBUF,
                   reinterpret_cast<const char*>(&send_bytes), sizeof send_bytes);
    if (receive_bytes > 0)
        setsockopt(as_socket(socket), SOL_SOCKET, SO_RCVBUF,
                   reinterpret_cast<const char*>(&receive_bytes), sizeof receive_bytes);
}

void platform_socket_set_nodelay(intptr_t socket) {
    BOOL one = TRUE;
    setsockopt(as_socket(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
               sizeof one);
}

void platform_socket_shutdown(intptr_t socket) {
    if (socket >= 0) shutdown(as_socket(socket), SD_BOTH);
}

void platform_socket_close(intptr_t socket) {
    if (socket >= 0) closesocket(as_socket(socket));
}
