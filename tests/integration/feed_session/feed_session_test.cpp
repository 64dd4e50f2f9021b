// feed_session_test.cpp - the feed thread against the real feed simulator in scripted
// mode, over loopback TCP: logon failures, log-offs, failed requests, the logon watch,
// catch-up requests after a reconnect, the request's contents and the stale-instrument
// pass. The simulator's request log shows what the thread sent; the queues show what it
// dispatched.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/unit/queues/queue_test_util.h"
#include "tools/feedsim/options.h"
#include "tools/feedsim/server.h"
#include "zel/base/run_state.h"
#include "zel/feed/feed_session.h"
#include "zel/feed/stale_set.h"
#include "zel/stats/stats_block.h"

using namespace qtest;
using namespace std::chrono_literals;

namespace {

// The test's clock: the system clock moved by an offset, or frozen at one second.
std::atomic<int64_t> g_clock_shift{0};
std::atomic<int64_t> g_frozen{0};
int64_t shifted_clock() {
    if (int64_t frozen = g_frozen.load()) return frozen;
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count() +
           g_clock_shift.load();
}

// The connection state word, as the supervisor reads and writes it.
uint64_t connected_state() {
    return std::atomic_ref<uint64_t>(g_stats->connected_to_feed).load();
}
void set_connected_state(uint64_t value) {
    std::atomic_ref<uint64_t>(g_stats->connected_to_feed).store(value);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class FeedSession : public QueueTest {
  protected:
    void SetUp() override {
        QueueTest::SetUp();
        g_clock_shift = 0;
        g_frozen = 0;
        set_clock_source(&shifted_clock);
        g_stats->received_messages = 0;
        g_stats->connected_to_feed = 0;
        g_config.reconnectinterval = 0;
        g_config.maxdeletes = 10000;
        g_config.insrefs = "*";
        g_config.feed_username = "user";
        g_config.feed_password = "secret";
        g_client_identification.clear();
        for (const RequestSwitch& sw : kRequestSwitches)
            g_config.*(sw.flag) = 0;
        database_down = 0;
        std::string base = ::testing::TempDir() + "feed_session_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name();
        script_path_ = base + ".script";
        log_path_ = base + ".log";
        std::remove(log_path_.c_str());
    }

    void TearDown() override {
        stop_feed();
        stop_server();
        staleSetDestroy();
        set_clock_source(nullptr);
        database_down = 0;
        QueueTest::TearDown();
    }

    void start_server(const std::string& script,
                      std::function<void(feedsim::Options&)> adjust = {}) {
        std::ofstream(script_path_) << script;
        feedsim::Options options;
        options.listen_host = "127.0.0.1";
        options.listen_port = 0;
        options.script_path = script_path_;
        options.log_path = log_path_;
        if (adjust) adjust(options);
        server_ = std::make_unique<feedsim::Server>(options);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        g_config.feed_server = "127.0.0.1:" + std::to_string(server_->port());
        server_thread_ = std::thread([this] { server_->run(); });
    }
    void stop_server() {
        if (!server_) return;
        server_->stop();
        server_thread_.join();
        server_.reset();
    }
    void start_feed() {
        running = 1;
        feed_thread_ = std::thread(feed_thread_main);
    }
    void stop_feed() {
        running = 0;
        feed_disconnect();
        if (feed_thread_.joinable()) feed_thread_.join();
    }

    // Waits until `done` holds or `seconds` pass.
    static bool eventually(const std::function<bool()>& done, double seconds = 10) {
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            if (done()) return true;
            std::this_thread::sleep_for(20ms);
        }
        return done();
    }
    bool logged(const std::string& text, double seconds = 10) {
        return eventually([&] { return log.contains(text); }, seconds);
    }
    // Lines of the simulator's log that contain `part` (the log writes blanks in values as
    // "\\s").
    std::vector<std::string> server_lines(const std::string& part) {
        std::vector<std::string> out;
        std::istringstream in(read_file(log_path_));
        for (std::string line; std::getline(in, line);) {
            if (line.find(part) != std::string::npos) out.push_back(line);
        }
        return out;
    }
    bool server_logged(const std::string& part, size_t times = 1, double seconds = 10) {
        return eventually([&] { return server_lines(part).size() >= times; }, seconds);
    }
    size_t queued_in(int n) {
        MutexLock g(queue(n).lock);
        return items_of(queue(n)).size();
    }

    LogRecorder log;
    std::string script_path_, log_path_;
    std::unique_ptr<feedsim::Server> server_;
    std::thread server_thread_, feed_thread_;
};

TEST_F(FeedSession, RejectedLogonIsReportedAndRetried) {
    g_config.reconnectinterval = 1;
    start_server("@idle\n", [](feedsim::Options& o) {
        o.check_credentials = true;
        o.user = "user";
        o.password = "other";
    });
    start_feed();
    ASSERT_TRUE(logged("Connected to Corvalinder"));
    ASSERT_TRUE(logged("Corvalinder didn't accept the supplied username/password combination"));
    ASSERT_TRUE(logged("Corvalinder went off-line, disconnecting and trying to reconnect"));
    // No pause before the first attempt, then one per reconnect interval.
    EXPECT_TRUE(server_logged("result=rejected", 2, 5));
    EXPECT_EQ(log.count("Successfully logged on"), 0u);
    auto logons = server_lines("LOGON");
    ASSERT_FALSE(logons.empty());
    EXPECT_NE(logons[0].find("user=user"), std::string::npos);
    EXPECT_EQ(logons[0].find("client_id"), std::string::npos);  // none was built
}

TEST_F(FeedSession, ServerShutdownIsReportedAndTheThreadReconnects) {
    start_server("@logoff 503\n@expect-request\n@idle\n");
    g_client_identification = "ZEL 0.9.55 [Test OS]";
    start_feed();
    ASSERT_TRUE(logged("The Corvalinder server is shutting down"));
    ASSERT_TRUE(logged("Corvalinder went off-line, disconnecting and trying to reconnect"));
    // The second connection gets through to its request.
    ASSERT_TRUE(server_logged("REQUEST", 1));
    EXPECT_EQ(server_lines("client_id=ZEL\\s0.9.55\\s[Test\\sOS]").size(), 2u);
    EXPECT_TRUE(logged("Successfully logged on to Corvalinder server: feedsim"));
}

TEST_F(FeedSession, OtherLogoffCodesAreOnlyAGoingOffline) {
    start_server("@logoff 999\n@idle\n");
    start_feed();
    ASSERT_TRUE(logged("Corvalinder went off-line"));
    EXPECT_FALSE(log.contains("shutting down"));
    EXPECT_FALSE(log.contains("didn't accept"));
}

TEST_F(FeedSession, FailedRequestReconnectsAndAsksForAFullSnapshotAgain) {
    start_server(
        "@expect-request\n"
        "20 0 50=101\n"
        "@expect-request\n"
        "20 0\n"
        "@expect-request\n"
        "@idle\n",
        [](feedsim::Options& o) { o.send_server_name = false; });
    start_feed();
    ASSERT_TRUE(server_logged("REQUEST", 3));
    EXPECT_EQ(log.count("The request failed, disconnecting and trying to reconnect"),
              2u);  // 101, then no result
    EXPECT_EQ(log.count("Requesting full snapshot"), 3u);
    EXPECT_EQ(server_lines("start_date").size(), 0u);
    EXPECT_FALSE(log.contains("All the requested data"));
}

TEST_F(FeedSession, MissingLogonReplyIsGivenUpAfter30Seconds) {
    start_server("@no-logon-reply\n@expect-request\n@idle\n");
    start_feed();
    ASSERT_TRUE(server_logged("result=withheld"));
    std::this_thread::sleep_for(2500ms);  // a consume wait or two without a reply
    EXPECT_FALSE(log.contains("No reply from Corvalinder"));
    g_clock_shift = 31;
    ASSERT_TRUE(logged("No reply from Corvalinder in 30 seconds. Reconnecting.", 6));
    ASSERT_TRUE(server_logged("REQUEST", 1));
    EXPECT_EQ(server_lines("LOGON").size(), 2u);
}

TEST_F(FeedSession, ReconnectAfterACompleteSnapshotAsksForACatchUp) {
    const int64_t frozen = 1718454600;  // 2024-06-15 12:30:00 UTC
    g_frozen = frozen;
    start_server(
        "@expect-request\n"
        "5 100 5=10.5 6=10.6\n"
        "20 0 50=100\n"
        "@sleep 200\n"
        "5 100 5=10.7\n"
        "@sleep 200\n"
        "@disconnect\n"
        "@expect-request\n"
        "@idle\n",
        [](feedsim::Options& o) {
            o.send_server_name = false;
            o.time_offset = 3600;
            o.template_version = 77;
        });
    start_feed();
    ASSERT_TRUE(server_logged("start_date", 1));
    EXPECT_TRUE(log.contains(
        "All the requested data have been received (it's not all yet written to SQL though!)"));
    EXPECT_TRUE(log.contains("Disconnected from Corvalinder: "));
    // One second before the last batch, on the server's clock.
    EXPECT_TRUE(log.contains("Requesting data from 2024-06-15T13:29:59Z"));
    auto requests = server_lines("REQUEST");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].find("start_date"), std::string::npos);
    EXPECT_NE(requests[1].find("start_date=2024-06-15"), std::string::npos) << requests[1];
    EXPECT_NE(requests[1].find("start_time=13:29:59"), std::string::npos) << requests[1];
    EXPECT_EQ(g_config.feed_template_version.load(), 77u);
    // Both quotes were dispatched (and merged); session messages are not counted.
    EXPECT_EQ(stat_read(g_stats->received_messages), 2u);
    EXPECT_EQ(queued_in(1), 1u);
    EXPECT_EQ(field_text(queue(1).head->fields, 5), "10.7");
}

TEST_F(FeedSession, ServerNameInTheLogonReplyForcesAFullSnapshot) {
    start_server(
        "@expect-request\n20 0 50=100\n@sleep 200\n5 1 5=1\n@sleep "
        "200\n@disconnect\n@expect-request\n@idle\n");
    start_feed();
    ASSERT_TRUE(server_logged("REQUEST", 2));
    EXPECT_EQ(log.count("Requesting full snapshot"), 2u);
    EXPECT_FALSE(log.contains("Requesting data from"));
}

TEST_F(FeedSession, RequestCarriesTheSwitchedOnClassesAndTheInstrumentSelection) {
    g_config.requestbasicdata = 1;
    g_config.requestquotes = -1;
    g_config.requestestimates = 1;
    g_config.requestnews = 1;
    g_config.requestmbo = 1;
    g_config.insrefs = "1 2 *";
    start_server("@expect-request\n@idle\n");
    start_feed();
    ASSERT_TRUE(server_logged("REQUEST"));
    std::string request = server_lines("REQUEST")[0];
    EXPECT_NE(
        request.find("param51=3 param49=0 classes=4\\s14\\s15\\s0\\s8\\s24 classes_form=list"),
        std::string::npos)
        << request;
    EXPECT_NE(request.find("insrefs=1\\s2\\s* insrefs_form=list"), std::string::npos) << request;
}

TEST_F(FeedSession, NoSwitchGivesAnEmptyClassListAndStarIsText) {
    start_server("@expect-request\n@idle\n");
    start_feed();
    ASSERT_TRUE(server_logged("REQUEST"));
    std::string request = server_lines("REQUEST")[0];
    EXPECT_NE(request.find("classes= classes_form=list"), std::string::npos) << request;
    EXPECT_NE(request.find("insrefs=* insrefs_form=string"), std::string::npos) << request;
}

TEST_F(FeedSession, StaleInstrumentsAreDeletedOnceTheSnapshotIsComplete) {
    ASSERT_EQ(staleSetCreate(102400), 1);
    for (uint64_t insref : {1, 2, 3, 4})
        staleSetAdd(insref);
    start_server(
        "@expect-request\n"
        "15 1 60=One\n"
        "15 3 60=Three\n"
        "@sleep 200\n"
        "@disconnect\n"  // the first snapshot never completes
        "@expect-request\n"
        "15 1 60=One\n"
        "20 0 50=100\n"
        "@idle\n");
    start_feed();
    ASSERT_TRUE(logged("Deleted 2 stale instruments."));
    EXPECT_EQ(log.count("Requesting full snapshot"), 2u);
    std::set<uint64_t> deleted;
    {
        MutexLock g(queue(3).lock);
        for (QueueItem* i : items_of(queue(3))) {
            if (i->kind == 9) deleted.insert(i->insref);
        }
    }
    EXPECT_EQ(deleted, (std::set<uint64_t>{2, 4}));
    stop_feed();  // the set is the feed thread's
    EXPECT_FALSE(staleSetExists());
}

TEST_F(FeedSession, StaleSafetyLimitKeepsEverything) {
    g_config.maxdeletes = 2;
    ASSERT_EQ(staleSetCreate(16), 1);
    for (uint64_t insref : {1, 2, 3})
        staleSetAdd(insref);
    start_server("@expect-request\n20 0 50=100\n@idle\n");
    start_feed();
    ASSERT_TRUE(
        logged("Delete instrument safety limit hit, ignoring delete of 3 stale instruments."));
    EXPECT_EQ(queued_in(3), 0u);
    stop_feed();
    EXPECT_FALSE(staleSetExists());
}

TEST_F(FeedSession, NoConnectionWhileTheDatabaseIsDown) {
    database_down = 1;
    start_server("@expect-request\n@idle\n");
    start_feed();
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(log.contains("Connected to Corvalinder"));
    EXPECT_EQ(server_lines("LOGON").size(), 0u);
    database_down = 0;
    EXPECT_TRUE(server_logged("REQUEST"));
}

TEST_F(FeedSession, SupervisorDisconnectLeadsToAReconnect) {
    start_server("@expect-request\n@sleep 60000\n");
    start_feed();
    ASSERT_TRUE(server_logged("REQUEST"));
    ASSERT_EQ(connected_state(), 1u);
    // What the supervisor does when the database has been down too long.
    set_connected_state(0);
    feed_disconnect();
    ASSERT_TRUE(server_logged("LOGON", 2));
    EXPECT_TRUE(eventually([] { return connected_state() == 1; }));
}

TEST_F(FeedSession, UnreachableServerIsRetriedAndTheThreadEndsPromptly) {
    g_config.feed_server = "127.0.0.1:1";
    g_config.reconnectinterval = 30;
    start_feed();
    ASSERT_TRUE(logged("Connecting to Corvalinder failed: "));
    EXPECT_EQ(active_threads.load(), 1);
    auto started = std::chrono::steady_clock::now();
    stop_feed();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);  // not the 30-second pause
    EXPECT_EQ(active_threads.load(), 0);
    EXPECT_EQ(connected_state(), 0u);
}

TEST_F(FeedSession, DataOfEveryBatchReachesTheQueues) {
    g_config.requestorderbooks = 1;
    start_server(
        "@expect-request\n"
        "6 5 3=2024-06-15 4=10:00:00 12=1.5\n"
        "7 5 5=10 16=1\n"
        "11 5 16=1 17=400\n"
        "18 5 1=x\n"
        "99 5 1=y\n"
        "20 0 50=100\n"
        "@idle\n");
    start_feed();
    ASSERT_TRUE(logged("All the requested data"));
    EXPECT_EQ(stat_read(g_stats->received_messages), 3u);
    EXPECT_EQ(queued_in(2), 1u);
    MutexLock g(queue(4).lock);
    QueueItem* book = queue(4).head;
    ASSERT_NE(book, nullptr);
    ASSERT_NE(book->bid_changes, nullptr);
    EXPECT_STREQ(book->bid_changes->price, "10");
    EXPECT_EQ(field_text(book->bid_changes->fields, 17), "400");
}

}  // namespace
