// The statistics block: creation and take-over of the shared section, the private
// fall-back with its message, release, and the --status report read from the section.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/shared_memory.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/stats/stats_block.h"
#include "zel/stats/status_report.h"

namespace {

class StatsBlockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = "Global\\zel test stats " +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
        platform_shm_remove(name_.c_str());
        g_config.silent = 1;
        log_set_observer(
            [](int level, const char* text, void* context) {
                static_cast<StatsBlockTest*>(context)->logged_.emplace_back(level, text);
            },
            this);
    }
    void TearDown() override {
        release_stats_block();
        log_set_observer(nullptr, nullptr);
        platform_shm_remove(name_.c_str());
    }
    std::string report(const std::string& name, int* exit_code) {
        FILE* out = std::tmpfile();
        *exit_code = print_status_report(name.c_str(), out);
        std::string text;
        std::rewind(out);
        for (int c; (c = std::fgetc(out)) != EOF;)
            text.push_back(static_cast<char>(c));
        std::fclose(out);
        return text;
    }

    std::string name_;
    std::vector<std::pair<int, std::string>> logged_;
};

// Every counter gets a value of its own: index i holds 1000 + i.
void number_counters(StatsBlock* block) {
    uint64_t* words = reinterpret_cast<uint64_t*>(block);
    for (int i = 0; i < ZEL_STATS_COUNTERS; ++i)
        words[i] = 1000 + static_cast<uint64_t>(i);
}

const char kNumberedReport[] =
    "received-messages: 1000\n"
    "connected-to-feed: 1001\n"
    "deduplicated-messages: 4050\n"    // 1005 + 1010 + 1015 + 1020
    "database-updates-ok: 4046\n"      // 1004 + 1009 + 1014 + 1019
    "database-updated-failed: 4054\n"  // 1006 + 1011 + 1016 + 1021
    "database-updates-queued: 4038\n"  // 1002 + 1007 + 1012 + 1017
    "q1-queue: 1002\nq1-empty-items: 1003\nq1-updated: 1004\nq1-deduplicated: 1005\nq1-failed: "
    "1006\n"
    "q2-queue: 1007\nq2-empty-items: 1008\nq2-updated: 1009\nq2-deduplicated: 1010\nq2-failed: "
    "1011\n"
    "q3-queue: 1012\nq3-empty-items: 1013\nq3-updated: 1014\nq3-deduplicated: 1015\nq3-failed: "
    "1016\n"
    "q4-queue: 1017\nq4-empty-items: 1018\nq4-updated: 1019\nq4-deduplicated: 1020\nq4-failed: "
    "1021\n"
    "instrument-hash-size: 1025/1024\n"
    "templates-version: 1022/1023\n"
    "running: 1\n"
    "version: 0.9.55\n"
    "feed-paused: 0\n"
    "queued-memory-bytes: 0\n";

TEST_F(StatsBlockTest, StartsPrivateAndBecomesShared) {
    ASSERT_FALSE(stats_block_is_shared());
    StatsBlock* before = g_stats;
    ASSERT_TRUE(create_stats_block(name_.c_str()));
    EXPECT_TRUE(stats_block_is_shared());
    EXPECT_NE(g_stats, before);
    EXPECT_TRUE(logged_.empty());
    number_counters(g_stats);

    StatsBlock seen;
    bool alive = false;
    int error = 0;
    ASSERT_EQ(platform_shm_read(name_.c_str(), &seen, sizeof seen, &alive, &error), SHM_READ_OK);
    EXPECT_EQ(std::memcmp(&seen, g_stats, sizeof seen), 0);
    EXPECT_TRUE(alive);
}

TEST_F(StatsBlockTest, ReportShowsEveryCounterOfARunningWriter) {
    ASSERT_TRUE(create_stats_block(name_.c_str()));
    number_counters(g_stats);
    int exit_code = -1;
    EXPECT_EQ(report(name_, &exit_code), kNumberedReport);
    EXPECT_EQ(exit_code, 0);
}

TEST_F(StatsBlockTest, ExistingSectionKeepsItsCounters) {
    SharedSection earlier;
    int error = 0;
    ASSERT_TRUE(platform_shm_create(name_.c_str(), sizeof(StatsBlock), &earlier, &error));
    static_cast<StatsBlock*>(earlier.address)->received_messages = 77;
    ASSERT_TRUE(create_stats_block(name_.c_str()));
    EXPECT_EQ(g_stats->received_messages, 77u);
    platform_shm_close(&earlier);  // the other holder goes; the section stays ours
    g_stats->received_messages++;
    StatsBlock seen;
    bool alive = false;
    ASSERT_EQ(platform_shm_read(name_.c_str(), &seen, sizeof seen, &alive, &error), SHM_READ_OK);
    EXPECT_EQ(seen.received_messages, 78u);
    EXPECT_TRUE(alive);
}

TEST_F(StatsBlockTest, ReleaseRemovesTheSectionOfTheLastWriter) {
    ASSERT_TRUE(create_stats_block(name_.c_str()));
    g_stats->received_messages = 5;
    release_stats_block();
    EXPECT_FALSE(stats_block_is_shared());
    EXPECT_EQ(g_stats->received_messages, 5u);  // still readable in-process
    g_stats->received_messages++;               // and writable without a crash
    StatsBlock seen;
    bool alive = true;
    int error = 0;
    EXPECT_EQ(platform_shm_read(name_.c_str(), &seen, sizeof seen, &alive, &error),
              SHM_READ_MISSING);
    EXPECT_FALSE(alive);
}

TEST_F(StatsBlockTest, UncreatableSectionFallsBackToPrivateMemory) {
    g_stats->received_messages = 9;  // left over in the private block
    std::string too_long(400, 'n');  // longer than any name the system accepts
    EXPECT_FALSE(create_stats_block(too_long.c_str()));
    SharedSection refused;
    int error = 0;
    ASSERT_FALSE(platform_shm_create(too_long.c_str(), sizeof(StatsBlock), &refused, &error));
    EXPECT_FALSE(stats_block_is_shared());
    ASSERT_EQ(logged_.size(), 1u);
    EXPECT_EQ(logged_[0].first, LOG_LEVEL_PROBLEM);
    EXPECT_EQ(logged_[0].second,
              "Cannot create shared memory for the performance monitor counters " +
                  std::to_string(error));
    EXPECT_NE(error, 0);
    EXPECT_EQ(g_stats->received_messages, 0u);  // a zeroed block
    g_stats->queue[3].failed = 1;               // usable
}

TEST_F(StatsBlockTest, ReportOfAMissingSectionIsZerosAndCreatesNothing) {
    int exit_code = -1;
    std::string text = report(name_, &exit_code);
    EXPECT_EQ(exit_code, 0);
    EXPECT_NE(text.find("received-messages: 0\n"), std::string::npos);
    EXPECT_NE(
        text.find("q4-failed: 0\ninstrument-hash-size: 0/0\ntemplates-version: 0/0\nrunning: 0\n"),
        std::string::npos);
    StatsBlock seen;
    bool alive = false;
    int error = 0;
    EXPECT_EQ(platform_shm_read(name_.c_str(), &seen, sizeof seen, &alive, &error),
              SHM_READ_MISSING);
}

TEST_F(StatsBlockTest, ReportFailsWhenTheSectionCannotBeOpened) {
    std::string too_long(400, 'n');
    int exit_code = -1;
    std::string text = report(too_long, &exit_code);
    EXPECT_EQ(exit_code, 1);
    uint64_t copy[26];
    bool alive = false;
    int error = 0;
    ASSERT_EQ(platform_shm_read(too_long.c_str(), copy, sizeof copy, &alive, &error),
              SHM_READ_OPEN_FAILED);
    EXPECT_NE(error, 0);
    EXPECT_EQ(text, "Cannot create shared memory mapping: " + std::to_string(error) + "\n");
}

TEST_F(StatsBlockTest, ShortSectionIsReadAsFarAsItGoes) {
    // Made by something else with only two counters' room: reading past it must not fault.
    SharedSection small;
    int error = 0;
    ASSERT_TRUE(platform_shm_create(name_.c_str(), 16, &small, &error));
    static_cast<uint64_t*>(small.address)[0] = 3;
    static_cast<uint64_t*>(small.address)[1] = 1;
    int exit_code = -1;
    std::string text = report(name_, &exit_code);
    EXPECT_EQ(exit_code, 0);
    EXPECT_NE(text.find("received-messages: 3\nconnected-to-feed: 1\n"), std::string::npos);
    EXPECT_NE(text.find("q1-queue: 0\n"), std::string::npos);
    platform_shm_close(&small);
}

}  // namespace
