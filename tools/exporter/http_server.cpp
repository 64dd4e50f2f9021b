// http_server.cpp - accepting, reading one request, answering, closing.
//
// Requests are small (a scraper or a browser sends a few hundred bytes of head), so a
// request head is limited to 8 KiB; a body that comes with a rejected method is read and
// dropped up to 64 KiB so that closing the socket does not reset the connection before the
// client has read the 405.
#include "tools/exporter/http_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/socket.h"
#include "zel/base/log.h"

namespace exporter {

namespace {

constexpr size_t kHeadLimit = 8192;
constexpr size_t kDrainLimit = 65536;

// The value of Content-Length in the head, 0 when absent or unreadable.
size_t content_length(const std::string& head) {
    size_t at = 0;
    while ((at = head.find('\n', at)) != std::string::npos) {
        ++at;
        static const char kName[] = "content-length:";
        size_t n = sizeof kName - 1;
        if (head.size() - at < n) break;
        bool match = true;
        for (size_t i = 0; i < n && match; ++i) {
            char c = head[at + i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            match = c == kName[i];
        }
        if (match) return std::strtoul(head.c_str() + at + n, nullptr, 10);
    }
    return 0;
}

// Reads until the head is complete ("\r\n\r\n" or "\n\n"), the limit is reached or the
// deadline passes. Returns the position after the head's end, or 0 when there is none.
size_t read_head(intptr_t socket, std::string* data, int64_t deadline) {
    char buffer[2048];
    while (data->size() < kHeadLimit) {
        size_t end = data->find("\r\n\r\n");
        if (end != std::string::npos) return end + 4;
        end = data->find("\n\n");
        if (end != std::string::npos) return end + 2;
        int64_t left = deadline - platform_monotonic_ms();
        if (left <= 0 || platform_socket_wait_readable(socket, static_cast<int>(left)) != 1)
            return 0;
        long n = platform_socket_read(socket, buffer, sizeof buffer);
        if (n == -2) continue;
        if (n <= 0) return 0;
        data->append(buffer, static_cast<size_t>(n));
    }
    return 0;
}

// Reads and drops up to `wanted` bytes within the deadline.
void drain(intptr_t socket, size_t wanted, int64_t deadline) {
    char buffer[4096];
    while (wanted > 0) {
        int64_t left = deadline - platform_monotonic_ms();
        if (left <= 0 || platform_socket_wait_readable(socket, static_cast<int>(left)) != 1) return;
        long n = platform_socket_read(socket, buffer, sizeof buffer);
        if (n == -2) continue;
        if (n <= 0) return;
        wanted -= static_cast<size_t>(n) < wanted ? static_cast<size_t>(n) : wanted;
    }
}

void send_response(intptr_t socket, const HttpResponse& response, bool allow_header,
                   int timeout_ms) {
    char head[512];
    int length = std::snprintf(head, sizeof head,
                               "HTTP/1.1 %d %s\r\n"
                               "Content-Type: %s\r\n"
                               "Content-Length: %zu\r\n"
                               "Cache-Control: no-store\r\n"
                               "X-Content-Type-Options: nosniff\r\n"
                               "%s"
                               "Connection: close\r\n\r\n",
                               response.status, http_reason(response.status),
                               response.content_type.empty() ? "text/plain; charset=utf-8"
                                                             : response.content_type.c_str(),
                               response.body.size(), allow_header ? "Allow: GET\r\n" : "");
    std::string message(head, static_cast<size_t>(length) - 2);  // before the blank line
    message += response.headers;
    message += "\r\n";
    message += response.body;
    platform_socket_write_all(socket, message.data(), message.size(), timeout_ms);
}

HttpResponse plain(int status, const char* text) {
    HttpResponse response;
    response.status = status;
    response.body = text;
    return response;
}

}  // namespace

const char* http_reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Unknown";
    }
}

bool parse_request_line(const std::string& head, std::string* method, std::string* path) {
    size_t line_end = head.find_first_of("\r\n");
    std::string line = head.substr(0, line_end);
    size_t first = line.find(' ');
    if (first == std::string::npos || first == 0) return false;
    size_t second = line.find(' ', first + 1);
    if (second == std::string::npos || second == first + 1) return false;
    if (line.compare(second + 1, 5, "HTTP/") != 0) return false;
    *method = line.substr(0, first);
    std::string target = line.substr(first + 1, second - first - 1);
    // An absolute form ("http://host/path") names the same path.
    if (target.compare(0, 7, "http://") == 0) {
        size_t slash = target.find('/', 7);
        target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    if (target.empty() || target[0] != '/') return false;
    *path = target.substr(0, target.find_first_of("?#"));
    return true;
}

HttpServer::HttpServer(HttpServerSettings settings, HttpHandler handler)
    : settings_(std::move(settings)), handler_(std::move(handler)) {}

HttpServer::~HttpServer() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        closing_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : workers_)
        if (thread.joinable()) thread.join();
    for (intptr_t socket : pending_) platform_socket_close(socket);
    platform_socket_close(listener_);
}

bool HttpServer::start(std::string* error) {
    int code = 0;
    listener_ = platform_tcp_listen(settings_.host.c_str(), settings_.port, &port_, &code);
    if (listener_ < 0) {
        static const char* const kWhy[] = {"", "bad address", "refused", "timed out",
                                           "unreachable", "address in use", "system error"};
        *error = "cannot listen on " + settings_.host + ":" + std::to_string(settings_.port) +
                 ": " + (code >= 0 && code <= 6 ? kWhy[code] : "error");
        return false;
    }
    for (int i = 0; i < settings_.threads; ++i) workers_.emplace_back([this] { worker(); });
    return true;
}

bool HttpServer::run() {
    // A failing accept may be passing (out of descriptors or memory for a moment): it is
    // retried for a while before the server gives up.
    constexpr int kAcceptFailureLimit = 50;  // 10 s at 200 ms
    int accept_failures = 0;
    bool failed = false;
    while (!stopping_) {
        intptr_t socket = platform_tcp_accept(listener_, 250);
        if (socket == -1) continue;
        if (socket == -2) {
            if (accept_failures++ == 0)
                log_message(LOG_LEVEL_PROBLEM, "zel_exporter: accepting a connection failed; retrying");
            if (accept_failures >= kAcceptFailureLimit) {
                log_message(LOG_LEVEL_ERROR, "zel_exporter: the listening socket keeps failing, giving up");
                failed = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        accept_failures = 0;
        bool queued = false;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (pending_.size() < settings_.pending_limit) {
                pending_.push_back(socket);
                queued = true;
            }
        }
        if (queued) {
            wake_.notify_one();
        } else {
            send_response(socket, plain(503, "busy, try again\n"), false, 100);
            platform_socket_close(socket);
        }
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        closing_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : workers_)
        if (thread.joinable()) thread.join();
    workers_.clear();
    return !failed;
}

void HttpServer::worker() {
    for (;;) {
        intptr_t socket;
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait(hold, [this] { return closing_ || !pending_.empty(); });
            if (pending_.empty()) return;
            socket = pending_.front();
            pending_.pop_front();
        }
        serve(socket);
        platform_socket_close(socket);
    }
}

void HttpServer::serve(intptr_t socket) {
    int64_t deadline = platform_monotonic_ms() + settings_.request_deadline_ms;
    std::string data;
    size_t head_end = read_head(socket, &data, deadline);
    if (head_end == 0) {
        // Nothing sensible arrived in time (or the peer left): a client still there learns
        // why; one that sent nothing at all gets nothing.
        if (!data.empty())
            send_response(socket, plain(400, "bad request\n"), false, settings_.write_timeout_ms);
        return;
    }
    std::string method, path;
    if (!parse_request_line(data, &method, &path)) {
        send_response(socket, plain(400, "bad request\n"), false, settings_.write_timeout_ms);
        return;
    }
    HttpResponse response;
    bool get = method == "GET";
    if (!handler_(path, get ? &response : nullptr)) {
        response = plain(404, "not found: the exporter serves /, /metrics and /metrics.json\n");
    } else if (!get) {
        response = plain(405, "only GET is served\n");
    }
    if (method != "GET") {
        size_t body = content_length(data.substr(0, head_end));
        size_t have = data.size() - head_end;
        if (body > have && body - have <= kDrainLimit) drain(socket, body - have, deadline);
    }
    send_response(socket, response, response.status == 405, settings_.write_timeout_ms);
}

}  // namespace exporter
