// The module loader: its failure messages, in the order the names are looked up, and a
// real module (dbdrv_null) reached through every slot of the DbModule table.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/modload/module_loader.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::pair<int, std::string>>;

class ModuleLoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_config.silent = 1;
        log_set_observer(
            [](int level, const char* text, void* context) {
                static_cast<Lines*>(context)->emplace_back(level, text);
            },
            &logged_);
        dir_ = fs::temp_directory_path() /
               ("zel_modload_test_" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        unload_module();
        log_set_observer(nullptr, nullptr);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string first_line() const {
        return logged_.empty() ? std::string() : logged_.front().second;
    }

    static bool all_slots_empty() {
        DbModule empty{};
        return std::memcmp(&g_module, &empty, sizeof empty) == 0;
    }

    Lines logged_;
    fs::path dir_;
};

// The loader's messages all end in "<file>, error:<number>".
std::string message(const std::string& head, const std::string& file, int error) {
    return head + file + ", error:" + std::to_string(error);
}

TEST_F(ModuleLoaderTest, NullModuleAnswersThroughEverySlot) {
    ASSERT_EQ(1, load_module(ZEL_NULL_MODULE_PATH));
    EXPECT_TRUE(logged_.empty());
    EXPECT_TRUE(module_loaded());

    DbConnection* conn = g_module.mod_create(g_config.module_params());
    ASSERT_NE(nullptr, conn);
    EXPECT_EQ(conn, g_module.mod_create(g_config.module_params()));
    EXPECT_EQ(1, g_module.mod_connect(conn));
    EXPECT_EQ(0, g_module.mod_connect(nullptr));
    EXPECT_EQ(1, g_module.mod_executesql(conn, "UPDATE x SET y=1"));
    EXPECT_EQ(-1, g_module.mod_executesql(nullptr, "UPDATE x SET y=1"));
    EXPECT_EQ(0, g_module.mod_getlasterror(conn));
    EXPECT_EQ(-1, g_module.mod_getlasterror(nullptr));
    EXPECT_EQ(nullptr, g_module.mod_geterrorstring(conn));
    EXPECT_STREQ("", g_module.mod_add_value(conn, "abc", 0));
    EXPECT_EQ(nullptr, g_module.mod_add_value(nullptr, "abc", 0));
    int32_t status = 7;
    EXPECT_EQ(nullptr, g_module.mod_querysql(conn, "SELECT 1", &status));
    EXPECT_EQ(0, status);
    g_module.mod_freeresult(conn);
    g_module.mod_set_status(conn, 0x102);
    EXPECT_EQ(2, g_module.mod_get_status(conn));
    g_module.mod_set_status(conn, 0);
    EXPECT_EQ(0, g_module.mod_get_status(conn));
    g_module.mod_reconnect(conn);
    EXPECT_EQ(nullptr, g_module.mod_get_databaseinfo(conn));
    g_module.mod_free_databaseinfo(nullptr);
    char buffer[ZEL_COLUMN_TEXT_SIZE] = "untouched";
    EXPECT_EQ(1,
              g_module.mod_add_column(conn, buffer, "c", "int", nullptr, 1, 0, ZEL_COLUMN_RENDER));
    EXPECT_EQ(
        0, g_module.mod_add_column(nullptr, buffer, "c", "int", nullptr, 1, 0, ZEL_COLUMN_RENDER));
    EXPECT_STREQ("untouched", buffer);
    ServerInfo info{};
    EXPECT_EQ(-1, g_module.mod_get_info(conn, &info, sizeof info));
    EXPECT_EQ(1, g_module.mod_disconnect(conn));
    EXPECT_EQ(1, g_module.mod_destroy(conn));
    EXPECT_EQ(1, g_module.mod_exit());

    unload_module();
    EXPECT_FALSE(module_loaded());
    EXPECT_TRUE(all_slots_empty());
}

// A library planted in the working directory under a module's bare name is never loaded:
// the bare name goes to the system's search only, and a path reaches the file.
TEST_F(ModuleLoaderTest, ABareNameIsNotTakenFromTheCurrentDirectory) {
    fs::copy_file(ZEL_NULL_MODULE_PATH, dir_ / "zel_planted_module.so");
    fs::path previous = fs::current_path();
    fs::current_path(dir_);
    int bare = load_module("zel_planted_module.so");
    Lines bare_lines = logged_;
    unload_module();
    int pathed = load_module("./zel_planted_module.so");
    fs::current_path(previous);
    EXPECT_EQ(-1, bare);
    ASSERT_FALSE(bare_lines.empty());
    EXPECT_EQ(message("Failed to open modulefile: ", "zel_planted_module.so", ENOENT),
              bare_lines.front().second);
    EXPECT_NE(std::string::npos, bare_lines.back().second.find("./zel_planted_module.so"));
    EXPECT_EQ(1, pathed) << first_line();
}

TEST_F(ModuleLoaderTest, AFileThatCannotBeOpenedIsReportedAsSuch) {
    std::string missing = (dir_ / "missing.so").string();
    EXPECT_EQ(-1, load_module(missing.c_str()));
    ASSERT_EQ(2u, logged_.size());
    EXPECT_EQ(LOG_LEVEL_ERROR, logged_[0].first);
    EXPECT_EQ(message("Failed to open modulefile: ", missing, ENOENT), logged_[0].second);
    EXPECT_NE(std::string::npos, logged_[1].second.find(std::strerror(ENOENT)));
    EXPECT_FALSE(module_loaded());

    // A bare name that is neither here nor on the system's search path.
    logged_.clear();
    EXPECT_EQ(-1, load_module("zel_no_such_module.so"));
    EXPECT_EQ(message("Failed to open modulefile: ", "zel_no_such_module.so", ENOENT),
              first_line());

    logged_.clear();
    EXPECT_EQ(-1, load_module(""));
    EXPECT_EQ(LOG_LEVEL_ERROR, logged_.at(0).first);
    EXPECT_FALSE(module_loaded());
}

TEST_F(ModuleLoaderTest, AFileThatIsNoLibraryFailsToLoad) {
    std::string junk = (dir_ / "junk.so").string();
    std::ofstream(junk) << "this is not a shared library\n";
    EXPECT_EQ(-1, load_module(junk.c_str()));
    ASSERT_EQ(2u, logged_.size());
    EXPECT_EQ(message("Failed to load modulefile: ", junk, ENOEXEC), logged_[0].second);
    EXPECT_NE(std::string::npos, logged_[1].second.find(junk));
    EXPECT_FALSE(module_loaded());

    logged_.clear();
    std::string directory = dir_.string();
    EXPECT_EQ(-1, load_module(directory.c_str()));
    EXPECT_EQ(message("Failed to load modulefile: ", directory, EISDIR), first_line());
}

TEST_F(ModuleLoaderTest, AMissingReconnectIsReportedAfterEveryOtherNameWasFound) {
    EXPECT_EQ(-1, load_module(ZEL_FAKE_NO_RECONNECT_PATH));
    ASSERT_FALSE(logged_.empty());
    EXPECT_EQ(LOG_LEVEL_ERROR, logged_[0].first);
    EXPECT_EQ(
        message("Failed to find reconnect in modulefile: ", ZEL_FAKE_NO_RECONNECT_PATH, ENOSYS),
        logged_[0].second);
    for (const auto& line : logged_)
        EXPECT_EQ(std::string::npos, line.second.find("Failed to find function")) << line.second;
    // The library stays open but nothing is bound.
    EXPECT_TRUE(module_loaded());
    EXPECT_TRUE(all_slots_empty());
}

TEST_F(ModuleLoaderTest, AMissingFunctionIsNamedWithoutItsPrefix) {
    EXPECT_EQ(-1, load_module(ZEL_FAKE_NO_FREE_DATABASEINFO_PATH));
    EXPECT_EQ(message("Failed to find function free_databaseinfo in modulefile: ",
                      ZEL_FAKE_NO_FREE_DATABASEINFO_PATH, ENOSYS),
              first_line());
    EXPECT_TRUE(all_slots_empty());
}

TEST_F(ModuleLoaderTest, AModuleWhoseInitFailsIsRejected) {
    EXPECT_EQ(-1, load_module(ZEL_FAKE_INIT_FAILS_PATH));
    ASSERT_EQ(1u, logged_.size());
    EXPECT_EQ(LOG_LEVEL_ERROR, logged_[0].first);
    EXPECT_EQ("Error initializing module, mod_init() failed", logged_[0].second);
    EXPECT_TRUE(all_slots_empty());
    unload_module();
    EXPECT_FALSE(module_loaded());
}

TEST_F(ModuleLoaderTest, ASecondLoadIsRefusedAndKeepsTheFirstModule) {
    ASSERT_EQ(1, load_module(ZEL_NULL_MODULE_PATH));
    mod_executesql_fn bound = g_module.mod_executesql;
    EXPECT_EQ(-1, load_module(ZEL_FAKE_INIT_FAILS_PATH));
    EXPECT_EQ(LOG_LEVEL_ERROR, logged_.at(0).first);
    EXPECT_EQ(bound, g_module.mod_executesql);
    EXPECT_EQ(1, g_module.mod_executesql(g_module.mod_create(nullptr), "x"));
}

}  // namespace

// The batch entry point is optional: a module without it loads with all 19 bound and the
// batch slot empty; one with it has it bound; unloading empties it again.
TEST_F(ModuleLoaderTest, TheBatchEntryPointIsBoundWhenPresentAndOptionalOtherwise) {
    ASSERT_EQ(1, load_module(ZEL_FAKE_NO_EXECUTEBATCH_PATH));
    EXPECT_NE(nullptr, g_module.mod_executesql);
    EXPECT_NE(nullptr, g_module.mod_reconnect);
    EXPECT_EQ(nullptr, g_module_executebatch);
    EXPECT_TRUE(logged_.empty()) << first_line();
    g_module.mod_exit();
    unload_module();

    ASSERT_EQ(1, load_module(ZEL_FAKE_MODULE_PATH));
    EXPECT_NE(nullptr, g_module_executebatch);
    g_module.mod_exit();
    unload_module();
    EXPECT_EQ(nullptr, g_module_executebatch);
}
