// The Windows platform layer against the real system calls (run under Wine in CI): the
// registry, the named section with its security descriptor and writer mark, the event
// record the event log is given, module loading by name, time conversion, Winsock, console
// control events and account logon.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "platform/account.h"
#include "platform/dynlib.h"
#include "platform/registry.h"
#include "platform/shared_memory.h"
#include "platform/signals.h"
#include "platform/socket.h"
#include "platform/system_log.h"
#include "platform/thread_exit.h"
#include "platform/time_conv.h"
#include "platform/udp.h"
#include "platform/win32/event_log.h"

namespace {

std::string unique(const char* base) {
    return std::string(base) + " " + std::to_string(GetCurrentProcessId());
}

TEST(Registry, ReadsWhatWasWrittenAndTerminatesUnterminatedData) {
    std::string key = "Software\\Corvalinder\\" + unique("ZEL test");
    ASSERT_TRUE(platform_registry_write_string(key.c_str(), "Install Directory", "C:\\zel"));
    char* value = nullptr;
    EXPECT_EQ(platform_registry_read_string(key.c_str(), "Install Directory", &value), 7);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "C:\\zel");
    std::free(value);

    char* untouched = nullptr;
    EXPECT_EQ(platform_registry_read_string(key.c_str(), "No Such Value", &untouched), 0);
    EXPECT_EQ(platform_registry_read_string("Software\\No\\Such\\Key", "x", &untouched), 0);
    EXPECT_EQ(untouched, nullptr);

    // Binary data without a terminator still reads as a terminated text.
    HKEY handle;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE, &handle),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(handle, "Raw", 0, REG_BINARY, reinterpret_cast<const BYTE*>("abc"), 3),
              ERROR_SUCCESS);
    RegCloseKey(handle);
    EXPECT_EQ(platform_registry_read_string(key.c_str(), "Raw", &value), 4);
    EXPECT_STREQ(value, "abc");
    std::free(value);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
}

TEST(SharedSection, IsSharedReadableAndTellsWhetherItsWriterLives) {
    std::string name = "Global\\" + unique("zel platform test");
    SharedSection section;
    int error = 0;
    ASSERT_TRUE(platform_shm_create(name.c_str(), 208, &section, &error)) << error;
    static_cast<uint64_t*>(section.address)[25] = 0x1122334455667788ULL;

    // Another opener with full access sees the same memory: the descriptor grants it.
    HANDLE other = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    ASSERT_NE(other, nullptr) << GetLastError();
    auto* view = static_cast<uint64_t*>(MapViewOfFile(other, FILE_MAP_READ, 0, 0, 208));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[25], 0x1122334455667788ULL);

    uint64_t copy[26];
    bool alive = false;
    ASSERT_EQ(platform_shm_read(name.c_str(), copy, sizeof copy, &alive, &error), SHM_READ_OK);
    EXPECT_EQ(copy[25], 0x1122334455667788ULL);
    EXPECT_TRUE(alive);

    // A second writer of the same name keeps the contents.
    SharedSection second;
    ASSERT_TRUE(platform_shm_create(name.c_str(), 208, &second, &error)) << error;
    EXPECT_EQ(static_cast<uint64_t*>(second.address)[25], 0x1122334455667788ULL);
    platform_shm_close(&second);

    platform_shm_close(&section);
    EXPECT_EQ(section.address, nullptr);
    // The reader's own handle keeps the section, but no writer is left.
    ASSERT_EQ(platform_shm_read(name.c_str(), copy, sizeof copy, &alive, &error), SHM_READ_OK);
    EXPECT_FALSE(alive);
    UnmapViewOfFile(view);
    CloseHandle(other);
    EXPECT_EQ(platform_shm_read(name.c_str(), copy, sizeof copy, &alive, &error), SHM_READ_MISSING);
    EXPECT_EQ(copy[25], 0u);
}

TEST(EventLog, LevelsBecomeTypesAndIdentifiers) {
    EXPECT_EQ(platform_event_for(2, "e").type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(platform_event_for(2, "e").identifier, 0xCFFF0001u);
    EXPECT_EQ(platform_event_for(3, "p").type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(platform_event_for(3, "p").identifier, 0x8FFF0002u);
    for (int level : {4, 6, 0, 7}) {
        EXPECT_EQ(platform_event_for(level, "i").type, EVENTLOG_INFORMATION_TYPE) << level;
        EXPECT_EQ(platform_event_for(level, "i").identifier, 0x4FFF0003u) << level;
    }
}

TEST(EventLog, ReportsOneEventWithTheMessageAsItsOnlyString) {
    const char* text = "Connection 1 to database failed: test";
    platform_system_log(2, text);
    EventLogOutcome outcome = platform_last_event();
    EXPECT_EQ(outcome.error, 0u) << (outcome.register_failed ? "RegisterEventSource"
                                                             : "ReportEvent");
    EXPECT_EQ(outcome.record.text, text);
    EXPECT_EQ(outcome.record.type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(outcome.record.category, 0);
    EXPECT_STREQ(kSystemLogSource, "Corvalinder Database Application");
}

TEST(DynamicLibrary, LoadsTheModuleByNameAndGivesTheSystemsErrorCodes) {
    // By full path, written with forward slashes.
    std::string path = std::string(ZEL_NULL_MODULE_DIR) + "/dbdrv_null.dll";
    void* library = platform_library_open(path.c_str());
    ASSERT_NE(library, nullptr) << platform_library_error();
    EXPECT_NE(platform_library_symbol(library, "mod_reconnect"), nullptr);
    EXPECT_EQ(platform_library_symbol(library, "mod_no_such_entry"), nullptr);
    EXPECT_EQ(platform_library_error_code(), ERROR_PROC_NOT_FOUND) << platform_library_error();
    EXPECT_TRUE(platform_library_close(library));

    // By name alone, found through the system's search.
    std::string directory = ZEL_NULL_MODULE_DIR;
    for (char& c : directory)
        if (c == '/') c = '\\';
    ASSERT_TRUE(SetDllDirectoryA(directory.c_str()));
    library = platform_library_open("dbdrv_null.dll");
    SetDllDirectoryA(nullptr);
    ASSERT_NE(library, nullptr) << platform_library_error();
    EXPECT_EQ(platform_library_error_code(), 0);
    EXPECT_TRUE(platform_library_close(library));

    EXPECT_EQ(platform_library_open("no_such_module_dbdrv.dll"), nullptr);
    EXPECT_EQ(platform_library_error_code(), ERROR_MOD_NOT_FOUND);
    EXPECT_NE(std::strstr(platform_library_error(), "126"), nullptr) << platform_library_error();
}

TEST(TimeConversion, RoundTripsBeyond2038AndMatchesTheRuntimeClock) {
    struct tm broken;
    platform_utc_tm(0, &broken);
    EXPECT_EQ(broken.tm_year, 70);
    EXPECT_EQ(broken.tm_mday, 1);
    platform_utc_tm(4102444799LL, &broken);  // 2099-12-31 23:59:59
    EXPECT_EQ(broken.tm_year + 1900, 2099);
    EXPECT_EQ(broken.tm_mon, 11);
    EXPECT_EQ(broken.tm_hour, 23);
    EXPECT_EQ(platform_utc_mktime(&broken), 4102444799LL);
    platform_local_tm(4102444799LL, &broken);
    EXPECT_EQ(platform_local_mktime(&broken), 4102444799LL);

    int64_t seconds = 0;
    int32_t micro = -1;
    platform_now(&seconds, &micro);
    EXPECT_GE(micro, 0);
    EXPECT_LT(micro, 1000000);
    EXPECT_LE(std::llabs(seconds - static_cast<int64_t>(std::time(nullptr))), 2);
}

TEST(Sockets, UdpDatagramsArriveWhole) {
    UdpEndpoint receiver;
    int port = 0;
    ASSERT_TRUE(platform_udp_listen_loopback(&receiver, &port));
    UdpEndpoint sender;
    ASSERT_TRUE(platform_udp_open("127.0.0.1", port, &sender));
    std::string message(10296, 'x');
    message.back() = '\n';
    ASSERT_TRUE(platform_udp_send(sender, message.data(), message.size()));
    char buffer[11000];
    EXPECT_EQ(platform_udp_receive(receiver, buffer, sizeof buffer, 5000),
              static_cast<long>(message.size()));
    EXPECT_EQ(platform_udp_receive(receiver, buffer, sizeof buffer, 50), -1);
    platform_udp_close(&sender);
    platform_udp_close(&receiver);
    UdpEndpoint bad;
    EXPECT_FALSE(platform_udp_open("no.such.host.invalid", 514, &bad));
}

TEST(Sockets, TcpStreamReadsWithoutWaitingAndSeesTheEnd) {
    int port = 0, error = -1;
    intptr_t listener = platform_tcp_listen("127.0.0.1", 0, &port, &error);
    ASSERT_NE(listener, -1) << error;
    EXPECT_EQ(platform_tcp_accept(listener, 50), -1) << "nobody connects";
    intptr_t client = platform_tcp_connect("127.0.0.1", port, 5000, &error);
    ASSERT_NE(client, -1) << error;
    intptr_t server = platform_tcp_accept(listener, 5000);
    ASSERT_GE(server, 0);
    char buffer[64];
    EXPECT_EQ(platform_socket_read(server, buffer, sizeof buffer), -2) << "nothing there yet";
    ASSERT_EQ(platform_socket_write_all(client, "hello", 5, 5000), 1);
    ASSERT_EQ(platform_socket_wait_readable(server, 5000), 1);
    EXPECT_EQ(platform_socket_read(server, buffer, sizeof buffer), 5);
    EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);
    platform_socket_close(client);
    ASSERT_EQ(platform_socket_wait_readable(server, 5000), 1);
    EXPECT_EQ(platform_socket_read(server, buffer, sizeof buffer), 0);
    platform_socket_close(server);
    platform_socket_close(listener);

    // The listener is gone: nobody answers.
    EXPECT_EQ(platform_tcp_connect("127.0.0.1", port, 2000, &error), -1);
    EXPECT_EQ(error, PLATFORM_SOCKET_REFUSED);
}

// A thread's own objects are released when the thread ends, and only then: C++ thread_local
// destructors run on freed storage with this runtime, which is why the facility exists.
struct Probe {
    static inline std::atomic<int> made{0}, released{0};
    std::string text = std::string(100, 'p');  // a heap allocation of its own
    Probe() { ++made; }
    ~Probe() { ++released; }
};
struct OtherProbe;

TEST(ThreadExit, ThreadOwnedObjectsAreReleasedWhenTheThreadEnds) {
    Probe::made = 0;
    Probe::released = 0;
    std::thread worker([] {
        Probe& first = thread_owned<Probe>();
        EXPECT_EQ(&first, &thread_owned<Probe>()) << "one object per thread";
        EXPECT_NE(static_cast<void*>(&first),
                  static_cast<void*>(&thread_owned<Probe, OtherProbe>()))
            << "a tag makes another object";
        EXPECT_EQ(Probe::released.load(), 0);
    });
    worker.join();
    EXPECT_EQ(Probe::made.load(), 2);
    EXPECT_EQ(Probe::released.load(), 2);
}

bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(Account, AWrongPasswordIsRefusedWithTheSystemsCode) {
    intptr_t token = 0;
    int code = platform_account_logon("zel-no-such-user", ".", "wrong password", &token);
    if (under_wine()) {
        // Wine's LogonUser accepts every account and hands out a placeholder token; what
        // can be checked is that the token the system gave is the one passed on.
        EXPECT_EQ(code, 0);
        EXPECT_EQ(token, static_cast<intptr_t>(0xdeadbeef));
        return;
    }
    EXPECT_EQ(code, ERROR_LOGON_FAILURE);
    EXPECT_EQ(token, -1);
}

}  // namespace
