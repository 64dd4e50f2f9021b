// service_notify.cpp - the service manager's notify socket over an AF_UNIX datagram socket.
#include "platform/service_notify.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_lock;
int g_socket = -1;  // guarded by g_lock

// Fills `address` from a NOTIFY_SOCKET value; returns the address length or 0 when the
// value names no socket this program can reach.
socklen_t make_address(const char* name, struct sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    size_t length = std::strlen(name);
    if (length < 2 || length >= sizeof address->sun_path) return 0;
    if (name[0] != '/' && name[0] != '@') return 0;
    std::memcpy(address->sun_path, name, length);
    // A leading '@' stands for the abstract namespace, whose names begin with a zero byte
    // and are not terminated.
    if (name[0] == '@') {
        address->sun_path[0] = '\0';
        return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length);
    }
    return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length + 1);
}

}  // namespace

NotifyOpenResult platform_service_notify_open(std::string* error) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0') return NOTIFY_ABSENT;
    struct sockaddr_un address;
    socklen_t length = make_address(name, &address);
    if (length == 0) {
        *error = std::string("NOTIFY_SOCKET '") + name +
                 "' is not a socket path or an abstract socket name";
        return NOTIFY_FAILED;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("cannot make a socket: ") + std::strerror(errno);
        return NOTIFY_FAILED;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), length) != 0) {
        *error = std::string("cannot reach NOTIFY_SOCKET '") + name + "': " + std::strerror(errno);
        close(fd);
        return NOTIFY_FAILED;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_socket >= 0) close(g_socket);
    g_socket = fd;
    return NOTIFY_OPENED;
}

bool platform_service_notify_send(const char* message) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_socket < 0) return false;
    size_t length = std::strlen(message);
    for (;;) {
        ssize_t sent = send(g_socket, message, length, MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(length)) return true;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }
}

bool platform_service_notify_active() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_socket >= 0;
}

void platform_service_notify_close() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_socket >= 0) close(g_socket);
    g_socket = -1;
}

long platform_notify_listen(const char* path) {
    struct sockaddr_un address;
    socklen_t length = make_address(path, &address);
    if (length == 0) return -1;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (path[0] == '/') unlink(path);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

long platform_notify_receive(long socket, char* buffer, size_t capacity, int timeout_ms) {
    if (socket < 0 || capacity == 0) return -1;
    struct pollfd waiting = {static_cast<int>(socket), POLLIN, 0};
    for (;;) {
        int ready = poll(&waiting, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return -1;
        break;
    }
    ssize_t got = recv(static_cast<int>(socket), buffer, capacity - 1, 0);
    if (got < 0) return -1;
    buffer[got] = '\0';
    return got;
}

void platform_notify_close(long socket, const char* path) {
    if (socket >= 0) close(static_cast<int>(socket));
    if (path != nullptr && path[0] == '/') unlink(path);
}
