// feed_session.cpp - the feed thread (see feed_session.h).
//
// One thread talks to the feed server: it connects, logs on, sends one request per logon
// (a full snapshot, or a catch-up from one second before the last batch once a snapshot
// has completed), reads batches for as long as the program runs and reconnects after every
// kind of loss, without limit. Session messages are handled here; every data message goes
// to the dispatcher. `connected_to_feed` (in the StatsBlock) is the connection state
// itself: the supervisor clears it when it cuts the feed, and the thread re-reads it, like
// `running` and `database_down`, at every turn of its loops, so a change by another thread
// takes effect within one 2-second consume wait. The handle is published under a lock so
// that the supervisor's disconnect never meets a handle being destroyed.
#include "zel/feed/feed_session.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "libqdf/qdf.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/run_state.h"
#include "zel/feed/dispatch.h"
#include "zel/feed/stale_set.h"
#include "zel/queues/update_queue.h"
#include "zel/stats/stats_block.h"

std::string g_client_identification;

namespace {

std::mutex g_handle_lock;
qdf_handle* g_handle = nullptr;  // guarded by g_handle_lock (for feed_disconnect)

uint64_t connected() {
    return std::atomic_ref<uint64_t>(g_stats->connected_to_feed).load(std::memory_order_relaxed);
}
void set_connected(uint64_t value) {
    std::atomic_ref<uint64_t>(g_stats->connected_to_feed).store(value, std::memory_order_relaxed);
}

bool is_running() {
    return running.load(std::memory_order_relaxed) != 0;
}

// Sleeps `seconds`, but wakes early once `running` is cleared, so that a long reconnect
// interval does not hold up the shutdown.
void pause_seconds(int32_t seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
    while (is_running() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

const char* text_or_null(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

// Decimal value of a session field; `fallback` when there is none.
int32_t decimal_or(const char* value, int32_t fallback) {
    if (!value) return fallback;
    char* end = nullptr;
    long v = std::strtol(value, &end, 10);
    if (end == value) return fallback;
    return static_cast<int32_t>(v);
}

class QdfFieldReader : public FieldReader {
  public:
    explicit QdfFieldReader(qdf_handle* handle) : handle_(handle) {}
    int next_field(uint32_t* tag, const char** value) override {
        return qdf_get_next_field(handle_, tag, value);
    }

  private:
    qdf_handle* handle_;
};

class FeedSession {
  public:
    void run();

  private:
    bool connect_loop();
    int32_t reconnect_wait() const;
    void connect_failed(int32_t code);
    void logon();
    void read_loop();
    bool queue_memory_full() const;
    void wait_for_queues();
    void handle_batch();
    void on_logon_reply();
    void send_request();
    void on_logoff();
    void on_request_finished();
    void drop_connection() {
        set_connected(0);
        qdf_disconnect(handle_);
    }
    int32_t error_code() {
        int32_t code = 0;
        if (!qdf_get_property(handle_, PROP_ERROR, &code)) code = 0;
        return code;
    }

    qdf_handle* handle_ = nullptr;
    qdf_message* message_ = nullptr;
    Dispatcher dispatcher_;
    bool first_attempt_ = true;
    int64_t connect_time_ = 0;
    int64_t catchup_time_ = 0;
    bool snapshot_complete_ = false;
    // Reconnect backoff and the rate limit of the failure line (see connect_failed).
    static constexpr int32_t kBackoffCapSeconds = 30;
    static constexpr int64_t kFailureReportSeconds = 60;
    int32_t backoff_seconds_ = 0;
    uint64_t unreported_failures_ = 0;
    int32_t last_failure_code_ = 0;
    int64_t last_failure_report_ = 0;
    bool failing_ = false;  // the last attempt failed
    // Pauses for queued memory (see wait_for_queues).
    static constexpr int64_t kMiB = 1024 * 1024;
    uint64_t pauses_ = 0;
    int64_t last_pause_report_ = 0;
};

// The wait before a reconnect attempt: `reconnectinterval`, but never less than the
// backoff, which is 1 second after the first failure in a row and doubles with each further
// one up to kBackoffCapSeconds. With the default interval of 0 a server that is down would
// otherwise be dialled (and the failure logged) as fast as the system refuses connections.
int32_t FeedSession::reconnect_wait() const {
    int32_t wait = g_config.reconnectinterval > 0 ? g_config.reconnectinterval : 0;
    return backoff_seconds_ > wait ? backoff_seconds_ : wait;
}

// A failed attempt: the backoff grows, and the failure is logged at once when it is the
// first of a run of failures or its error code changed, else at most once a minute with
// the number of attempts it stands for.
void FeedSession::connect_failed(int32_t code) {
    backoff_seconds_ = backoff_seconds_ == 0 ? 1 : backoff_seconds_ * 2;
    if (backoff_seconds_ > kBackoffCapSeconds) backoff_seconds_ = kBackoffCapSeconds;
    int64_t now = now_seconds();
    ++unreported_failures_;
    if (!failing_) {
        failing_ = true;
        log_message(LOG_LEVEL_PROBLEM, "Connecting to Corvalinder failed: %d", code);
    } else if (now - last_failure_report_ >= kFailureReportSeconds || code != last_failure_code_) {
        log_message(LOG_LEVEL_PROBLEM,
                    "Connecting to Corvalinder failed: %d (%" PRIu64
                    " attempts since the last report; next attempt in %d s)",
                    code, unreported_failures_, static_cast<int>(reconnect_wait()));
    } else {
        return;
    }
    unreported_failures_ = 0;
    last_failure_code_ = code;
    last_failure_report_ = now;
}

// Connects unless connected. Returns true when connected (go on to log on), false when
// `running` was cleared.
bool FeedSession::connect_loop() {
    while (is_running()) {
        if (connected() != 0) return true;
        qdf_disconnect(handle_);
        if (!first_attempt_) pause_seconds(reconnect_wait());
        if (!is_running()) break;
        if (database_down.load(std::memory_order_relaxed) != 0) {
            // Waiting for the database is a poll of one word; at least a second between
            // looks keeps it from spinning when the reconnect interval is 0.
            pause_seconds(g_config.reconnectinterval > 0 ? g_config.reconnectinterval : 1);
            continue;
        }
        if (qdf_connect(handle_, text_or_null(g_config.feed_server))) {
            if (unreported_failures_ > 0)
                log_message(LOG_LEVEL_PROBLEM,
                            "Connecting to Corvalinder failed %" PRIu64
                            " more times before this connection",
                            unreported_failures_);
            unreported_failures_ = 0;
            failing_ = false;
            log_message(LOG_LEVEL_INFO, "Connected to Corvalinder");
            set_connected(1);
            connect_time_ = now_seconds();
            // A server that accepts and then drops every connection still gets the
            // backoff: it is reset only by a logon reply.
            if (backoff_seconds_ == 0) backoff_seconds_ = 1;
        } else {
            connect_failed(error_code());
        }
        first_attempt_ = false;
    }
    return false;
}

void FeedSession::logon() {
    qdf_message_add(message_, 0, FEED_LOGON);
    qdf_message_add_string(message_, TAG_USERNAME, text_or_null(g_config.feed_username));
    qdf_message_add_string(message_, TAG_PASSWORD, text_or_null(g_config.feed_password));
    if (!g_client_identification.empty()) {
        qdf_message_add_string(message_, TAG_CLIENT_ID, g_client_identification.c_str());
    }
    qdf_message_send(handle_, message_);
    qdf_message_reset(message_);
    snapshot_complete_ = false;
}

void FeedSession::send_request() {
    qdf_message_add(message_, 0, FEED_REQUEST);
    qdf_message_add_numeric(message_, REQUEST_PARAM_51, "3");
    qdf_message_add_uint(message_, REQUEST_PARAM_49, 0, 0);
    if (catchup_time_ == 0) {
        log_message(LOG_LEVEL_INFO, "Requesting full snapshot");
    } else {
        int32_t offset = 0;
        if (!qdf_get_property(handle_, PROP_TIME_OFFSET, &offset)) offset = 0;
        struct tm start = utc_tm(catchup_time_ + offset - 1);
        int year = start.tm_year + 1900, month = start.tm_mon + 1;
        qdf_message_add_date2(message_, TAG_START_DATE, year, month, start.tm_mday);
        qdf_message_add_time2(message_, TAG_START_TIME, start.tm_hour, start.tm_min, start.tm_sec,
                              0);
        log_message(LOG_LEVEL_INFO, "Requesting data from %d-%02d-%02dT%02d:%02d:%02dZ", year,
                    month, start.tm_mday, start.tm_hour, start.tm_min, start.tm_sec);
        deleteStaleInstruments(false);
    }
    std::string classes;
    for (const RequestSwitch& sw : kRequestSwitches) {
        if (g_config.*(sw.flag) != 1) continue;
        classes += sw.classes;
        classes += ' ';
    }
    if (!classes.empty()) classes.pop_back();
    qdf_message_add_list(message_, TAG_REQUEST_CLASSES, classes.c_str());
    // The configuration reader turns an absent setting into "*"; a Config that never went
    // through it asks for the same rather than for no instrument at all.
    const std::string& insrefs = g_config.insrefs.empty() ? std::string("*") : g_config.insrefs;
    if (insrefs == "*") {
        qdf_message_add_string(message_, TAG_INSREFS, insrefs.c_str());
    } else {
        qdf_message_add_list(message_, TAG_INSREFS, insrefs.c_str());
    }
    qdf_message_send(handle_, message_);
    qdf_message_reset(message_);
    connect_time_ = 0;
}

void FeedSession::on_logon_reply() {
    std::string server_name;
    bool have_name = false;
    uint32_t tag;
    const char* value;
    while (qdf_get_next_field(handle_, &tag, &value) == 1) {
        if (tag != TAG_SERVER_NAME) continue;
        have_name = value != nullptr;
        server_name = value ? value : "";
        catchup_time_ = 0;
    }
    log_message(LOG_LEVEL_INFO, "Successfully logged on to Corvalinder server: %s",
                have_name ? server_name.c_str() : "(null)");
    backoff_seconds_ = 0;
    send_request();
}

void FeedSession::on_logoff() {
    uint32_t tag;
    const char* value;
    while (qdf_get_next_field(handle_, &tag, &value) == 1) {
        if (tag != TAG_STATUS_CODE || !value) continue;
        int32_t code = decimal_or(value, 0);
        if (code == QDF_LOGOFF_BAD_LOGON) {
            log_message(LOG_LEVEL_ERROR,
                        "Corvalinder didn't accept the supplied username/password combination");
        } else if (code == QDF_LOGOFF_SHUTDOWN) {
            log_message(LOG_LEVEL_ERROR, "The Corvalinder server is shutting down");
        }
    }
    qdf_disconnect(handle_);
    set_connected(0);
    log_message(LOG_LEVEL_INFO, "Corvalinder went off-line, disconnecting and trying to reconnect");
}

void FeedSession::on_request_finished() {
    int32_t result = QDF_REQUEST_FAILED;
    uint32_t tag;
    const char* value;
    while (qdf_get_next_field(handle_, &tag, &value) == 1) {
        if (tag == TAG_REQUEST_RESULT && value) result = decimal_or(value, result);
    }
    if (result == QDF_REQUEST_OK) {
        log_message(
            LOG_LEVEL_INFO,
            "All the requested data have been received (it's not all yet written to SQL though!)");
        deleteStaleInstruments(true);
        snapshot_complete_ = true;
    } else {
        drop_connection();
        log_message(LOG_LEVEL_INFO, "The request failed, disconnecting and trying to reconnect");
    }
}

void FeedSession::handle_batch() {
    QdfFieldReader reader(handle_);
    int type;
    int32_t sequence;
    uint64_t insref;
    while (qdf_get_next_message(handle_, &type, &sequence, &insref) == 1) {
        switch (type) {
            case FEED_TEMPLATES_VERSION:
                g_config.feed_template_version.store(insref);
                break;
            case FEED_LOGOFF:
                on_logoff();
                break;
            case FEED_LOGON_REPLY:
                on_logon_reply();
                break;
            case FEED_REQUEST_FINISHED:
                on_request_finished();
                break;
            default:
                // Types 1, 18, 19, 21, 31 and those above 44 are not data: the dispatcher
                // declines them without reading or counting.
                dispatcher_.dispatch(type, insref, reader, snapshot_complete_);
                break;
        }
    }
}

void FeedSession::read_loop() {
    while (is_running()) {
        if (connected() != 1) return;
        int result = qdf_consume(handle_, 2);
        if (result == 0) {
            if (connect_time_ != 0 && now_seconds() - connect_time_ >= 30) {
                drop_connection();
                log_message(LOG_LEVEL_PROBLEM,
                            "No reply from Corvalinder in 30 seconds. Reconnecting.");
            }
        } else if (result == 1) {
            if (snapshot_complete_) catchup_time_ = now_seconds();
            handle_batch();
            if (queue_memory_full()) wait_for_queues();
        } else if (result == -1) {
            int32_t code = error_code();
            log_message(LOG_LEVEL_PROBLEM, "Disconnected from Corvalinder: %d", code);
            drop_connection();
        }
    }
}

// Whether the queued updates hold more memory than `queuememorylimit` allows.
bool FeedSession::queue_memory_full() const {
    if (g_config.queuememorylimit == 0) return false;
    return queueMemoryBytes() > static_cast<int64_t>(g_config.queuememorylimit) * kMiB;
}

// The feed outruns the database: stop reading until the queues are down to three
// quarters of the ceiling. The feed server's data then waits in the connection (the
// socket buffers fill and the server is held back) instead of in this process; nothing
// queued is dropped. Shown in --status as feed-paused; logged at most once a minute.
void FeedSession::wait_for_queues() {
    int64_t ceiling = static_cast<int64_t>(g_config.queuememorylimit) * kMiB;
    int64_t low_water = ceiling / 4 * 3;
    int64_t now = now_seconds();
    bool report = last_pause_report_ == 0 || now - last_pause_report_ >= 60;
    ++pauses_;
    if (report) {
        log_message(LOG_LEVEL_PROBLEM,
                    "The queued updates hold %" PRId64
                    " MiB, more than queuememorylimit (%u MiB): the feed is not read until "
                    "they are below %" PRId64 " MiB (pause %" PRIu64 " of this run)",
                    queueMemoryBytes() / kMiB, g_config.queuememorylimit, low_water / kMiB,
                    pauses_);
        last_pause_report_ = now;
    }
    std::atomic_ref<uint64_t>(g_stats_ext->feed_paused).store(1, std::memory_order_relaxed);
    auto started = std::chrono::steady_clock::now();
    while (is_running() && connected() == 1 && queueMemoryBytes() > low_water)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::atomic_ref<uint64_t>(g_stats_ext->feed_paused).store(0, std::memory_order_relaxed);
    if (report) {
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        log_message(LOG_LEVEL_INFO,
                    "The queued updates are down to %" PRId64
                    " MiB after %lld ms: reading the feed again",
                    queueMemoryBytes() / kMiB, static_cast<long long>(waited.count()));
    }
}

void FeedSession::run() {
    set_connected(0);
    active_threads.fetch_add(1);
    handle_ = qdf_create();
    message_ = qdf_message_create();
    if (!handle_ || !message_) {
        log_message(LOG_LEVEL_ERROR, "The feed connection could not be created");
    } else {
        {
            std::lock_guard<std::mutex> guard(g_handle_lock);
            g_handle = handle_;
        }
        while (is_running()) {
            if (!connect_loop()) break;
            logon();
            read_loop();
        }
        std::lock_guard<std::mutex> guard(g_handle_lock);
        g_handle = nullptr;
    }
    if (handle_) {
        qdf_disconnect(handle_);
        qdf_destroy(handle_);
    }
    if (message_) qdf_message_destroy(message_);
    set_connected(0);
    // Nothing more is queued: a drain at stop may end once the queues are written.
    queuesProducersEnded();
    active_threads.fetch_sub(1);
}

}  // namespace

void feed_thread_main() {
    FeedSession session;
    session.run();
}

void feed_disconnect() {
    std::lock_guard<std::mutex> guard(g_handle_lock);
    if (g_handle) qdf_disconnect(g_handle);
}
