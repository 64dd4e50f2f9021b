// startup_test_util.h - what the start-up, service and supervisor tests share: a clean
// process-wide state per test, configuration and table-definition files written into the
// test's own directory, the recording module named as the database module, and a recorder
// of the logged lines.
//
// The recording module is linked into the test and loaded again by the start-up through
// the program's loader, which finds the copy already in the process: the test steers the
// very module the start-up calls.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_module_control.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/run_state.h"
#include "zel/feed/feed_session.h"
#include "zel/feed/stale_set.h"
#include "zel/modload/module_loader.h"
#include "zel/run/service.h"
#include "zel/run/startup.h"
#include "zel/run/stop_handlers.h"
#include "zel/run/supervisor.h"
#include "zel/stats/stats_block.h"
#include "zel/tabledef/table_definitions.h"

namespace runtest {

// Records every logged line while alive (lines come from several threads).
class LogRecorder {
  public:
    LogRecorder() { log_set_observer(&LogRecorder::observe, this); }
    ~LogRecorder() { log_set_observer(nullptr, nullptr); }
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    size_t count(const std::string& text, int level = -1) {
        std::lock_guard<std::mutex> hold(lock_);
        size_t n = 0;
        for (const auto& [lvl, line] : lines_)
            n += (level < 0 || lvl == level) && line == text;
        return n;
    }
    bool has(const std::string& text, int level = -1) { return count(text, level) > 0; }
    // Whether some line contains `part`.
    bool mentions(const std::string& part) {
        std::lock_guard<std::mutex> hold(lock_);
        for (const auto& line : lines_) {
            if (line.second.find(part) != std::string::npos) return true;
        }
        return false;
    }
    std::vector<std::string> texts() {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<std::string> out;
        for (const auto& line : lines_)
            out.push_back(line.second);
        return out;
    }
    // Position of the first line equal to `text`, or -1.
    long index_of(const std::string& text) {
        std::lock_guard<std::mutex> hold(lock_);
        for (size_t i = 0; i < lines_.size(); ++i) {
            if (lines_[i].second == text) return static_cast<long>(i);
        }
        return -1;
    }
    void clear() {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.clear();
    }

  private:
    static void observe(int level, const char* text, void* self) {
        auto* recorder = static_cast<LogRecorder*>(self);
        std::lock_guard<std::mutex> hold(recorder->lock_);
        recorder->lines_.emplace_back(level, text);
    }
    std::mutex lock_;
    std::vector<std::pair<int, std::string>> lines_;
};

// A status table, basic data with its state column, and trades.
inline const char kDefinitionsWithStatus[] = R"(<definitions version="4">
  <message mref="1" table="trades" insertfirst="y">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="6" column="price" type="decimal" len="18,6" nullable="1"/>
  </message>
  <message mref="6" table="basicdata">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="126" column="status" type="int" nullable="1"/>
  </message>
  <message mref="30" table="zel_status">
    <field tag="insref" column="name" type="varchar" len="64"/>
    <field tag="value" column="value" type="varchar" len="255" nullable="1"/>
  </message>
</definitions>
)";

// The database description that matches kDefinitionsWithStatus.
inline std::vector<FakeColumn> matching_columns() {
    return {
        {"trades", "insref", "bigint", std::nullopt, 0, 0},
        {"trades", "price", "decimal", "18,6", 1, 0},
        {"basicdata", "insref", "bigint", std::nullopt, 0, 0},
        {"basicdata", "status", "int", std::nullopt, 1, 0},
        {"zel_status", "name", "varchar", "64", 0, 0},
        {"zel_status", "value", "varchar", "255", 1, 0},
    };
}

// Puts the process-wide state back to what a fresh process has after its command line
// (no flags, the defaults), with the recording module reset.
inline void reset_process_state() {
    Config& c = g_config;
    c.daemon = 1;  // never wait for a key in a test
    c.silent = 1;
    c.status_mode = c.check = c.check_types = c.upgrade_db = 0;
    c.config_path.clear();
    c.config_path_given = false;
    c.dbs_user_given = c.domain_user_arg_given = c.import_given = false;
    c.import_path.clear();
    c.feed_server.clear();
    c.feed_username.clear();
    c.feed_password.clear();
    c.module_file.clear();
    c.facility.clear();
    c.syslog_host.clear();
    c.logsqlpath.clear();
    c.domain.clear();
    c.domain_user.clear();
    c.domain_password.clear();
    c.tabledefinitions.clear();
    c.insrefs.clear();
    c.clear_params();
    c.transactions = 0;
    c.updateinterval = 0;
    c.reconnectinterval = 0;
    c.debug = 0;
    c.syslog_enabled = 0;
    for (const RequestSwitch& request : kRequestSwitches)
        c.*request.flag = 0;
    set_config_defaults(c);
    c.instrumenthashsize = 64;
    c.queuehashsize = 64;
    g_tabledefs.clear();
    if (module_loaded()) unload_module();
    fake_reset();
    service_reset();
    running = 0;
    active_threads = 0;
    database_down = 0;
    exit_code = 1;
    g_client_identification.clear();
}

// Writes the test's files (named after the test) and undoes whatever its start-up made.
class StartupFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_process_state();
        set_supervisor_sleep(&StartupFixture::short_second);
        dir_ = ::testing::TempDir() + "zel_run_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::ofstream(dir_ + ".tabledef") << kDefinitionsWithStatus;
        tabledef_path_ = dir_ + ".tabledef";
        config_path_ = dir_ + ".config";
        map_name_ = "Global\\zel run test " +
                    std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    void TearDown() override {
        // Whatever the test left: stop the threads it started and undo the start-up.
        request_stop();
        shutdown();
        set_supervisor_sleep(nullptr);
        reset_process_state();
    }

    // The supervisor's second, shortened so that a run stops within a fraction of a second.
    static void short_second() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

    // The configuration file: the recording module, a feed server that nobody runs, and
    // the given extra lines per section.
    void write_config(const std::string& database_lines = "checkdatabase 0\n",
                      const std::string& log_lines = "",
                      const std::string& application_lines = "") {
        std::ofstream out(config_path_);
        out << "Corvalinder\nserver 127.0.0.1:1\nreconnectinterval 1\n"
            << "Database\ninstance " << ZEL_FAKE_MODULE_PATH << "\n"
            << database_lines << "Application\ntabledefinitions " << tabledef_path_ << "\n"
            << application_lines << "Log\n"
            << log_lines;
        g_config.config_path = config_path_;
        g_config.config_path_given = true;
        g_config.map_name = map_name_;
    }
    void write_definitions(const std::string& xml) { std::ofstream(tabledef_path_) << xml; }

    std::vector<std::string> statements(int connection) { return fake_statements(connection); }

    LogRecorder log_;
    std::string dir_;
    std::string tabledef_path_;
    std::string config_path_;
    std::string map_name_;
};

}  // namespace runtest
