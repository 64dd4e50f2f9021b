// The syslog host's name lookup must not hold other threads' messages up. A slow name server
// is injected by this program's own getaddrinfo, which the platform layer's UDP code binds
// to when it is linked in here: the first lookup of the test's host name waits until the
// test lets it go, every other one is answered at once with the loopback address.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp.h"
#include "zel/base/config.h"
#include "zel/base/log.h"

namespace {

constexpr const char* kSlowHost = "slow-name-server.zel.test";

std::mutex g_gate_lock;
std::condition_variable g_gate;
bool g_open = false;
std::atomic<int> g_slow_lookups{0};

void open_gate() {
    std::lock_guard<std::mutex> hold(g_gate_lock);
    g_open = true;
    g_gate.notify_all();
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** res) {
    using Real = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node && std::strcmp(node, kSlowHost) == 0) {
        if (g_slow_lookups.fetch_add(1) == 0) {
            std::unique_lock<std::mutex> hold(g_gate_lock);
            g_gate.wait_for(hold, std::chrono::seconds(10), [] { return g_open; });
        }
        node = "127.0.0.1";
    }
    return real(node, service, hints, res);
}

namespace {

TEST(SyslogLookup, ASlowLookupDoesNotHoldUpAnotherThreadsMessage) {
    g_config.~Config();
    new (&g_config) Config();
    g_config.silent = 1;
    UdpEndpoint receiver;
    int port = 0;
    ASSERT_TRUE(platform_udp_listen_loopback(&receiver, &port));
    g_config.facility = "LOG_LOCAL0";
    g_config.syslog_host = std::string(kSlowHost) + ":" + std::to_string(port);
    ASSERT_EQ(1, setup_syslog());

    // The first message's lookup hangs in the name server.
    std::thread stuck([] { log_message(LOG_LEVEL_INFO, "first, behind the slow lookup"); });
    for (int i = 0; i < 200 && g_slow_lookups.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(1, g_slow_lookups.load());

    // Another thread's message goes out while that lookup still waits.
    auto started = std::chrono::steady_clock::now();
    std::thread other([] { log_message(LOG_LEVEL_INFO, "second, from another thread"); });
    std::vector<char> buffer(2048);
    long length = platform_udp_receive(receiver, buffer.data(), buffer.size(), 3000);
    auto waited = std::chrono::steady_clock::now() - started;
    open_gate();
    other.join();
    stuck.join();
    ASSERT_GT(length, 0) << "the second message waited for the first one's lookup";
    EXPECT_NE(std::string::npos,
              std::string(buffer.data(), static_cast<size_t>(length)).find("second, from another"));
    EXPECT_LT(waited, std::chrono::seconds(3));

    // The first message is sent once its lookup ends.
    length = platform_udp_receive(receiver, buffer.data(), buffer.size(), 3000);
    ASSERT_GT(length, 0);
    EXPECT_NE(std::string::npos,
              std::string(buffer.data(), static_cast<size_t>(length)).find("first, behind"));
    g_config.syslog_enabled = 0;
    platform_udp_close(&receiver);
}

}  // namespace
