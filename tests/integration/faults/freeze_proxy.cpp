// freeze_proxy.cpp - a TCP relay for the fault tests that can freeze the network between zel
// and its database server without closing anything.
//
//   freeze_proxy PORT_FILE TARGET_HOST TARGET_PORT CONTROL_FILE
//
// Listens on a free loopback port (written to PORT_FILE once listening) and relays every
// connection to TARGET_HOST:TARGET_PORT. While CONTROL_FILE holds the word "freeze" no byte
// moves in either direction and no connection is closed: both ends see a link that has
// gone silent. Any other content, or no file, lets the bytes flow again; what was sent
// meanwhile is delivered then. The file is looked at every 50 ms. Each change of state and
// each connection is logged on standard error with a monotonic time stamp, so that a test
// can tell when the link froze and healed.
//
// What a relay in user space cannot do: the kernel under it still acknowledges what the
// peers send, so a frozen link looks to TCP like a peer that stopped reading, not like one
// that vanished. Keepalive probes are answered; only an end that waits for an answer with
// a deadline of its own notices the silence.
//
// Threads: the main thread accepts; each connection has one thread per direction. The
// frozen flag is an atomic that the control thread sets; nothing else is shared.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/socket.h"

namespace {

std::atomic<bool> g_frozen{false};
const int64_t g_start_ms = platform_monotonic_ms();

void note(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "%8.3f %s\n", (platform_monotonic_ms() - g_start_ms) / 1000.0, text);
    std::fflush(stderr);
}

bool frozen_requested(const std::string& control) {
    std::ifstream in(control);
    std::string word;
    return in >> word && word == "freeze";
}

void watch_control(std::string control) {
    for (;;) {
        bool want = frozen_requested(control);
        if (want != g_frozen.load()) {
            g_frozen.store(want);
            note(want ? "frozen" : "healed");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Moves bytes from one socket to the other until either end closes. While frozen it does
// not read, so what the sender writes stays in the kernel's buffers.
void pump(intptr_t from, intptr_t to, int connection, const char* direction) {
    char buffer[16384];
    for (;;) {
        if (g_frozen.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        int ready = platform_socket_wait_readable(from, 50);
        if (ready < 0) break;
        if (ready == 0 || g_frozen.load()) continue;
        long n = platform_socket_read(from, buffer, sizeof buffer);
        if (n == -2) continue;
        if (n <= 0) break;
        // Written in slices so that a freeze that comes in the middle of a large block
        // holds back the rest of it too.
        long done = 0;
        while (done < n) {
            while (g_frozen.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            long slice = n - done < 1024 ? n - done : 1024;
            if (platform_socket_write_all(to, buffer + done, static_cast<size_t>(slice), -1) != 1) {
                done = -1;
                break;
            }
            done += slice;
        }
        if (done < 0) break;
    }
    note("connection %d %s ended", connection, direction);
    platform_socket_shutdown(from);
    platform_socket_shutdown(to);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: freeze_proxy PORT_FILE TARGET_HOST TARGET_PORT CONTROL_FILE\n");
        return 2;
    }
    const std::string port_file = argv[1], host = argv[2], control = argv[4];
    const int target_port = std::atoi(argv[3]);
    int bound = 0, error = 0;
    intptr_t listener = platform_tcp_listen("127.0.0.1", 0, &bound, &error);
    if (listener < 0) {
        std::fprintf(stderr, "freeze_proxy: cannot listen (error %d)\n", error);
        return 1;
    }
    std::thread(watch_control, control).detach();
    {
        std::string temp = port_file + ".tmp";
        std::ofstream out(temp);
        out << bound << "\n";
        out.close();
        std::rename(temp.c_str(), port_file.c_str());
    }
    note("listening on 127.0.0.1:%d for %s:%d", bound, host.c_str(), target_port);
    int connections = 0;
    for (;;) {
        intptr_t client = platform_tcp_accept(listener, 1000);
        if (client == -2) return 1;
        if (client < 0) continue;
        intptr_t server = platform_tcp_connect(host.c_str(), target_port, 5000, &error);
        if (server < 0) {
            note("connect to the target failed (error %d)", error);
            platform_socket_close(client);
            continue;
        }
        int number = ++connections;
        note("connection %d opened", number);
        // Each connection's two pumps close their sockets once both have ended.
        std::thread([client, server, number] {
            std::thread up(pump, client, server, number, "to server");
            pump(server, client, number, "to client");
            up.join();
            platform_socket_close(client);
            platform_socket_close(server);
        }).detach();
    }
}
