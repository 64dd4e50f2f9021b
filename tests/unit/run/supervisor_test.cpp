// The supervisor: the statistics lines, the status items for queue 2, the connection watch
// with its once-per-outage messages, and the feed cut after 61 seconds of outage, first
// check by check on a hand-moved clock, then with the real thread and a real feed thread
// against the feed simulator, whose connection must stay down until the database is back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "fake_module_control.h"
#include "startup_test_util.h"
#include "tools/feedsim/options.h"
#include "tools/feedsim/server.h"
#include "zel/base/clock.h"
#include "zel/queues/instruments.h"
#include "zel/queues/update_queue.h"
#include "zel/sql/db_worker.h"

namespace runtest {
namespace {

using namespace std::chrono_literals;

std::atomic<int64_t> g_now{1700000000};
int64_t test_clock() {
    return g_now.load();
}

uint64_t connected_to_feed() {
    return std::atomic_ref<uint64_t>(g_stats->connected_to_feed).load();
}
void set_connected_to_feed(uint64_t value) {
    std::atomic_ref<uint64_t>(g_stats->connected_to_feed).store(value);
}

std::string read_all(FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;)
        text.push_back(static_cast<char>(c));
    return text;
}

class Supervisor : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_config.silent = 1;
        if (!g_module.mod_executesql) {
            ASSERT_EQ(1, load_module(ZEL_FAKE_MODULE_PATH));
        }
    }
    // The start-up tests of this program load the module themselves.
    static void TearDownTestSuite() { unload_module(); }

    void SetUp() override {
        g_config.silent = 1;
        g_config.queuehashsize = 64;
        g_config.updateinterval = 0;
        fake_reset();
        set_clock_source(&test_clock);
        ASSERT_EQ(1, createUpdateQueues());
        ASSERT_EQ(1, createInstrumentTables(64));
        init_db_workers(g_module, g_module_executebatch, g_config);
        for (DbWorker& worker : g_workers) {
            worker.connection = g_module.mod_create(g_config.module_params());
            ASSERT_EQ(1, g_module.mod_connect(worker.connection));
        }
        *g_stats = StatsBlock{};
        database_down = 0;
        running = 0;
        active_threads = 0;
    }

    void TearDown() override {
        running = 0;
        set_supervisor_sleep(nullptr);
        set_clock_source(nullptr);
        destroyUpdateQueues();
        destroyInstrumentTables();
        database_down = 0;
        *g_stats = StatsBlock{};
    }

    // Makes connection n lose its server: its status byte becomes 1 and its error text is
    // the server's last word, as after a failed statement.
    void lose_connection(int n, const std::string& text) {
        FakeResult lost;
        lost.lose_connection = true;
        lost.error_text = text;
        fake_on_statement("ping", lost, 1, FakeMatch::Exact, n);
        g_module.mod_executesql(fake_connection(n), "ping");
        ASSERT_EQ(ZEL_STATUS_RECONNECTING, fake_status(n));
    }
    void restore_connection(int n) {
        g_module.mod_set_status(fake_connection(n), ZEL_STATUS_CONNECTED);
    }

    // One five-second check at clock time `t`.
    void check_at(int64_t t) {
        g_now = t;
        supervisor_check(state_, stdout);
    }

    size_t status_items() {
        MutexLock hold(g_queues[1].lock);
        size_t n = 0;
        for (QueueItem* item = g_queues[1].head; item; item = item->next)
            n += item->kind == KIND_STATUS;
        return n;
    }

    SupervisorState state_;
    LogRecorder log_;
};

TEST_F(Supervisor, StatisticsLinesShowTheCountersOfEveryQueue) {
    g_stats->received_messages = 1234;
    uint64_t base = 10;
    for (QueueStats& group : g_stats->queue) {
        group.queued = base + 1;
        group.empty_items = base + 2;
        group.updated = base + 3;
        group.deduplicated = base + 4;
        group.failed = base + 5;
        base += 10;
    }
    int64_t at = 1700000000;
    struct tm local = local_tm(at);
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    std::string s(stamp);

    FILE* out = std::tmpfile();
    print_statistics(out, at);
    std::string expected = s + "  T: 1234 S:116 D:112 F:120 DQ:104\n" + s +
                           "  Q1: Queue: 11 Deduplicated:14 Updates:13 Empty:12\n" + s +
                           "  Q2: Queue: 21 Deduplicated:24 Updates:23 Empty:22\n" + s +
                           "  Q3: Queue: 31 Deduplicated:34 Updates:33 Empty:32\n" + s +
                           "  Q4: Queue: 41 Deduplicated:44 Updates:43 Empty:42\n";
    EXPECT_EQ(expected, read_all(out));
    std::fclose(out);
}

TEST_F(Supervisor, SilentRunsPrintNothingButStillCheck) {
    FILE* out = std::tmpfile();
    g_config.silent = 1;
    supervisor_check(state_, out);
    EXPECT_EQ("", read_all(out));
    EXPECT_EQ(1u, status_items());
    g_config.silent = 0;
    supervisor_check(state_, out);
    EXPECT_NE("", read_all(out));
    g_config.silent = 1;
    std::fclose(out);
}

TEST_F(Supervisor, OneStatusItemWaitsAtATime) {
    check_at(1000);
    check_at(1005);
    EXPECT_EQ(1u, status_items());
    EXPECT_EQ(1u, g_queues[1].stats->queued);
    EXPECT_TRUE(g_queues[1].signal.try_acquire()) << "the database thread is woken";
    EXPECT_FALSE(g_queues[1].signal.try_acquire()) << "and only once";
    QueueItem* item = g_queues[1].head;
    ASSERT_NE(nullptr, item);
    EXPECT_EQ(1000, item->time);
    EXPECT_EQ(nullptr, item->fields);
    EXPECT_EQ(0u, item->flags);

    // Once the database thread has taken it, the next check queues a new one.
    {
        MutexLock hold(g_queues[1].lock);
        unlinkQueueItem(&g_queues[1], item);
    }
    freeQueueItem(item);
    check_at(1010);
    EXPECT_EQ(1u, status_items());
}

TEST_F(Supervisor, ShortOutageIsReportedOnceAndLeavesTheFeedAlone) {
    set_connected_to_feed(1);
    check_at(1000);
    lose_connection(3, "server closed the connection unexpectedly");
    check_at(1005);
    EXPECT_EQ(1, database_down.load());
    EXPECT_EQ(1u, log_.count("Disconnected from database: \"server closed the connection "
                             "unexpectedly\"",
                             LOG_LEVEL_PROBLEM));
    for (int64_t t = 1010; t <= 1035; t += 5)
        check_at(t);
    EXPECT_EQ(1u, log_.count("Disconnected from database: \"server closed the connection "
                             "unexpectedly\""));
    restore_connection(3);
    check_at(1040);
    check_at(1045);
    EXPECT_EQ(0, database_down.load());
    EXPECT_EQ(1u, log_.count("Reconnected to database", LOG_LEVEL_INFO));
    EXPECT_EQ(1u, connected_to_feed());
    EXPECT_FALSE(log_.mentions("down for too long"));
}

TEST_F(Supervisor, LongOutageCutsTheFeedOnceAtTheFirstCheckAfter61Seconds) {
    set_connected_to_feed(1);
    lose_connection(2, "terminating connection due to administrator command");
    check_at(2000);  // down since 2000
    const std::string cut = "Database connection down for too long, disconnecting from Corvalinder";
    check_at(2060);
    EXPECT_EQ(0u, log_.count(cut)) << "60 seconds are not enough";
    EXPECT_EQ(1u, connected_to_feed());
    check_at(2061);
    EXPECT_EQ(1u, log_.count(cut, LOG_LEVEL_PROBLEM));
    EXPECT_EQ(0u, connected_to_feed());
    check_at(2066);
    check_at(2071);
    EXPECT_EQ(1u, log_.count(cut)) << "the feed is cut once";
    EXPECT_EQ(1u, log_.count("Disconnected from database: \"terminating connection due to "
                             "administrator command\""));
}

TEST_F(Supervisor, StoppingConnectionsAreNoOutage) {
    lose_connection(1, "gone");
    check_at(3000);
    ASSERT_EQ(1, database_down.load());
    // The stop request marks every connection as stopping; nothing is down any more.
    for (int n = 1; n <= 4; ++n)
        g_module.mod_set_status(fake_connection(n), ZEL_STATUS_STOP);
    check_at(3005);
    EXPECT_EQ(0, database_down.load());
    EXPECT_FALSE(log_.has("Reconnected to database"));
    check_at(3100);
    EXPECT_EQ(1u, log_.count("Disconnected from database: \"gone\""));
}

// The real thread with a real feed thread against the simulator; the supervisor's seconds
// pass ten milliseconds apart on the test clock.
class SupervisorWithFeed : public Supervisor {
  protected:
    void SetUp() override {
        Supervisor::SetUp();
        log_path_ = ::testing::TempDir() + "supervisor_feed_requests.log";
        std::remove(log_path_.c_str());
        feedsim::Options options;
        options.listen_port = 0;
        options.instruments = 5;
        options.rate = 50;
        options.log_path = log_path_;
        server_ = std::make_unique<feedsim::Server>(options);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        server_thread_ = std::thread([this] { server_->run(); });
        g_config.feed_server = "127.0.0.1:" + std::to_string(server_->port());
        g_config.feed_username = "user";
        g_config.feed_password = "secret";
        g_config.insrefs = "*";
        g_config.reconnectinterval = 0;
        g_config.requesttrades = 1;
        set_supervisor_sleep([] {
            std::this_thread::sleep_for(10ms);
            g_now += 1;
        });
    }
    void TearDown() override {
        running = 0;
        feed_disconnect();
        if (feed_.joinable()) feed_.join();
        if (supervisor_.joinable()) supervisor_.join();
        server_->stop();
        server_thread_.join();
        g_config.requesttrades = 0;
        g_config.feed_server.clear();
        Supervisor::TearDown();
    }
    size_t logons() {
        std::ifstream in(log_path_);
        std::string line;
        size_t n = 0;
        while (std::getline(in, line))
            n += line.find("FEED_LOGON ") != std::string::npos;
        return n;
    }
    template <typename Condition>
    bool wait_for(Condition condition, std::chrono::milliseconds limit) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    std::string log_path_;
    std::unique_ptr<feedsim::Server> server_;
    std::thread server_thread_;
    std::thread feed_;
    std::thread supervisor_;
};

TEST_F(SupervisorWithFeed, FeedStaysDownUntilTheDatabaseIsBack) {
    running = 1;
    feed_ = std::thread(feed_thread_main);
    supervisor_ = std::thread(supervisor_thread_main);
    ASSERT_TRUE(wait_for([] { return connected_to_feed() == 1; }, 5s));
    ASSERT_TRUE(wait_for([&] { return logons() == 1; }, 2s));

    lose_connection(4, "could not receive data from server");
    const std::string cut = "Database connection down for too long, disconnecting from Corvalinder";
    ASSERT_TRUE(wait_for([&] { return log_.has(cut); }, 10s));
    EXPECT_TRUE(wait_for([] { return connected_to_feed() == 0; }, 1s));

    // Several supervisor minutes and more than one reconnect interval of the feed thread.
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(0u, connected_to_feed());
    EXPECT_EQ(1u, logons()) << "the feed thread must not log on while the database is down";
    EXPECT_EQ(1u, log_.count(cut));
    EXPECT_EQ(1u, log_.count("Disconnected from database: \"could not receive data from server\""));

    restore_connection(4);
    ASSERT_TRUE(wait_for([] { return connected_to_feed() == 1; }, 10s));
    EXPECT_EQ(1u, log_.count("Reconnected to database"));
    EXPECT_TRUE(wait_for([&] { return logons() == 2; }, 2s));

    running = 0;
    supervisor_.join();
    feed_.join();
    EXPECT_EQ(0, active_threads.load());
}

}  // namespace
}  // namespace runtest
