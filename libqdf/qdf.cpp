// qdf.cpp - the feed client library: one connection per handle, batches read with
// qdf_consume, outgoing messages encoded straight into frames (see qdf.h).
//
// Thread contract: the owner thread does everything except qdf_disconnect and
// qdf_get_property. `lock` guards `socket`, `busy` and `cut`: while the owner sits in a
// call that uses the socket (busy), another thread's qdf_disconnect only shuts the socket
// down, which wakes the owner's wait; the owner then closes it. So no thread ever closes a
// descriptor that another one is polling, and a descriptor number cannot be reused under
// a waiting owner. The receive buffer and the batch cursor are touched by the owner only.
#include "libqdf/qdf.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "libqdf/wire.h"
#include "platform/socket.h"
#include "platform/time_conv.h"

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 10000;
constexpr int kDefaultPort = 9100;
// One read asks for this much at least; the buffer grows to hold the largest frame.
constexpr size_t kReadChunk = 256 * 1024;
// A batch stops growing at this many bytes: the caller gets control back regularly even
// when the server sends without pause.
constexpr size_t kBatchBytes = 1024 * 1024;

}  // namespace

struct qdf_handle {
    std::mutex lock;
    intptr_t socket = -1;  // guarded by lock
    bool busy = false;     // guarded by lock: the owner is using socket outside the lock
    bool cut = false;      // guarded by lock: qdf_disconnect came while busy
    std::atomic<int32_t> error{QDF_ERR_NONE};
    std::atomic<int32_t> time_offset{0};
    std::atomic<bool> have_offset{false};

    // Owner thread only.
    std::vector<uint8_t> buffer;
    size_t filled = 0;      // bytes received
    size_t read_pos = 0;    // first frame not yet handed out
    size_t batch_end = 0;   // end of the frames of the current batch
    int pending_error = 0;  // the connection ended after the frames still buffered
    bool have_message = false;
    qdf_wire::FieldCursor cursor;
    std::vector<char> value;  // the current field's value, NUL-terminated
    uint32_t sequence = 0;
};

struct qdf_message {
    std::vector<uint8_t> bytes;
    qdf_wire::FrameWriter writer{&bytes};
    bool failed = false;  // a field did not fit: sending would give a truncated message
};

namespace {

void set_error(qdf_handle* h, int code) {
    h->error.store(code, std::memory_order_relaxed);
}

int map_socket_error(int e) {
    switch (e) {
        case PLATFORM_SOCKET_BAD_ADDRESS:
            return QDF_ERR_BAD_ADDRESS;
        case PLATFORM_SOCKET_REFUSED:
            return QDF_ERR_REFUSED;
        case PLATFORM_SOCKET_TIMEOUT:
            return QDF_ERR_TIMEOUT;
        case PLATFORM_SOCKET_UNREACHABLE:
            return QDF_ERR_UNREACHABLE;
        default:
            return QDF_ERR_CONNECT;
    }
}

// Marks the owner as using the socket. Returns the socket, or -1 when there is none.
intptr_t enter(qdf_handle* h) {
    std::lock_guard<std::mutex> guard(h->lock);
    if (h->socket < 0 || h->cut) return -1;
    h->busy = true;
    return h->socket;
}

// Ends the owner's use. When a disconnect came meanwhile, closes the socket and returns
// false.
bool leave(qdf_handle* h) {
    std::lock_guard<std::mutex> guard(h->lock);
    h->busy = false;
    if (h->cut) {
        platform_socket_close(h->socket);
        h->socket = -1;
        h->cut = false;
        return false;
    }
    return true;
}

// Owner thread: forget everything received on the connection.
void reset_input(qdf_handle* h) {
    h->filled = h->read_pos = h->batch_end = 0;
    h->pending_error = 0;
    h->have_message = false;
    h->sequence = 0;
    h->have_offset.store(false);
}

// Owner thread: close the connection after a failure found while reading.
void drop_connection(qdf_handle* h, int code) {
    {
        std::lock_guard<std::mutex> guard(h->lock);
        if (h->socket >= 0) {
            platform_socket_shutdown(h->socket);
            platform_socket_close(h->socket);
        }
        h->socket = -1;
        h->cut = false;
    }
    reset_input(h);
    set_error(h, code);
}

void apply_control(qdf_handle* h, const qdf_wire::FrameView& frame) {
    if (frame.type != qdf_wire::kTypeHello) return;  // unknown control frames are skipped
    qdf_wire::FieldCursor c;
    c.start(frame);
    uint32_t tag, length;
    uint8_t kind;
    const char* value;
    while (c.step(&tag, &kind, &value, &length)) {
        if (tag != qdf_wire::kHelloServerTime || value == nullptr || length == 0 || length > 20)
            continue;
        char text[24];
        std::memcpy(text, value, length);
        text[length] = '\0';
        char* stop = nullptr;
        errno = 0;
        long long server_us = std::strtoll(text, &stop, 10);
        if (*stop != '\0' || errno == ERANGE) continue;
        // A server clock outside 1970 to 9999 is nonsense, and far enough out it would
        // overflow the difference below: such a time is ignored, as a missing one is.
        constexpr long long kLatestUs = 253402300799LL * 1000000;  // 9999-12-31T23:59:59Z
        if (server_us < 0 || server_us > kLatestUs) continue;
        int64_t now_s;
        int32_t now_us;
        platform_now(&now_s, &now_us);
        if (now_s < 0 || now_s > kLatestUs / 1000000) continue;
        long long local_us = static_cast<long long>(now_s) * 1000000 + now_us;
        long long diff = server_us - local_us;
        // The offset is kept in whole seconds of 32 bits.
        constexpr long long kMaxOffsetUs = static_cast<long long>(INT32_MAX) * 1000000;
        if (diff > kMaxOffsetUs || diff < -kMaxOffsetUs) continue;
        // Rounded to whole seconds: the caller adds it to times it keeps in seconds.
        long long seconds = diff >= 0 ? (diff + 500000) / 1000000 : -((-diff + 500000) / 1000000);
        h->time_offset.store(static_cast<int32_t>(seconds));
        h->have_offset.store(true);
    }
}

// Owner thread: finds the complete frames after read_pos. Returns the number of frames
// that the caller will see; sets pending_error when a bad frame follows them.
int scan_batch(qdf_handle* h) {
    size_t pos = h->read_pos;
    int deliverable = 0;
    while (pos < h->filled && pos - h->read_pos < kBatchBytes) {
        qdf_wire::FrameView frame;
        size_t bytes = 0;
        int rc = qdf_wire::decode_frame(h->buffer.data() + pos, h->filled - pos, &frame, &bytes);
        if (rc == qdf_wire::kNeedMore) break;
        if (rc != qdf_wire::kComplete) {
            h->pending_error =
                rc == qdf_wire::kTooLarge ? QDF_ERR_FRAME_TOO_LARGE : QDF_ERR_PROTOCOL;
            break;
        }
        if (frame.type >= qdf_wire::kControlTypeBase) {
            apply_control(h, frame);
            // A control frame at the front is consumed at once.
            if (pos == h->read_pos) h->read_pos += bytes;
        } else {
            ++deliverable;
        }
        pos += bytes;
    }
    h->batch_end = pos;
    return deliverable;
}

// Owner thread: keeps the unread bytes and room for at least one more chunk.
bool make_room(qdf_handle* h) {
    if (h->read_pos > 0) {
        size_t keep = h->filled - h->read_pos;
        if (keep > 0) std::memmove(h->buffer.data(), h->buffer.data() + h->read_pos, keep);
        h->filled = keep;
        h->batch_end = h->batch_end > h->read_pos ? h->batch_end - h->read_pos : 0;
        h->read_pos = 0;
    }
    size_t want = h->filled + kReadChunk;
    if (h->buffer.size() < want) {
        try {
            h->buffer.resize(want);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    return true;
}

int format_value(qdf_message* m, uint32_t tag, uint8_t kind, const char* value) {
    if (m == nullptr) return 0;
    if (!m->writer.open() ||
        !m->writer.field(tag, kind, value, value == nullptr ? 0 : std::strlen(value))) {
        m->failed = true;
        return 0;
    }
    return 1;
}

}  // namespace

extern "C" {

qdf_handle* qdf_create(void) {
    return new (std::nothrow) qdf_handle();
}

void qdf_destroy(qdf_handle* handle) {
    if (handle == nullptr) return;
    qdf_disconnect(handle);
    delete handle;
}

qdf_message* qdf_message_create(void) {
    return new (std::nothrow) qdf_message();
}

void qdf_message_destroy(qdf_message* message) {
    delete message;
}

int qdf_connect(qdf_handle* handle, const char* servers) {
    if (handle == nullptr) return 0;
    qdf_disconnect(handle);
    reset_input(handle);
    if (servers == nullptr) {
        set_error(handle, QDF_ERR_BAD_ADDRESS);
        return 0;
    }
    int last_error = QDF_ERR_BAD_ADDRESS;
    const char* p = servers;
    while (*p != '\0') {
        const char* comma = std::strchr(p, ',');
        std::string entry = comma ? std::string(p, comma) : std::string(p);
        p = comma ? comma + 1 : p + entry.size();
        size_t b = entry.find_first_not_of(" \t");
        size_t e = entry.find_last_not_of(" \t");
        if (b == std::string::npos) continue;
        entry = entry.substr(b, e - b + 1);
        std::string host = entry;
        int port = kDefaultPort;
        size_t colon = entry.rfind(':');
        if (colon != std::string::npos) {
            host = entry.substr(0, colon);
            const char* digits = entry.c_str() + colon + 1;
            char* stop = nullptr;
            long value = std::strtol(digits, &stop, 10);
            if (*digits == '\0' || *stop != '\0' || value <= 0 || value > 65535) {
                last_error = QDF_ERR_BAD_ADDRESS;
                continue;
            }
            port = static_cast<int>(value);
        }
        if (host.empty()) {
            last_error = QDF_ERR_BAD_ADDRESS;
            continue;
        }
        int socket_error = 0;
        intptr_t s = platform_tcp_connect(host.c_str(), port, kConnectTimeoutMs, &socket_error);
        if (s < 0) {
            last_error = map_socket_error(socket_error);
            continue;
        }
        platform_socket_set_nodelay(s);
        platform_socket_set_buffers(s, 0, 4 * 1024 * 1024);
        {
            std::lock_guard<std::mutex> guard(handle->lock);
            handle->socket = s;
            handle->cut = false;
        }
        set_error(handle, QDF_ERR_NONE);
        return 1;
    }
    set_error(handle, last_error);
    return 0;
}

int qdf_disconnect(qdf_handle* handle) {
    if (handle == nullptr) return 0;
    std::lock_guard<std::mutex> guard(handle->lock);
    if (handle->socket < 0) return 1;
    platform_socket_shutdown(handle->socket);
    if (handle->busy) {
        handle->cut = true;  // the owner closes it when its wait ends
    } else {
        platform_socket_close(handle->socket);
        handle->socket = -1;
        handle->cut = false;
    }
    handle->error.store(QDF_ERR_DISCONNECTED, std::memory_order_relaxed);
    return 1;
}

int qdf_get_property(qdf_handle* handle, int id, int32_t* value) {
    if (handle == nullptr || value == nullptr) return 0;
    switch (id) {
        case PROP_ERROR:
            *value = handle->error.load(std::memory_order_relaxed);
            return 1;
        case PROP_TIME_OFFSET:
            if (!handle->have_offset.load()) return 0;
            *value = handle->time_offset.load();
            return 1;
        default:
            return 0;
    }
}

int qdf_consume(qdf_handle* h, int seconds) {
    if (h == nullptr) return -1;
    // Whatever was not taken of the last batch stays for this one.
    h->have_message = false;
    intptr_t s = enter(h);
    if (s < 0) {
        // Never connected, dropped earlier, or cut by qdf_disconnect while idle: whatever is
        // still buffered belonged to that connection and no longer counts.
        reset_input(h);
        if (h->error.load() != QDF_ERR_DISCONNECTED) set_error(h, QDF_ERR_NOT_CONNECTED);
        return -1;
    }

    int result = 0;
    int64_t deadline =
        platform_monotonic_ms() + (seconds > 0 ? static_cast<int64_t>(seconds) * 1000 : 0);
    for (;;) {
        if (scan_batch(h) > 0) {
            result = 1;
            break;
        }
        if (h->pending_error != 0) {
            result = -1;
            break;
        }
        int64_t left = deadline - platform_monotonic_ms();
        int rc = platform_socket_wait_readable(s, left < 0 ? 0 : static_cast<int>(left));
        if (rc == 0) break;  // nothing complete within the wait
        if (rc < 0) {
            h->pending_error = QDF_ERR_IO;
            result = -1;
            break;
        }
        if (!make_room(h)) {
            h->pending_error = QDF_ERR_NO_MEMORY;
            result = -1;
            break;
        }
        // Read everything that is there, up to the batch limit, before judging the frames.
        bool ended = false;
        for (;;) {
            long n =
                platform_socket_read(s, h->buffer.data() + h->filled, h->buffer.size() - h->filled);
            if (n > 0) {
                h->filled += static_cast<size_t>(n);
                if (h->filled - h->read_pos >= kBatchBytes || h->filled == h->buffer.size()) break;
                continue;
            }
            if (n == -2) break;
            ended = true;
            h->pending_error = n == 0 ? QDF_ERR_CLOSED : QDF_ERR_IO;
            break;
        }
        if (ended) {
            bool cut;
            {
                std::lock_guard<std::mutex> guard(h->lock);
                cut = h->cut;
            }
            if (cut) {
                result = -1;  // our own disconnect: nothing more is delivered
                break;
            }
            // Deliver what arrived before the end; the end is reported by the next call.
            result = scan_batch(h) > 0 ? 1 : -1;
            break;
        }
    }

    if (!leave(h)) {
        drop_connection(h, QDF_ERR_DISCONNECTED);
        return -1;
    }
    if (result == -1) {
        int code = h->pending_error != 0 ? h->pending_error : QDF_ERR_IO;
        // The stream ended inside a frame: the server went away mid-message.
        if (code == QDF_ERR_CLOSED && h->filled > h->read_pos) code = QDF_ERR_TRUNCATED;
        drop_connection(h, code);
        return -1;
    }
    return result;
}

int qdf_get_next_message(qdf_handle* h, int* type, int32_t* sequence, uint64_t* insref) {
    if (h == nullptr) return 0;
    h->have_message = false;
    while (h->read_pos < h->batch_end) {
        qdf_wire::FrameView frame;
        size_t bytes = 0;
        if (qdf_wire::decode_frame(h->buffer.data() + h->read_pos, h->batch_end - h->read_pos,
                                   &frame, &bytes) != qdf_wire::kComplete)
            return 0;  // cannot happen: scan_batch judged these bytes already
        h->read_pos += bytes;
        if (frame.type >= qdf_wire::kControlTypeBase) continue;  // applied by scan_batch
        h->cursor.start(frame);
        h->have_message = true;
        ++h->sequence;
        if (type) *type = frame.type;
        if (sequence) *sequence = static_cast<int32_t>(h->sequence);
        if (insref) *insref = frame.insref;
        return 1;
    }
    return 0;
}

int qdf_get_next_field(qdf_handle* h, uint32_t* tag, const char** value) {
    if (h == nullptr || !h->have_message) return 0;
    uint32_t t, length;
    uint8_t kind;
    const char* data;
    if (!h->cursor.step(&t, &kind, &data, &length)) {
        h->have_message = false;
        return 0;
    }
    if (tag) *tag = t;
    if (value) {
        if (data == nullptr) {
            *value = nullptr;
        } else {
            if (h->value.size() < length + 1) h->value.resize(length + 1 < 256 ? 256 : length + 1);
            if (length > 0) std::memcpy(h->value.data(), data, length);
            h->value[length] = '\0';
            *value = h->value.data();
        }
    }
    return 1;
}

int qdf_message_add(qdf_message* message, uint64_t insref, int type) {
    if (message == nullptr || type < 0 || type >= qdf_wire::kControlTypeBase) return 0;
    message->writer.begin(static_cast<uint16_t>(type), insref);
    return 1;
}

int qdf_message_add_string(qdf_message* message, uint32_t tag, const char* value) {
    return format_value(message, tag, qdf_wire::kString, value);
}

int qdf_message_add_numeric(qdf_message* message, uint32_t tag, const char* value) {
    return format_value(message, tag, qdf_wire::kNumeric, value);
}

int qdf_message_add_list(qdf_message* message, uint32_t tag, const char* value) {
    return format_value(message, tag, qdf_wire::kList, value);
}

int qdf_message_add_uint(qdf_message* message, uint32_t tag, uint64_t value, int decimals) {
    if (decimals < 0 || decimals > 19) {
        if (message != nullptr) message->failed = true;
        return 0;
    }
    char digits[48];
    int n = std::snprintf(digits, sizeof digits, "%0*" PRIu64, decimals + 1, value);
    char text[48];
    if (decimals == 0) {
        std::memcpy(text, digits, static_cast<size_t>(n) + 1);
    } else {
        int whole = n - decimals;
        std::memcpy(text, digits, static_cast<size_t>(whole));
        text[whole] = '.';
        std::memcpy(text + whole + 1, digits + whole, static_cast<size_t>(decimals) + 1);
    }
    return format_value(message, tag, qdf_wire::kNumeric, text);
}

int qdf_message_add_date2(qdf_message* message, uint32_t tag, int year, int month, int day) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return format_value(message, tag, qdf_wire::kString, text);
}

int qdf_message_add_time2(qdf_message* message, uint32_t tag, int hour, int minute, int second,
                          int fraction) {
    char text[40];
    if (fraction == 0)
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", hour, minute, second);
    else
        std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06d", hour, minute, second, fraction);
    return format_value(message, tag, qdf_wire::kString, text);
}

int qdf_message_send(qdf_handle* handle, qdf_message* message) {
    if (handle == nullptr || message == nullptr) return 0;
    if (message->failed) {
        set_error(handle, QDF_ERR_MESSAGE);
        return 0;
    }
    message->writer.end();
    if (message->bytes.empty()) {
        set_error(handle, QDF_ERR_MESSAGE);
        return 0;
    }
    intptr_t s = enter(handle);
    if (s < 0) {
        if (handle->error.load() == QDF_ERR_NONE) set_error(handle, QDF_ERR_NOT_CONNECTED);
        return 0;
    }
    int rc =
        platform_socket_write_all(s, message->bytes.data(), message->bytes.size(), kSendTimeoutMs);
    if (!leave(handle)) {
        drop_connection(handle, QDF_ERR_DISCONNECTED);
        return 0;
    }
    if (rc != 1) {
        // A partly written frame leaves the stream out of step: the connection is useless.
        drop_connection(handle, rc == 0 ? QDF_ERR_TIMEOUT : QDF_ERR_IO);
        return 0;
    }
    return 1;
}

int qdf_message_reset(qdf_message* message) {
    if (message == nullptr) return 0;
    message->bytes.clear();
    message->writer = qdf_wire::FrameWriter(&message->bytes);
    message->failed = false;
    return 1;
}

}  // extern "C"
