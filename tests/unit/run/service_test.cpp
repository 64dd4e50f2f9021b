// The service side: the notify socket in both directions, the signal thread and its console
// events, the console control handler and the routing of events, and whole service runs
// in-process with the test as the service manager (its reports in order, a stop that comes
// while the service is still starting, a start-up that fails, an interrogation).
#include <cstdlib>
#include <memory>

#include "platform/service_notify.h"
#include "platform/signals.h"
#include "startup_test_util.h"

namespace runtest {
namespace {

using namespace std::chrono_literals;

// The service manager's end of the notify socket, named for the running test.
class NotifyReceiver {
  public:
    NotifyReceiver() {
        path_ = ::testing::TempDir() + "notify-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        socket_ = platform_notify_listen(path_.c_str());
    }
    ~NotifyReceiver() { platform_notify_close(socket_, path_.c_str()); }
    bool ok() const { return socket_ >= 0; }
    const std::string& path() const { return path_; }

    // The next report, or "" after `timeout_ms`.
    std::string next(int timeout_ms = 5000) {
        char buffer[1024];
        long got = platform_notify_receive(socket_, buffer, sizeof buffer, timeout_ms);
        return got < 0 ? std::string() : std::string(buffer, static_cast<size_t>(got));
    }
    // Reports up to and including the first that contains `part` (all of them if none does
    // within the time allowed).
    std::vector<std::string> until(const std::string& part, int timeout_ms = 10000) {
        std::vector<std::string> seen;
        for (;;) {
            std::string report = next(timeout_ms);
            if (report.empty()) return seen;
            seen.push_back(report);
            if (report.find(part) != std::string::npos) return seen;
        }
    }

  private:
    std::string path_;
    long socket_ = -1;
};

bool contains(const std::vector<std::string>& reports, const std::string& part) {
    for (const std::string& report : reports) {
        if (report.find(part) != std::string::npos) return true;
    }
    return false;
}

TEST(ServiceNotify, ReportsReachTheSocketNamedInTheEnvironment) {
    NotifyReceiver receiver;
    ASSERT_TRUE(receiver.ok());
    std::string error;

    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(NOTIFY_ABSENT, platform_service_notify_open(&error));
    EXPECT_FALSE(platform_service_notify_send("READY=1")) << "nothing is open";

    setenv("NOTIFY_SOCKET", receiver.path().c_str(), 1);
    ASSERT_EQ(NOTIFY_OPENED, platform_service_notify_open(&error)) << error;
    EXPECT_TRUE(platform_service_notify_active());
    EXPECT_TRUE(platform_service_notify_send("READY=1\nSTATUS=up"));
    EXPECT_EQ("READY=1\nSTATUS=up", receiver.next());
    platform_service_notify_close();
    EXPECT_FALSE(platform_service_notify_active());
    unsetenv("NOTIFY_SOCKET");
}

TEST(ServiceNotify, AbstractNamesWork) {
    std::string name = "@zel-notify-test-" + std::to_string(std::rand());
    long socket = platform_notify_listen(name.c_str());
    ASSERT_GE(socket, 0);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    std::string error;
    ASSERT_EQ(NOTIFY_OPENED, platform_service_notify_open(&error)) << error;
    EXPECT_TRUE(platform_service_notify_send("STOPPING=1"));
    char buffer[64];
    EXPECT_EQ(10, platform_notify_receive(socket, buffer, sizeof buffer, 2000));
    EXPECT_STREQ("STOPPING=1", buffer);
    platform_service_notify_close();
    platform_notify_close(socket, nullptr);
    unsetenv("NOTIFY_SOCKET");
}

TEST(ServiceNotify, UnusableSocketsAreRefusedWithTheReason) {
    std::string error;
    setenv("NOTIFY_SOCKET", "relative/notify", 1);
    EXPECT_EQ(NOTIFY_FAILED, platform_service_notify_open(&error));
    EXPECT_NE(std::string::npos, error.find("relative/notify")) << error;

    std::string nobody = ::testing::TempDir() + "notify-nobody-listens";
    setenv("NOTIFY_SOCKET", nobody.c_str(), 1);
    error.clear();
    EXPECT_EQ(NOTIFY_FAILED, platform_service_notify_open(&error));
    EXPECT_NE(std::string::npos, error.find("cannot reach")) << error;
    EXPECT_FALSE(platform_service_notify_active());

    // The dispatcher says the same: a service manager is named but cannot be reached.
    error.clear();
    EXPECT_EQ(SERVICE_DISPATCH_FAILED, service_dispatcher(&error));
    EXPECT_FALSE(error.empty());
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(SERVICE_DISPATCH_NOT_A_SERVICE, service_dispatcher(&error));
}

std::mutex g_events_lock;
std::vector<int> g_events;
int record_event(int event) {
    std::lock_guard<std::mutex> hold(g_events_lock);
    g_events.push_back(event);
    return 1;
}

TEST(ServiceSignals, EachStopSignalArrivesAsItsConsoleEvent) {
    {
        std::lock_guard<std::mutex> hold(g_events_lock);
        g_events.clear();
    }
    ASSERT_TRUE(platform_block_stop_signals());
    ASSERT_TRUE(platform_signal_thread_start(&record_event));
    EXPECT_FALSE(platform_signal_thread_start(&record_event)) << "one signal thread at a time";
    const int sent[] = {CONSOLE_CTRL_C, CONSOLE_SHUTDOWN, CONSOLE_CLOSE, CONSOLE_CTRL_BREAK};
    std::vector<int> expected;
    for (int event : sent) {
        ASSERT_TRUE(platform_send_console_event(event));
        expected.push_back(event);
        // One at a time: signals of one kind that are pending together arrive once.
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard<std::mutex> hold(g_events_lock);
                if (g_events.size() == expected.size()) break;
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    EXPECT_FALSE(platform_send_console_event(CONSOLE_LOGOFF)) << "no signal stands for it";
    platform_signal_thread_stop();
    std::lock_guard<std::mutex> hold(g_events_lock);
    EXPECT_EQ(expected, g_events);
}

TEST(ServiceConsoleHandler, StopEventsSetExitCodeZeroAndStop) {
    reset_process_state();
    for (int event :
         {CONSOLE_CTRL_C, CONSOLE_CTRL_BREAK, CONSOLE_CLOSE, CONSOLE_LOGOFF, CONSOLE_SHUTDOWN}) {
        exit_code = 1;
        running = 1;
        EXPECT_EQ(1, console_control_handler(event)) << event;
        EXPECT_EQ(0, exit_code.load()) << event;
        EXPECT_EQ(0, running.load()) << event;
    }
    for (int event : {3, 4, 7}) {
        exit_code = 1;
        running = 1;
        EXPECT_EQ(0, console_control_handler(event)) << event;
        EXPECT_EQ(1, exit_code.load()) << event;
        EXPECT_EQ(1, running.load()) << event;
    }
    running = 0;
}

TEST(ServiceConsoleHandler, EventsReachTheHandlerOnlyWhileItIsInstalled) {
    reset_process_state();
    running = 1;
    EXPECT_EQ(0, route_console_event(CONSOLE_CTRL_C)) << "default action before the run";
    EXPECT_EQ(1, running.load());
    install_console_control_handler();
    EXPECT_EQ(1, route_console_event(CONSOLE_CTRL_C));
    EXPECT_EQ(0, running.load());
    EXPECT_EQ(0, exit_code.load());
    remove_console_control_handler();
    EXPECT_EQ(0, route_console_event(CONSOLE_SHUTDOWN));
    exit_code = 1;
}

// Whole service runs, the test playing the service manager.
class ServiceRun : public StartupFixture {
  protected:
    void SetUp() override {
        StartupFixture::SetUp();
        ASSERT_TRUE(receiver_.ok());
        setenv("NOTIFY_SOCKET", receiver_.path().c_str(), 1);
    }
    void TearDown() override {
        request_stop();
        if (dispatcher_.joinable()) dispatcher_.join();
        unsetenv("NOTIFY_SOCKET");
        StartupFixture::TearDown();
    }
    // Runs the dispatcher (and so the service main) as the main thread would.
    void start_service() {
        dispatcher_ = std::thread([this] { dispatched_ = service_dispatcher(&error_); });
    }
    int finish_service() {
        dispatcher_.join();
        return dispatched_;
    }

    NotifyReceiver receiver_;
    std::thread dispatcher_;
    int dispatched_ = -2;
    std::string error_;
};

TEST_F(ServiceRun, ReportsStartRunningAndStopInOrder) {
    write_config("checkdatabase 1\n");
    fake_set_databaseinfo(matching_columns());
    g_config.daemon = 0;
    g_config.silent = 0;
    start_service();

    std::vector<std::string> starting = receiver_.until("READY=1");
    ASSERT_FALSE(starting.empty());
    EXPECT_EQ("READY=1\nSTATUS=Corvalinder ZEL is running", starting.back());
    std::vector<std::string> expected_start = {
        "STATUS=Starting Corvalinder ZEL (check point 0)\nEXTEND_TIMEOUT_USEC=5000000",
        "STATUS=Starting Corvalinder ZEL (check point 1)\nEXTEND_TIMEOUT_USEC=5000000",
        "STATUS=Starting Corvalinder ZEL (check point 2)\nEXTEND_TIMEOUT_USEC=5000000",
        "STATUS=Starting Corvalinder ZEL (check point 3)\nEXTEND_TIMEOUT_USEC=5000000",
    };
    starting.pop_back();
    EXPECT_EQ(expected_start, starting);
    EXPECT_EQ(1, g_config.daemon) << "a service never waits for a key";
    EXPECT_EQ(1, g_config.silent);

    // The service main's own report once it waits for the stop.
    EXPECT_EQ("READY=1\nSTATUS=Corvalinder ZEL is running", receiver_.next());
    for (int i = 0; i < 200 && !(service_status().controls_accepted & SERVICE_ACCEPT_STOP); ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, service_status().controls_accepted);

    // An interrogation only repeats the status.
    service_control_handler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ("READY=1\nSTATUS=Corvalinder ZEL is running", receiver_.next());
    EXPECT_EQ(1, running.load());

    // The service manager's SIGTERM, as the signal thread hands it over.
    EXPECT_EQ(1, route_console_event(CONSOLE_SHUTDOWN));
    std::vector<std::string> stopping = receiver_.until("has stopped");
    ASSERT_FALSE(stopping.empty());
    EXPECT_EQ("STOPPING=1\nSTATUS=Corvalinder ZEL has stopped", stopping.back());
    for (const std::string& report : stopping)
        EXPECT_EQ(0u, report.find("STOPPING=1\n")) << report;
    EXPECT_EQ(SERVICE_DISPATCH_RAN, finish_service());
    EXPECT_EQ(STARTUP_RUNNING, service_startup_result());
    EXPECT_EQ(0u, service_exit_code());
    EXPECT_EQ(0, active_threads.load()) << "stopped is reported after the threads ended";
    EXPECT_EQ(1, exit_code.load()) << "a service stop is not a console event";

    shutdown();
    EXPECT_TRUE(log_.has("Shutdown complete"));
}

TEST_F(ServiceRun, StopDuringTheStartIsCarriedOutOnceTheServiceRuns) {
    write_config("checkdatabase 0\n");
    // The stale-set query comes after the start-up's own "running" report and before the
    // service accepts controls: the stop arrives in between.
    FakeResult slow;
    slow.delay_ms = 300;
    fake_on_statement("SELECT insref FROM basicdata", slow);
    start_service();
    std::vector<std::string> starting = receiver_.until("READY=1");
    ASSERT_TRUE(contains(starting, "READY=1"));
    EXPECT_EQ(0u, service_status().controls_accepted);
    service_control_handler(SERVICE_CONTROL_STOP);

    std::vector<std::string> rest = receiver_.until("has stopped");
    ASSERT_TRUE(contains(rest, "has stopped")) << "the stop was lost";
    EXPECT_EQ(SERVICE_DISPATCH_RAN, finish_service());
    EXPECT_EQ(0u, service_exit_code());
    shutdown();
}

TEST_F(ServiceRun, FailedStartReportsStoppedWithTheFailureCode) {
    g_config.config_path = dir_ + "-absent.config";
    g_config.config_path_given = true;
    start_service();
    std::vector<std::string> reports = receiver_.until("STOPPING=1");
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ("STATUS=Starting Corvalinder ZEL (check point 0)\nEXTEND_TIMEOUT_USEC=5000000",
              reports[0]);
    EXPECT_EQ(
        "STOPPING=1\nSTATUS=Corvalinder ZEL could not start (exit code 0xFFFFFFFF); see "
        "the system log",
        reports[1]);
    EXPECT_EQ(SERVICE_DISPATCH_RAN, finish_service());
    EXPECT_EQ(STARTUP_FAILED, service_startup_result());
    EXPECT_EQ(kServiceStartFailed, service_exit_code());
    EXPECT_TRUE(log_.has("Could not open config file '" + g_config.config_path + "'"));
    EXPECT_EQ("", receiver_.next(200)) << "nothing after stopped";
}

}  // namespace
}  // namespace runtest
