// Dynamic libraries, the operating system description and directory creation.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/dynlib.h"
#include "platform/files.h"
#include "platform/process_info.h"
#include "platform/thread_exit.h"

namespace fs = std::filesystem;

namespace {

TEST(DynamicLibrary, FindsExportsAndExplainsFailures) {
    void* library = platform_library_open("libm.so.6");
    ASSERT_NE(library, nullptr) << platform_library_error();
    auto cosine = reinterpret_cast<double (*)(double)>(platform_library_symbol(library, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(platform_library_error_code(), 0);
    EXPECT_EQ(platform_library_symbol(library, "mod_no_such_entry"), nullptr);
    EXPECT_NE(std::strstr(platform_library_error(), "mod_no_such_entry"), nullptr)
        << platform_library_error();
    EXPECT_EQ(platform_library_error_code(), ENOSYS);
    EXPECT_TRUE(platform_library_close(library));
    EXPECT_EQ(platform_library_error_code(), 0);

    EXPECT_EQ(platform_library_open("./no-such-module.so"), nullptr);
    EXPECT_NE(std::strstr(platform_library_error(), "no-such-module.so"), nullptr)
        << platform_library_error();
    EXPECT_EQ(platform_library_error_code(), ENOENT);
}

// Each kind of failed open carries its own number, so that callers need not read the text.
TEST(DynamicLibrary, ClassifiesFailedOpensByKind) {
    fs::path dir = fs::temp_directory_path() /
                   ("zel_dynlib_test_" +
                    std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::create_directories(dir);
    std::string junk = (dir / "junk.so").string();
    std::ofstream(junk) << "this is not a shared library\n";
    std::string empty = (dir / "empty.so").string();
    std::ofstream{empty};

    EXPECT_EQ(platform_library_open(junk.c_str()), nullptr);
    EXPECT_EQ(platform_library_error_code(), ENOEXEC) << platform_library_error();
    EXPECT_EQ(platform_library_open(empty.c_str()), nullptr);
    EXPECT_EQ(platform_library_error_code(), ENOEXEC) << platform_library_error();
    EXPECT_EQ(platform_library_open(dir.string().c_str()), nullptr);
    EXPECT_EQ(platform_library_error_code(), EISDIR) << platform_library_error();
    EXPECT_EQ(platform_library_open("zel_no_such_library.so"), nullptr);
    EXPECT_EQ(platform_library_error_code(), ENOENT) << platform_library_error();

    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

// A thread's own objects are released when the thread ends, each once, and not before.
struct ExitProbe {
    static inline std::atomic<int> made{0}, released{0};
    ExitProbe() { ++made; }
    ~ExitProbe() { ++released; }
};
struct OtherExitProbe;

TEST(ThreadExit, ThreadOwnedObjectsAreReleasedWhenTheThreadEnds) {
    ExitProbe::made = 0;
    ExitProbe::released = 0;
    std::thread worker([] {
        ExitProbe& first = thread_owned<ExitProbe>();
        EXPECT_EQ(&first, &thread_owned<ExitProbe>()) << "one object per thread";
        EXPECT_NE(&first, (&thread_owned<ExitProbe, OtherExitProbe>())) << "a tag makes another object";
        EXPECT_EQ(ExitProbe::released.load(), 0);
    });
    worker.join();
    EXPECT_EQ(ExitProbe::made.load(), 2);
    EXPECT_EQ(ExitProbe::released.load(), 2);
}

TEST(OsDescription, NamesTheDistributionAndTheArchitecture) {
    std::string description = platform_os_description();
    ASSERT_FALSE(description.empty());
    std::ifstream release("/etc/os-release");
    for (std::string line; std::getline(release, line);) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string pretty = line.substr(12);
        if (pretty.size() >= 2 && pretty.front() == '"')
            pretty = pretty.substr(1, pretty.size() - 2);
        EXPECT_EQ(description.rfind(pretty + " ", 0), 0u) << description;
    }
#if defined(__x86_64__)
    EXPECT_EQ(description.substr(description.size() - 6), " AMD64");
#endif
}

TEST(ComputerName, IsCutToTheBuffer) {
    char name[16];
    std::memset(name, 'x', sizeof name);
    platform_computer_name(name, sizeof name);
    EXPECT_LT(std::strlen(name), sizeof name);
    char tiny[4];
    platform_computer_name(tiny, sizeof tiny);
    EXPECT_LE(std::strlen(tiny), 3u);
    EXPECT_EQ(std::string(name).substr(0, std::strlen(tiny)), tiny);
}

// The name shows in the system's process tools; a long name is cut, not refused.
TEST(ThreadName, NamesTheCallingThreadOnly) {
    std::string named, cut, main_thread;
    auto comm_of_this_thread = [] {
        std::ifstream comm("/proc/thread-self/comm");
        std::string line;
        std::getline(comm, line);
        return line;
    };
    std::thread([&] {
        platform_name_current_thread("zel database 3");
        named = comm_of_this_thread();
        platform_name_current_thread("zel a name longer than the system keeps");
        cut = comm_of_this_thread();
    }).join();
    main_thread = comm_of_this_thread();
    EXPECT_EQ(named, "zel database 3");
    EXPECT_EQ(cut, "zel a name long");
    EXPECT_NE(main_thread, "zel database 3");
}

TEST(MakeDirectory, MakesOneLevelOnly) {
    fs::path base = fs::temp_directory_path() / "zel-mkdir-test";
    fs::remove_all(base);
    EXPECT_FALSE(platform_make_directory((base / "a" / "b").c_str()));
    EXPECT_TRUE(platform_make_directory(base.c_str()));
    EXPECT_TRUE(fs::is_directory(base));
    EXPECT_FALSE(platform_make_directory(base.c_str()));  // exists already
    fs::remove_all(base);
}

}  // namespace
