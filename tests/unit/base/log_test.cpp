// log_message and the syslog client: console lines, the observer, the length cut, the
// facility rules and the datagrams a real UDP socket on 127.0.0.1 receives.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/process_info.h"
#include "platform/udp.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"

namespace {

// Each test starts from a Config as the program starts with.
void reset_config() {
    g_config.~Config();
    new (&g_config) Config();
}

std::atomic<int64_t> g_fixed_time{0};
int64_t fixed_clock() {
    return g_fixed_time.load();
}

// 5 March 2024, 09:07:03 local time: a one-digit day for the header's padding.
int64_t fifth_of_march() {
    struct tm when {};
    when.tm_year = 124;
    when.tm_mon = 2;
    when.tm_mday = 5;
    when.tm_hour = 9;
    when.tm_min = 7;
    when.tm_sec = 3;
    when.tm_isdst = -1;
    return local_mktime(&when);
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_config();
        g_fixed_time = fifth_of_march();
        set_clock_source(fixed_clock);
        g_config.silent = 1;
        g_config.syslog_enabled = 0;
        log_set_observer(
            [](int level, const char* text, void* context) {
                static_cast<LogTest*>(context)->seen_.emplace_back(level, text);
            },
            this);
    }
    void TearDown() override {
        log_set_observer(nullptr, nullptr);
        set_clock_source(nullptr);
        g_config.syslog_enabled = 0;
        g_config.facility.clear();
        g_config.syslog_host.clear();
        g_config.syslog_port = 514;
        g_config.silent = 0;
        platform_udp_close(&receiver_);
    }

    // Points syslog at a fresh loopback receiver with the given facility setting.
    int setup_with_facility(const char* facility) {
        int port = 0;
        EXPECT_TRUE(platform_udp_listen_loopback(&receiver_, &port));
        g_config.facility = facility;
        g_config.syslog_host = "127.0.0.1:" + std::to_string(port);
        return setup_syslog();
    }
    std::string receive(int timeout_ms = 2000) {
        std::vector<char> buffer(70000);
        long length = platform_udp_receive(receiver_, buffer.data(), buffer.size(), timeout_ms);
        return length < 0 ? std::string() : std::string(buffer.data(), static_cast<size_t>(length));
    }
    std::string expected_header(int priority) {
        char host[16];
        platform_computer_name(host, sizeof host);
        return "<" + std::to_string(priority) + ">Mar  5 09:07:03 " + host + " zel[" +
               std::to_string(platform_process_id()) + "]: ";
    }

    UdpEndpoint receiver_;
    std::vector<std::pair<int, std::string>> seen_;
};

TEST_F(LogTest, ConsoleLineHasTimeTwoBlanksAndTheText) {
    g_config.silent = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(log_message(LOG_LEVEL_INFO, "Connected to %s on port %d", "db", 5432), 1);
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "09:07:03  Connected to db on port 5432\n");
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].first, LOG_LEVEL_INFO);
    EXPECT_EQ(seen_[0].second, "Connected to db on port 5432");
}

TEST_F(LogTest, SilentPrintsNothingButStillLogs) {
    g_config.silent = 1;
    ::testing::internal::CaptureStdout();
    log_message(LOG_LEVEL_ERROR, "quiet");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].second, "quiet");
}

TEST_F(LogTest, LongMessagesAreCutTo10247Characters) {
    std::string long_text(20000, 'a');
    for (size_t i = 0; i < long_text.size(); ++i)
        long_text[i] = static_cast<char>('a' + i % 26);
    g_config.silent = 0;
    ::testing::internal::CaptureStdout();
    log_message(LOG_LEVEL_INFO, "%s", long_text.c_str());
    std::string printed = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].second, long_text.substr(0, 10247));
    EXPECT_EQ(printed, "09:07:03  " + long_text.substr(0, 10247) + "\n");
}

TEST_F(LogTest, SyslogDatagramCarriesPriorityPaddedDayHostAndIdentity) {
    ASSERT_EQ(setup_with_facility("LOG_LOCAL0"), 1);
    EXPECT_EQ(g_config.syslog_enabled, 1);
    log_message(LOG_LEVEL_INFO, "Starting zel v%s", "0.9.55");
    EXPECT_EQ(receive(), expected_header(134) + "Starting zel v0.9.55\n");
    log_message(LOG_LEVEL_ERROR, "second");
    EXPECT_EQ(receive(), expected_header(130) + "second\n");
}

TEST_F(LogTest, FacilityNumbersAndUnknownNames) {
    const std::pair<const char*, int> cases[] = {
        {"17", 136},        // a number from 1 to 123 is multiplied by 8
        {"log_local0", 0},  // names are case-sensitive; not a number reads as 0
        {"LOG_UUCP", 64},  {"123", 984}, {"0", 0},
    };
    for (const auto& [facility, value] : cases) {
        platform_udp_close(&receiver_);
        g_config.syslog_enabled = 0;
        ASSERT_EQ(setup_with_facility(facility), 1) << facility;
        log_message(LOG_LEVEL_PROBLEM, "x");
        EXPECT_EQ(receive(), expected_header(value + 3) + "x\n") << facility;
    }
}

TEST_F(LogTest, FacilityMinusOneLeavesSyslogOffWithoutAMessage) {
    ASSERT_EQ(setup_with_facility("-1"), 1);
    EXPECT_EQ(g_config.syslog_enabled, 0);
    EXPECT_TRUE(seen_.empty());
    log_message(LOG_LEVEL_INFO, "not sent");
    EXPECT_EQ(receive(200), "");
}

TEST_F(LogTest, FacilityOutOfRangeFailsTheStartUp) {
    for (const char* facility : {"124", "-2", "99999999999999999999"}) {
        seen_.clear();
        platform_udp_close(&receiver_);
        EXPECT_EQ(setup_with_facility(facility), 0) << facility;
        EXPECT_EQ(g_config.syslog_enabled, 0);
        ASSERT_EQ(seen_.size(), 1u);
        EXPECT_EQ(seen_[0].first, LOG_LEVEL_ERROR);
        EXPECT_EQ(seen_[0].second,
                  std::string("Defined logging facility, '") + facility + "', does not exist");
    }
}

TEST_F(LogTest, NoFacilityMeansNoSyslog) {
    g_config.facility.clear();
    EXPECT_EQ(setup_syslog(), 1);
    EXPECT_EQ(g_config.syslog_enabled, 0);
}

TEST_F(LogTest, HostPortMustBeANumberFrom1To65535) {
    for (const char* host : {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:", "127.0.0.1:5x"}) {
        seen_.clear();
        g_config.facility = "LOG_USER";
        g_config.syslog_host = host;
        EXPECT_EQ(setup_syslog(), 0) << host;
        ASSERT_EQ(seen_.size(), 1u) << host;
        EXPECT_EQ(seen_[0].first, LOG_LEVEL_ERROR);
        EXPECT_NE(seen_[0].second.find(host), std::string::npos);
    }
}

TEST_F(LogTest, LongMessageStillEndsWithALineFeedInSyslog) {
    ASSERT_EQ(setup_with_facility("LOG_USER"), 1);
    std::string long_text(12000, 'z');
    log_message(LOG_LEVEL_INFO, "%s", long_text.c_str());
    std::string datagram = receive();
    ASSERT_FALSE(datagram.empty());
    EXPECT_LE(datagram.size(), 10296u);
    EXPECT_EQ(datagram.back(), '\n');
    std::string header = expected_header(14);
    ASSERT_EQ(datagram.compare(0, header.size(), header), 0);
    std::string message = datagram.substr(header.size(), datagram.size() - header.size() - 1);
    // Cut to 10247 by log_message, or further only where a long header leaves less room.
    EXPECT_EQ(message.size(), std::min<size_t>(10247, 10296 - header.size() - 1));
    EXPECT_EQ(message.find_first_not_of('z'), std::string::npos);
}

TEST_F(LogTest, UnresolvableHostLosesTheMessageQuietlyAndRetries) {
    g_config.facility = "LOG_USER";
    g_config.syslog_host = "no-such-host.invalid";
    ASSERT_EQ(setup_syslog(), 1);
    EXPECT_EQ(log_message(LOG_LEVEL_INFO, "lost"), 1);
    // The next message tries again and reaches a host that now resolves.
    int port = 0;
    ASSERT_TRUE(platform_udp_listen_loopback(&receiver_, &port));
    g_config.syslog_host = "127.0.0.1";
    g_config.syslog_port = port;
    log_message(LOG_LEVEL_INFO, "found");
    EXPECT_EQ(receive(), expected_header(14) + "found\n");
}

TEST_F(LogTest, ConcurrentThreadsSendWholeDatagrams) {
    ASSERT_EQ(setup_with_facility("LOG_DAEMON"), 1);
    constexpr int kThreads = 4;
    constexpr int kEach = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                log_message(LOG_LEVEL_INFO, "thread %d line %d", t, i);
        });
    }
    std::set<std::string> received;
    for (int i = 0; i < kThreads * kEach; ++i) {
        std::string datagram = receive();
        ASSERT_FALSE(datagram.empty()) << "after " << i << " datagrams";
        received.insert(datagram);
    }
    for (std::thread& thread : threads)
        thread.join();
    std::string header = expected_header(30);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i)
            EXPECT_EQ(received.count(header + "thread " + std::to_string(t) + " line " +
                                     std::to_string(i) + "\n"),
                      1u);
}

}  // namespace
