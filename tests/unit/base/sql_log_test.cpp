// The daily SQL log: file names and line format, the day switch at midnight, the switch
// under four writing threads, and recovery when the directory cannot be used.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/sql_log.h"

namespace fs = std::filesystem;

namespace {

std::atomic<int64_t> g_now{0};
int64_t test_clock() {
    return g_now.load();
}

int64_t local_time(int year, int month, int day, int hour, int minute, int second) {
    struct tm when {};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    when.tm_isdst = -1;
    return local_mktime(&when);
}

std::vector<std::string> lines_of(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class SqlLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = fs::temp_directory_path() /
                     ("zel-sqllog-" +
                      std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(directory_);
        fs::create_directories(directory_);  // the log makes only its own directory level
        sql_log_close();
        set_clock_source(test_clock);
        g_config.logsqlpath = (directory_ / "sql").string() + "/";
    }
    void TearDown() override {
        sql_log_close();
        set_clock_source(nullptr);
        g_config.logsqlpath.clear();
        fs::remove_all(directory_);
    }
    fs::path file(const char* name) { return directory_ / "sql" / name; }

    fs::path directory_;
};

TEST_F(SqlLogTest, NothingIsWrittenWithoutADirectory) {
    g_config.logsqlpath.clear();
    g_now = local_time(2024, 3, 5, 10, 0, 0);
    sql_log_write(1, "SELECT 1");
    EXPECT_TRUE(fs::is_empty(directory_));
}

TEST_F(SqlLogTest, CreatesTheDirectoryAndWritesTimedLines) {
    g_now = local_time(2024, 3, 5, 10, 11, 12);
    sql_log_write(2, "%s", "INSERT INTO trades VALUES (1)");
    sql_log_write(4, "** %s : %s", "UPDATE x", "relation \"x\" does not exist");
    EXPECT_EQ(
        lines_of(file("SQ240305.log")),
        (std::vector<std::string>{"10:11:12 [2] INSERT INTO trades VALUES (1)",
                                  "10:11:12 [4] ** UPDATE x : relation \"x\" does not exist"}));
}

TEST_F(SqlLogTest, StatementsEitherSideOfMidnightLandInTwoFiles) {
    g_now = local_time(2023, 12, 31, 23, 59, 59);
    sql_log_write(1, "before");
    g_now = local_time(2024, 1, 1, 0, 0, 0);
    sql_log_write(1, "after");
    EXPECT_EQ(lines_of(file("SQ231231.log")), std::vector<std::string>{"23:59:59 [1] before"});
    EXPECT_EQ(lines_of(file("SQ240101.log")), std::vector<std::string>{"00:00:00 [1] after"});
}

TEST_F(SqlLogTest, SameDayOfALaterMonthOpensItsOwnFile) {
    g_now = local_time(2024, 1, 5, 12, 0, 0);
    sql_log_write(1, "january");
    g_now = local_time(2024, 2, 5, 12, 0, 0);
    sql_log_write(1, "february");
    EXPECT_EQ(lines_of(file("SQ240105.log")), std::vector<std::string>{"12:00:00 [1] january"});
    EXPECT_EQ(lines_of(file("SQ240205.log")), std::vector<std::string>{"12:00:00 [1] february"});
}

TEST_F(SqlLogTest, LongStatementsAreCut) {
    g_now = local_time(2024, 3, 5, 10, 0, 0);
    std::string statement(15000, 's');
    sql_log_write(3, "%s", statement.c_str());
    std::vector<std::string> lines = lines_of(file("SQ240305.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "10:00:00 [3] " + statement.substr(0, 10247));
}

TEST_F(SqlLogTest, UnusableDirectoryIsRetriedOnTheNextStatement) {
    // A file where the directory should be: neither the directory nor the log can be made.
    std::ofstream(directory_ / "sql") << "in the way";
    g_now = local_time(2024, 3, 5, 10, 0, 0);
    sql_log_write(1, "lost");
    fs::remove(directory_ / "sql");
    sql_log_write(1, "kept");
    EXPECT_EQ(lines_of(file("SQ240305.log")), std::vector<std::string>{"10:00:00 [1] kept"});
}

TEST_F(SqlLogTest, FourThreadsAcrossMidnightPutEveryLineInTheFileOfItsDay) {
    // Every clock reading moves time on, so the threads cross midnight while they write.
    static std::atomic<int64_t> readings{0};
    static int64_t start = local_time(2024, 6, 30, 23, 59, 40);
    readings = 0;
    set_clock_source([]() -> int64_t { return start + readings.fetch_add(1) / 100; });
    constexpr int kThreads = 4;
    constexpr int kEach = 1000;
    std::vector<std::thread> threads;
    for (int t = 1; t <= kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                sql_log_write(t, "statement %d of connection %d", i, t);
        });
    for (std::thread& thread : threads)
        thread.join();

    std::regex line_form(R"((\d\d):(\d\d):(\d\d) \[(\d)\] statement (\d+) of connection (\d))");
    std::map<int, int> per_connection;
    int total = 0;
    for (const char* name : {"SQ240630.log", "SQ240701.log"}) {
        std::vector<std::string> lines = lines_of(file(name));
        EXPECT_FALSE(lines.empty()) << name;
        for (const std::string& line : lines) {
            std::smatch parts;
            ASSERT_TRUE(std::regex_match(line, parts, line_form)) << name << ": " << line;
            EXPECT_EQ(parts[4], parts[6]);
            bool before_midnight = parts[1] == "23";
            EXPECT_EQ(before_midnight, std::string(name) == "SQ240630.log") << line;
            ++per_connection[std::stoi(parts[4])];
            ++total;
        }
    }
    EXPECT_EQ(total, kThreads * kEach);
    for (int t = 1; t <= kThreads; ++t)
        EXPECT_EQ(per_connection[t], kEach);
}

}  // namespace
