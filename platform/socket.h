// socket.h - TCP stream sockets for the feed client library and the feed simulator.
//
// The feed client library (libqdf) connects to feed servers and reads with a timeout; the
// simulator (tools/feedsim) listens, accepts and writes. A socket is an intptr_t so that
// the same signatures serve both platforms; -1 means "no socket". Nothing here keeps
// state between calls: each caller guards its own sockets (libqdf under its handle lock).
// Writes never raise SIGPIPE; a peer that has gone away shows up as a failed write.
#pragma once

#include <cstddef>
#include <cstdint>

// Why a connect, listen or accept failed.
enum PlatformSocketError : int {
    PLATFORM_SOCKET_OK = 0,
    PLATFORM_SOCKET_BAD_ADDRESS = 1,  // host name does not resolve, or the port is out of range
    PLATFORM_SOCKET_REFUSED = 2,      // nobody listens there
    PLATFORM_SOCKET_TIMEOUT = 3,      // no answer within the time allowed
    PLATFORM_SOCKET_UNREACHABLE = 4,  // no route to the host
    PLATFORM_SOCKET_IN_USE = 5,       // the listening address is taken
    PLATFORM_SOCKET_OTHER = 6         // anything else the system reported
};

// Connects to host (dotted address or name; every resolved IPv4 address is tried) and port,
// waiting at most timeout_ms. Returns the connected socket, or -1 with *error set.
intptr_t platform_tcp_connect(const char* host, int port, int timeout_ms, int* error);

// Listens on host:port (port 0 picks a free port; *bound_port receives the port in use).
// Returns the listening socket, or -1 with *error set.
intptr_t platform_tcp_listen(const char* host, int port, int* bound_port, int* error);

// Waits up to timeout_ms (negative: for ever) for a connection. Returns the new socket,
// -1 after the wait with nobody, or -2 when the listening socket failed (it was closed or
// shut down by another thread).
intptr_t platform_tcp_accept(intptr_t listener, int timeout_ms);

// Waits up to timeout_ms (negative: for ever) until the socket can be read (data, end of
// stream or an error). Returns 1 readable, 0 timeout, -1 failure of the wait itself.
int platform_socket_wait_readable(intptr_t socket, int timeout_ms);
// The same for writing: 1 when the socket takes data (or has failed), 0 timeout, -1 failure
// of the wait. Used by the PostgreSQL module's connect, which steps libpq's handshake itself
// so that a stop request can end it.
int platform_socket_wait_writable(intptr_t socket, int timeout_ms);

// Reads what is there without waiting. Returns the byte count (> 0), 0 at the end of the
// stream, -1 on an error (connection reset, socket shut down), -2 when nothing is there yet.
long platform_socket_read(intptr_t socket, void* buffer, size_t capacity);

// Writes all bytes, waiting up to timeout_ms (negative: for ever) in total for the peer to
// take them. Returns 1 when everything was written, 0 on timeout (some bytes may have been
// written), -1 when the connection failed.
int platform_socket_write_all(intptr_t socket, const void* data, size_t length, int timeout_ms);

// Sets the kernel's send and receive buffer sizes (0 leaves one alone). Best effort.
void platform_socket_set_buffers(intptr_t socket, int send_bytes, int receive_bytes);
// Turns off the small-write delay (Nagle) so that single small messages leave at once.
void platform_socket_set_nodelay(intptr_t socket);

// Ends both directions at once: a thread waiting on the socket wakes up, and the peer sees
// the end of the stream. The socket stays allocated until platform_socket_close.
void platform_socket_shutdown(intptr_t socket);
void platform_socket_close(intptr_t socket);

// Milliseconds of a monotonic clock, for deadlines that must not jump with the wall clock.
int64_t platform_monotonic_ms();
