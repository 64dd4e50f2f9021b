// server.cpp - listening, sessions (logon, request, snapshot, live stream or script), the
// request log and the record (see server.h).
#include "tools/feedsim/server.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "libqdf/qdf.h"
#include "libqdf/wire.h"
#include "platform/socket.h"
#include "platform/time_conv.h"
#include "tools/feedsim/market.h"
#include "tools/feedsim/text_escape.h"

namespace feedsim {

namespace {

constexpr int kSliceMs = 200;  // how often waits look at the stop flag
constexpr size_t kFlushBytes = 256 * 1024;
constexpr size_t kMaxInput = qdf_wire::kLengthBytes + qdf_wire::kMaxPayload + 65536;

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

const char* kind_name(uint8_t kind) {
    switch (kind) {
        case qdf_wire::kString:
            return "string";
        case qdf_wire::kNumeric:
            return "numeric";
        case qdf_wire::kList:
            return "list";
        default:
            return "null";
    }
}

}  // namespace

// One client connection, on its own thread.
class Session {
  public:
    Session(Server& server, intptr_t socket, int number)
        : server_(server), socket_(socket), number_(number) {}
    void run();

  private:
    void serve();
    enum { kGone = -1, kTimeout = 0, kFrame = 1 };
    int read_frame(qdf_wire::FrameView* frame, int timeout_ms);
    // Waits for a frame of the given type, logging every frame; false when the client left.
    bool wait_for(int type, qdf_wire::FrameView* frame);
    bool flush();
    // Appends the frames waiting in out_ to *lines in the script format.
    void describe_output(std::string* lines) const;
    void log_frame(const qdf_wire::FrameView& frame, const char* result);
    void send_hello();
    bool logon_reply();
    void send_logoff(int code);
    void generated(const qdf_wire::FrameView& request);
    void scripted();
    void idle_until_gone();
    bool drain_input();  // reads and logs what the client sent; false when it left

    Server& server_;
    intptr_t socket_;
    int number_;
    std::vector<uint8_t> in_ = std::vector<uint8_t>(65536);
    size_t in_start_ = 0, in_end_ = 0;
    std::vector<uint8_t> out_;
    qdf_wire::FrameWriter writer_{&out_};
    bool gone_ = false;
    bool logged_off_ = false;
    bool recording_ = false;  // from the logon reply on, when --record is given
    std::string record_lines_;
};

int Session::read_frame(qdf_wire::FrameView* frame, int timeout_ms) {
    int64_t deadline = platform_monotonic_ms() + timeout_ms;
    for (;;) {
        size_t bytes = 0;
        int rc = qdf_wire::decode_frame(in_.data() + in_start_, in_end_ - in_start_, frame, &bytes);
        if (rc == qdf_wire::kComplete) {
            in_start_ += bytes;
            return kFrame;
        }
        if (rc != qdf_wire::kNeedMore) {
            std::fprintf(stderr, "feedsim: client %d sent a malformed frame; dropping it\n",
                         number_);
            gone_ = true;
            return kGone;
        }
        if (gone_ || server_.stopping_.load()) return kGone;
        int64_t left = deadline - platform_monotonic_ms();
        int wait = left <= 0 ? 0 : static_cast<int>(left < kSliceMs ? left : kSliceMs);
        int ready = platform_socket_wait_readable(socket_, wait);
        if (ready < 0) {
            gone_ = true;
            return kGone;
        }
        if (ready == 0) {
            if (left <= 0) return kTimeout;
            continue;
        }
        if (in_start_ > 0) {
            std::memmove(in_.data(), in_.data() + in_start_, in_end_ - in_start_);
            in_end_ -= in_start_;
            in_start_ = 0;
        }
        if (in_.size() - in_end_ < 65536) {
            if (in_.size() >= kMaxInput) {
                gone_ = true;
                return kGone;
            }
            in_.resize(in_.size() * 2);
        }
        long n = platform_socket_read(socket_, in_.data() + in_end_, in_.size() - in_end_);
        if (n == 0 || n == -1) {
            gone_ = true;
            return kGone;
        }
        if (n > 0) in_end_ += static_cast<size_t>(n);
    }
}

void Session::log_frame(const qdf_wire::FrameView& frame, const char* result) {
    std::string line = "client=" + std::to_string(number_) + " ";
    const char* name = qdf_wire::type_name(frame.type);
    line += name ? name : std::to_string(frame.type);
    line += " insref=" + std::to_string(frame.insref);
    qdf_wire::FieldCursor cursor;
    cursor.start(frame);
    uint32_t tag, length;
    uint8_t kind;
    const char* value;
    while (cursor.step(&tag, &kind, &value, &length)) {
        std::string key = std::to_string(tag);
        bool with_form = false;
        if (frame.type == FEED_LOGON) {
            if (tag == TAG_PASSWORD) continue;  // never written to a file
            if (tag == TAG_USERNAME) key = "user";
            if (tag == TAG_CLIENT_ID) key = "client_id";
        } else if (frame.type == FEED_REQUEST) {
            with_form = tag == TAG_REQUEST_CLASSES || tag == TAG_INSREFS;
            if (tag == TAG_REQUEST_CLASSES) key = "classes";
            if (tag == TAG_INSREFS) key = "insrefs";
            if (tag == TAG_START_DATE) key = "start_date";
            if (tag == TAG_START_TIME) key = "start_time";
            if (tag == REQUEST_PARAM_51) key = "param51";
            if (tag == REQUEST_PARAM_49) key = "param49";
        }
        line += ' ';
        line += key;
        if (value != nullptr) {
            line += '=';
            escape_append(&line, value, length);
        }
        if (with_form) line += " " + key + "_form=" + kind_name(kind);
    }
    if (result != nullptr) line += std::string(" result=") + result;
    server_.write_log(line);
}

bool Session::wait_for(int type, qdf_wire::FrameView* frame) {
    for (;;) {
        int rc = read_frame(frame, 3600 * 1000);
        if (rc == kGone) return false;
        if (rc == kTimeout) continue;
        if (frame->type == type) return true;
        log_frame(*frame, nullptr);
        if (frame->type == FEED_LOGOFF) {
            gone_ = true;
            return false;
        }
    }
}

bool Session::drain_input() {
    qdf_wire::FrameView frame;
    for (;;) {
        int rc = read_frame(&frame, 0);
        if (rc == kGone) return false;
        if (rc == kTimeout) return true;
        log_frame(frame, nullptr);
        if (frame.type == FEED_LOGOFF) {
            gone_ = true;
            return false;
        }
    }
}

void Session::describe_output(std::string* lines) const {
    size_t at = 0, bytes = 0;
    qdf_wire::FrameView frame;
    while (at < out_.size() && qdf_wire::decode_frame(out_.data() + at, out_.size() - at, &frame,
                                                      &bytes) == qdf_wire::kComplete) {
        at += bytes;
        qdf_wire::FieldCursor cursor;
        cursor.start(frame);
        uint32_t tag, length;
        uint8_t kind;
        const char* value;
        if (frame.type == FEED_LOGOFF) {  // a log-off is a directive in a script
            std::string code = "0";
            while (cursor.step(&tag, &kind, &value, &length))
                if (tag == TAG_STATUS_CODE && value != nullptr) code.assign(value, length);
            *lines += "@logoff " + code + "\n";
            continue;
        }
        const char* name = qdf_wire::type_name(frame.type);
        *lines += name ? name : std::to_string(frame.type);
        *lines += ' ';
        *lines += std::to_string(frame.insref);
        while (cursor.step(&tag, &kind, &value, &length)) {
            *lines += ' ';
            *lines += std::to_string(tag);
            if (value != nullptr) {
                *lines += '=';
                escape_append(lines, value, length);
            }
        }
        *lines += '\n';
    }
}

bool Session::flush() {
    writer_.end();
    if (out_.empty()) return !gone_;
    if (gone_) {
        out_.clear();
        return false;
    }
    if (recording_) describe_output(&record_lines_);
    int timeout = server_.options_.drop_slow ? server_.options_.send_timeout_ms : -1;
    int rc = platform_socket_write_all(socket_, out_.data(), out_.size(), timeout);
    out_.clear();
    // Only what reached the socket belongs in the record.
    if (rc == 1 && !record_lines_.empty()) server_.write_record(number_, record_lines_);
    record_lines_.clear();
    if (rc == 1) return true;
    if (rc == 0) std::fprintf(stderr, "feedsim: client %d does not read; dropping it\n", number_);
    gone_ = true;
    return false;
}

void Session::send_hello() {
    int64_t s;
    int32_t us;
    platform_now(&s, &us);
    std::string now = std::to_string((s + server_.options_.time_offset) * 1000000 + us);
    writer_.begin(qdf_wire::kTypeHello, 0);
    writer_.field(qdf_wire::kHelloServerTime, qdf_wire::kNumeric, now.data(), now.size());
    writer_.end();
}

bool Session::logon_reply() {
    writer_.begin(FEED_LOGON_REPLY, 0);
    if (server_.options_.send_server_name)
        writer_.text(TAG_SERVER_NAME, server_.options_.server_name);
    writer_.begin(FEED_TEMPLATES_VERSION, server_.options_.template_version);
    return flush();
}

void Session::send_logoff(int code) {
    std::string text = std::to_string(code);
    writer_.begin(FEED_LOGOFF, 0);
    writer_.field(TAG_STATUS_CODE, qdf_wire::kNumeric, text.data(), text.size());
    flush();
    logged_off_ = true;
}

void Session::idle_until_gone() {
    flush();
    while (!gone_ && !server_.stopping_.load()) {
        qdf_wire::FrameView frame;
        int rc = read_frame(&frame, kSliceMs);
        if (rc == kFrame) {
            log_frame(frame, nullptr);
            if (frame.type == FEED_LOGOFF) gone_ = true;
        }
    }
}

void Session::run() {
    serve();
    // A server that stops says so, as a real one would before going away.
    if (server_.stopping_.load() && !gone_ && !logged_off_) send_logoff(QDF_LOGOFF_SHUTDOWN);
}

void Session::serve() {
    send_hello();
    if (!flush()) return;
    qdf_wire::FrameView logon;
    if (!wait_for(FEED_LOGON, &logon)) return;

    const Options& o = server_.options_;
    bool accepted = true;
    if (o.check_credentials) {
        std::string user, password;
        bool have_user = false, have_password = false;
        qdf_wire::FieldCursor cursor;
        cursor.start(logon);
        uint32_t tag, length;
        uint8_t kind;
        const char* value;
        while (cursor.step(&tag, &kind, &value, &length)) {
            if (tag == TAG_USERNAME && value) user.assign(value, length), have_user = true;
            if (tag == TAG_PASSWORD && value) password.assign(value, length), have_password = true;
        }
        accepted = have_user && have_password && user == o.user && password == o.password;
    }

    if (!server_.script_.empty() || !o.script_path.empty()) {
        std::unique_lock<std::mutex> script(server_.script_lock_);
        while (server_.script_position_ < server_.script_.size() &&
               server_.script_[server_.script_position_].kind == ScriptStep::NoLogonReply) {
            server_.withhold_next_ = true;
            ++server_.script_position_;
        }
        if (accepted && server_.withhold_next_) {
            server_.withhold_next_ = false;
            log_frame(logon, "withheld");
            idle_until_gone();
            return;
        }
        log_frame(logon, accepted ? "accepted" : "rejected");
        if (!accepted) {
            send_logoff(QDF_LOGOFF_BAD_LOGON);
            return;
        }
        if (!logon_reply()) return;
        recording_ = !o.record_path.empty();
        scripted();
        return;
    }

    log_frame(logon, accepted ? "accepted" : "rejected");
    if (!accepted) {
        send_logoff(QDF_LOGOFF_BAD_LOGON);
        return;
    }
    if (!logon_reply()) return;
    recording_ = !o.record_path.empty();
    qdf_wire::FrameView request;
    if (!wait_for(FEED_REQUEST, &request)) return;
    log_frame(request, nullptr);
    generated(request);
}

void Session::scripted() {
    std::vector<ScriptStep>& steps = server_.script_;
    size_t& pos = server_.script_position_;
    while (pos < steps.size()) {
        if (gone_ || server_.stopping_.load()) return;
        const ScriptStep& step = steps[pos++];
        switch (step.kind) {
            case ScriptStep::Message:
                out_.insert(out_.end(), step.frame.begin(), step.frame.end());
                if (out_.size() >= kFlushBytes && !flush()) return;
                break;
            case ScriptStep::Sleep: {
                if (!flush()) return;
                int64_t until = platform_monotonic_ms() + step.argument;
                for (;;) {
                    int64_t left = until - platform_monotonic_ms();
                    if (left <= 0 || server_.stopping_.load()) break;
                    sleep_ms(static_cast<int>(left < kSliceMs ? left : kSliceMs));
                    if (!drain_input()) return;
                }
                break;
            }
            case ScriptStep::ExpectRequest: {
                if (!flush()) return;
                qdf_wire::FrameView request;
                if (!wait_for(FEED_REQUEST, &request)) {
                    --pos;  // the expectation holds for the next connection
                    return;
                }
                log_frame(request, nullptr);
                break;
            }
            case ScriptStep::Disconnect:
                flush();
                return;
            case ScriptStep::Logoff:
                send_logoff(step.argument);
                return;
            case ScriptStep::NoLogonReply:
                server_.withhold_next_ = true;
                break;
            case ScriptStep::Idle:
                idle_until_gone();
                return;
        }
    }
    idle_until_gone();  // the end of the script: the connection stays open and quiet
}

void Session::generated(const qdf_wire::FrameView& request) {
    const Options& o = server_.options_;
    std::vector<int> classes;
    std::vector<uint64_t> insrefs;
    qdf_wire::FieldCursor cursor;
    cursor.start(request);
    uint32_t tag, length;
    uint8_t kind;
    const char* value;
    while (cursor.step(&tag, &kind, &value, &length)) {
        if (value == nullptr) continue;
        std::string text(value, length);
        if (tag == TAG_REQUEST_CLASSES || tag == TAG_INSREFS) {
            if (tag == TAG_INSREFS && text == "*") continue;
            size_t i = 0;
            while (i < text.size()) {
                while (i < text.size() && (text[i] < '0' || text[i] > '9'))
                    ++i;
                size_t start = i;
                while (i < text.size() && text[i] >= '0' && text[i] <= '9')
                    ++i;
                if (i == start || i - start > 19) continue;
                unsigned long long v = std::strtoull(text.c_str() + start, nullptr, 10);
                if (tag == TAG_REQUEST_CLASSES)
                    classes.push_back(static_cast<int>(v % 1000));
                else
                    insrefs.push_back(v);
            }
            // A list that names no instrument at all selects none.
            if (tag == TAG_INSREFS && insrefs.empty()) insrefs.push_back(0);
        }
    }

    MarketOptions mo;
    mo.seed = o.seed;
    mo.instruments = o.instruments;
    mo.mix = o.mix;
    mo.start_time_us = o.start_time_us;
    mo.step_us = o.rate > 0 ? 1000000 / o.rate : 1000;
    if (mo.step_us < 1) mo.step_us = 1;
    mo.time_offset_s = o.time_offset;
    mo.max_depth = o.depth;
    mo.bad_text_rate = o.bad_text_rate;
    Market market(mo);
    market.select(classes, insrefs);
    market.snapshot(writer_);
    std::string ok = std::to_string(QDF_REQUEST_OK);
    writer_.begin(FEED_REQUEST_FINISHED, 0);
    writer_.field(TAG_REQUEST_RESULT, qdf_wire::kNumeric, ok.data(), ok.size());
    if (!flush()) return;

    int64_t start = platform_monotonic_ms();
    long long sent = 0;
    while (!gone_ && !server_.stopping_.load()) {
        if (!drain_input()) return;
        if (!market.live_possible()) {
            qdf_wire::FrameView frame;
            if (read_frame(&frame, kSliceMs) == kFrame) log_frame(frame, nullptr);
            continue;
        }
        long long budget = 4096;
        if (o.rate > 0) {
            long long due =
                static_cast<long long>(o.rate) * (platform_monotonic_ms() - start) / 1000;
            budget = due - sent;
            if (budget <= 0) {
                sleep_ms(2);
                continue;
            }
            if (budget > 4096) budget = 4096;
        }
        while (budget > 0) {
            int n = market.next(writer_);
            if (n <= 0) break;
            sent += n;
            budget -= n;
            if (o.drop_every > 0 && sent >= o.drop_every) {
                flush();
                if (recording_) server_.write_record(number_, "@disconnect\n");
                std::fprintf(stderr, "feedsim: dropping client %d after %lld live messages\n",
                             number_, sent);
                return;
            }
            if (out_.size() >= kFlushBytes) break;
        }
        if (!flush()) return;
    }
}

Server::Server(const Options& options) : options_(options) {}

Server::~Server() {
    stop();
    reap(true);
    if (listener_ >= 0) platform_socket_close(listener_);
    if (log_ != nullptr) std::fclose(log_);
    if (record_ != nullptr) std::fclose(record_);
}

bool Server::start(std::string* error) {
    if (!options_.script_path.empty() &&
        !load_script(options_.script_path.c_str(), &script_, error))
        return false;
    if (!options_.log_path.empty()) {
        log_ = std::fopen(options_.log_path.c_str(), "a");
        if (log_ == nullptr) {
            *error = "cannot open log " + options_.log_path + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!options_.record_path.empty()) {
        record_ = std::fopen(options_.record_path.c_str(), "w");
        if (record_ == nullptr) {
            *error = "cannot open record " + options_.record_path + ": " + std::strerror(errno);
            return false;
        }
    }
    int socket_error = 0;
    listener_ = platform_tcp_listen(options_.listen_host.c_str(), options_.listen_port, &port_,
                                    &socket_error);
    if (listener_ < 0) {
        *error = "cannot listen on " + options_.listen_host + ":" +
                 std::to_string(options_.listen_port) +
                 (socket_error == PLATFORM_SOCKET_IN_USE ? " (address in use)" : "");
        return false;
    }
    if (!options_.port_file.empty()) {
        std::string tmp = options_.port_file + ".tmp";
        FILE* f = std::fopen(tmp.c_str(), "w");
        if (f == nullptr || std::fprintf(f, "%d\n", port_) < 0 || std::fclose(f) != 0 ||
            std::rename(tmp.c_str(), options_.port_file.c_str()) != 0) {
            *error = "cannot write port file " + options_.port_file;
            return false;
        }
    }
    return true;
}

void Server::write_log(const std::string& line) {
    std::lock_guard<std::mutex> guard(log_lock_);
    if (log_ == nullptr) return;
    std::fputs(line.c_str(), log_);
    std::fputc('\n', log_);
    std::fflush(log_);  // tests read the log while the server runs
}

void Server::write_record(int client, const std::string& lines) {
    std::lock_guard<std::mutex> guard(record_lock_);
    if (record_ == nullptr) return;
    if (client != record_client_) {
        std::fprintf(record_, "# client=%d\n", client);
        record_client_ = client;
    }
    std::fputs(lines.c_str(), record_);
    std::fflush(record_);  // complete lines for whoever reads it while the server runs
}

void Server::reap(bool all) {
    std::vector<Worker> finished;
    {
        std::lock_guard<std::mutex> guard(clients_lock_);
        for (size_t i = 0; i < workers_.size();) {
            if (all || workers_[i].done->load()) {
                finished.push_back(std::move(workers_[i]));
                workers_.erase(workers_.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
    }
    for (Worker& w : finished)
        w.thread.join();
}

void Server::run() {
    int64_t end = options_.duration > 0
                      ? platform_monotonic_ms() + static_cast<int64_t>(options_.duration * 1000)
                      : -1;
    while (!stopping_.load()) {
        if (end >= 0 && platform_monotonic_ms() >= end) break;
        intptr_t client = platform_tcp_accept(listener_, kSliceMs);
        reap(false);
        if (client == -2) {
            std::fprintf(stderr, "feedsim: the listening socket failed\n");
            break;
        }
        if (client < 0) continue;
        platform_socket_set_nodelay(client);
        platform_socket_set_buffers(client, 4 * 1024 * 1024, 0);
        auto done = std::make_shared<std::atomic<bool>>(false);
        int number = next_client_.fetch_add(1);
        std::lock_guard<std::mutex> guard(clients_lock_);
        sockets_.insert(client);
        workers_.push_back({std::thread([this, client, number, done] {
                                Session session(*this, client, number);
                                session.run();
                                {
                                    std::lock_guard<std::mutex> g(clients_lock_);
                                    sockets_.erase(client);
                                }
                                platform_socket_shutdown(client);
                                platform_socket_close(client);
                                done->store(true);
                            }),
                            done});
    }
    stopping_.store(true);
    // Sessions see the flag within one slice; a write blocked on a client that does not
    // read is woken by shutting its socket down.
    for (int i = 0; i < 25; ++i) {
        {
            std::lock_guard<std::mutex> guard(clients_lock_);
            if (sockets_.empty()) break;
        }
        sleep_ms(100);
    }
    {
        std::lock_guard<std::mutex> guard(clients_lock_);
        for (intptr_t s : sockets_)
            platform_socket_shutdown(s);
    }
    reap(true);
}

}  // namespace feedsim
