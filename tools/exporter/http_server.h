// http_server.h - a small HTTP/1.1 server for a handful of read-only paths.
//
// One thread (the caller of run) accepts connections and hands them to a fixed pool of
// worker threads through a bounded queue; each worker reads one request, answers it and
// closes the connection (Connection: close), so a slow or idle client ties up one worker
// for at most the request deadline. When every worker is busy and the queue is full, new
// connections get 503 at once instead of waiting without bound. Only GET is served: any
// other method on a known path gets 405, an unknown path 404, a request that cannot be
// parsed 400.
//
// The queue of accepted connections is guarded by the server's lock; the handler is called
// on worker threads, several at once, and must be safe for that.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace exporter {

struct HttpResponse {
    int status = 200;
    std::string content_type;
    std::string headers;  // further header lines, each ending in "\r\n"
    std::string body;
};

// Answers a GET of `path` (without its query string) into *response; with a null response
// it only tells whether the path exists (for a method the server refuses). Returns false
// when the path is unknown (the server then answers 404).
using HttpHandler = std::function<bool(const std::string& path, HttpResponse* response)>;

struct HttpServerSettings {
    std::string host = "127.0.0.1";
    int port = 0;
    int threads = 8;
    int request_deadline_ms = 3000;  // the whole request must arrive within this time
    int write_timeout_ms = 5000;
    size_t pending_limit = 256;      // accepted connections waiting for a worker
};

class HttpServer {
  public:
    HttpServer(HttpServerSettings settings, HttpHandler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the listening socket and starts the workers. Returns false with *error set.
    bool start(std::string* error);
    int port() const { return port_; }
    // Accepts until stop() is called (from any thread), then ends the workers. Returns false
    // when it ended because the listening socket kept failing (logged).
    bool run();
    void stop() { stopping_ = true; }

  private:
    void worker();
    void serve(intptr_t socket);

    HttpServerSettings settings_;
    HttpHandler handler_;
    intptr_t listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> workers_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<intptr_t> pending_;  // guarded by lock_
    bool closing_ = false;          // guarded by lock_: workers end when the queue is empty
};

// The reason phrase of the status codes the server uses.
const char* http_reason(int status);

// Parses the request line of `head` ("GET /path?query HTTP/1.1"). Returns false when it
// is not a request line; *path excludes the query string.
bool parse_request_line(const std::string& head, std::string* method, std::string* path);

}  // namespace exporter
