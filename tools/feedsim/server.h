// server.h - the simulator's server: the listening socket, one session thread per client,
// the request log, the record of what was sent, and the shared position of the script in
// scripted mode.
//
// Threads: run() accepts on the calling thread and starts one session thread per
// connection; stop() may be called from any thread. clients_lock_ guards the session list
// and the open client sockets (stop() shuts them down to wake blocked writes);
// script_lock_ is held by the session that is replaying the script, so that one script
// run goes on from connection to connection; the log and the record have a lock each.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/feedsim/options.h"
#include "tools/feedsim/script.h"

namespace feedsim {

class Server {
  public:
    explicit Server(const Options& options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Loads the script (if any), opens the log and listens. false with *error on failure.
    bool start(std::string* error);
    int port() const { return port_; }
    // Accepts clients until stop() or the end of --duration; then logs every client off
    // (503), and returns when all sessions have ended.
    void run();
    void stop() { stopping_.store(true); }

  private:
    friend class Session;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void write_log(const std::string& line);
    // Appends script lines that `client` was sent; "# client=N" marks each change of client,
    // so that the record of a single client replays as it is.
    void write_record(int client, const std::string& lines);
    void reap(bool all);

    Options options_;
    std::vector<ScriptStep> script_;
    std::mutex script_lock_;
    size_t script_position_ = 0;  // guarded by script_lock_
    bool withhold_next_ = false;  // guarded by script_lock_

    std::mutex log_lock_;
    FILE* log_ = nullptr;  // guarded by log_lock_

    std::mutex record_lock_;
    FILE* record_ = nullptr;  // guarded by record_lock_
    int record_client_ = 0;   // guarded by record_lock_

    intptr_t listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> next_client_{1};
    std::mutex clients_lock_;
    std::vector<Worker> workers_;  // guarded by clients_lock_
    std::set<intptr_t> sockets_;   // guarded by clients_lock_
};

}  // namespace feedsim
