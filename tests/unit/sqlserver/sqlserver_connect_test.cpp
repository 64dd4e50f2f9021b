// sqlserver_connect_test.cpp - the SQL Server module's connection life: the provider
// chosen from registry keys, the connection string, connect failures and their codes,
// the session settings, reconnect with a stop request, and COM made ready on every
// calling thread.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/unit/sqlserver/sqlserver_fixture.h"

using standin::script;

namespace {

const std::string kRoot = "SOFTWARE\\Microsoft\\Microsoft SQL Server\\";

}  // namespace

TEST_F(SqlServerTest, TrustedConnectionWithTheOnlyInstalledProvider) {
    add_key(kRoot + "SQLNCLI11\\CurrentVersion");
    connect();
    ASSERT_EQ(script().opened.size(), 1u);
    EXPECT_EQ(script().opened[0],
              "Provider=SQLNCLI11;Data Source=SQL01;Initial Catalog=quotes;Trusted_Connection=Yes;");
}

TEST_F(SqlServerTest, NewestProviderWinsAndEachConnectProbesAgain) {
    struct Step {
        std::string key;
        const char* provider;
    };
    // Keys are added oldest first; after each, the newest present must be chosen.
    const Step steps[] = {
        {"", "SQLOLEDB"},
        {"SOFTWARE\\Microsoft\\Microsoft SQL Native Client\\CurrentVersion\\CurrentVersion", "SQLNCLI"},
        {kRoot + "SQLNCLI10\\CurrentVersion", "SQLNCLI10"},
        {kRoot + "SQLNCLI12\\CurrentVersion", "SQLNCLI12"},
        {kRoot + "SQLNCLI11\\CurrentVersion", "SQLNCLI12"},
        {kRoot + "SQLNCLI13\\CurrentVersion", "SQLNCLI13"},
        {kRoot + "MSOLEDBSQL\\CurrentVersion", "MSOLEDBSQL"},
    };
    for (const Step& step : steps) {
        if (!step.key.empty()) add_key(step.key);
        connect();
        EXPECT_EQ(script().opened.back().substr(0, script().opened.back().find(';')),
                  std::string("Provider=") + step.provider)
            << "after adding " << step.key;
    }
    // A key of another product, or a provider key without CurrentVersion, is not a provider.
    std::remove(registry_.c_str());
    add_key(kRoot + "MSOLEDBSQL");
    add_key("SOFTWARE\\Microsoft\\Microsoft SQL Server\\SQLNCLI14\\CurrentVersion");
    connect();
    EXPECT_EQ(script().opened.back().rfind("Provider=SQLOLEDB;", 0), 0u) << script().opened.back();
}

TEST_F(SqlServerTest, ServerTextWithItsOwnProviderAndCatalogGetsOnlyWhatIsMissing) {
    char server[] = "db1;Provider=MSOLEDBSQL;Initial Catalog=prices";
    char user[] = "feed";
    char password[] = "s3cret";
    params_.db_server = server;
    params_.db_username = user;
    params_.db_password = password;
    add_key(kRoot + "SQLNCLI11\\CurrentVersion");
    connect();
    EXPECT_EQ(script().opened.back(),
              "Data Source=db1;Provider=MSOLEDBSQL;Initial Catalog=prices;uid=feed;pwd=s3cret;");

    char with_source[] = "Provider=SQLOLEDB;Data Source=db1;Initial Catalog=prices;";
    params_.db_server = with_source;
    params_.db_password = nullptr;  // a user without a password logs on as the process
    connect();
    EXPECT_EQ(script().opened.back(), "Provider=SQLOLEDB;Data Source=db1;Initial Catalog=prices;Trusted_Connection=Yes;");

    char complete[] = "Provider=MSDASQL;Data Source=zeltest;";
    params_.connectionstring = complete;
    connect();
    EXPECT_EQ(script().opened.back(), complete);
}

TEST_F(SqlServerTest, FailedConnectKeepsTheProviderErrorNumber) {
    script().open_failures.push_back(error(0x80040E4D, "Login failed for user 'feed'."));
    EXPECT_EQ(mod_connect(conn_), -1);
    EXPECT_EQ(error_text(), "Login failed for user 'feed'.");
    EXPECT_EQ(mod_getlasterror(conn_), 0xE4D - 0x200);
    EXPECT_EQ(mod_get_status(conn_), ZEL_STATUS_RECONNECTING);

    // Outside the provider's range there is no number; without an error object, a text.
    script().open_failures.push_back(error(0x80004005));
    EXPECT_EQ(mod_connect(conn_), -1);
    EXPECT_EQ(error_text(), "Unknown connection error");
    EXPECT_EQ(mod_getlasterror(conn_), -1);

    // An object that cannot be made fails the connect the same way; the next one succeeds
    // and clears the error and the status.
    script().create_fails = true;
    script().create_error = error(0x80040154);  // class not registered
    EXPECT_EQ(mod_connect(conn_), -1);
    EXPECT_EQ(mod_getlasterror(conn_), -1);
    EXPECT_EQ(mod_executesql(conn_, "UPDATE t SET a=1"), ZEL_RESULT_LOST);
    script().create_fails = false;
    connect();
    EXPECT_EQ(mod_get_status(conn_), ZEL_STATUS_CONNECTED);
    EXPECT_EQ(mod_geterrorstring(conn_), nullptr);
}

TEST_F(SqlServerTest, SessionSettingFailuresAreKeptAsTheErrorText) {
    connect();
    EXPECT_EQ(script().executed, (std::vector<std::string>{"SET NOCOUNT OFF", "SET XACT_ABORT OFF"}));
    EXPECT_EQ(mod_geterrorstring(conn_), nullptr) << "a clean connect leaves no error";

    script().executes["SET NOCOUNT OFF"] = {true, error(0x80040E14, "Incorrect syntax near 'NOCOUNT'."), 0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(mod_connect(conn_), 1) << "a failed setting does not fail the connect";
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "SET NOCOUNT OFF failed: Incorrect syntax near 'NOCOUNT'.\n");
    EXPECT_EQ(error_text(), "SET NOCOUNT OFF failed: Incorrect syntax near 'NOCOUNT'.");
    EXPECT_EQ(mod_getlasterror(conn_), static_cast<int32_t>(0x80040E14));

    script().executes["SET XACT_ABORT OFF"] = {true, error(0x80004005), 0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(mod_connect(conn_), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(error_text(), "SET NOCOUNT OFF failed: Incorrect syntax near 'NOCOUNT'.; "
                            "SET XACT_ABORT OFF failed: Unknown error in execute");
}

TEST_F(SqlServerTest, ReconnectRetriesWithTheStoredStringAndTheSameObject) {
    connect();
    script().executed.clear();
    script().open_failures.push_back(error(0x80004005, "Communication link failure"));
    mod_reconnect(conn_);
    EXPECT_EQ(mod_get_status(conn_), ZEL_STATUS_CONNECTED);
    EXPECT_EQ(script().connections_created, 1) << "reconnect reuses the object";
    ASSERT_EQ(script().opened.size(), 3u);
    EXPECT_EQ(script().opened[2], script().opened[0]);
    EXPECT_EQ(script().closes, 1) << "the open connection is closed before the first attempt";
    EXPECT_EQ(script().executed, std::vector<std::string>{"SET NOCOUNT OFF"});
}

TEST_F(SqlServerTest, StopRequestEndsTheReconnectLoopAfterTheCurrentAttempt) {
    connect();
    mod_set_status(conn_, ZEL_STATUS_STOP);
    size_t opens = script().opened.size();
    mod_reconnect(conn_);
    EXPECT_EQ(script().opened.size(), opens) << "a stopped connection is not retried";

    mod_set_status(conn_, ZEL_STATUS_CONNECTED);
    for (int i = 0; i < 10; ++i) script().open_failures.push_back(error(0x80004005));
    int attempts = 0;
    script().on_open = [&] {
        if (++attempts == 2) mod_set_status(conn_, ZEL_STATUS_STOP);
    };
    mod_reconnect(conn_);
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(mod_get_status(conn_), ZEL_STATUS_STOP);
    EXPECT_EQ(error_text(), "Unknown reconnect error");

    // A stop arriving while the attempt that succeeds is under way is not overwritten.
    script().open_failures.clear();
    mod_set_status(conn_, ZEL_STATUS_RECONNECTING);
    script().on_open = [&] { mod_set_status(conn_, ZEL_STATUS_STOP); };
    mod_reconnect(conn_);
    EXPECT_EQ(mod_get_status(conn_), ZEL_STATUS_STOP);
}

TEST_F(SqlServerTest, EveryCallingThreadIsMadeReadyOnce) {
    connect();  // on this thread, ready since mod_init
    EXPECT_TRUE(script().thread_inits.empty());
    auto work = [&](int32_t* result, int32_t* status) {
        *result = mod_executesql(conn_, "UPDATE t SET a=1");
        script().queries["SELECT 1"] = {};
        mod_querysql(conn_, "SELECT 1", status);
        mod_freeresult(conn_);
        *result += mod_executesql(conn_, "UPDATE t SET a=2");
    };
    int32_t result = 0;
    int32_t status = -9;
    std::thread first(work, &result, &status);
    first.join();
    EXPECT_EQ(result, 2) << "both statements ran on the database thread";
    EXPECT_EQ(status, 0);
    std::thread second(work, &result, &status);
    second.join();
    EXPECT_EQ(result, 2);
    ASSERT_EQ(script().thread_inits.size(), 2u);
    for (const auto& [thread, count] : script().thread_inits) EXPECT_EQ(count, 1) << thread;

    // A thread where COM cannot be made ready fails its calls with the reason.
    script().init_thread_result = static_cast<int32_t>(0x8007000E);
    std::thread third([&] { result = mod_executesql(conn_, "UPDATE t SET a=3"); });
    third.join();
    EXPECT_EQ(result, ZEL_RESULT_REJECTED);
    EXPECT_EQ(mod_getlasterror(conn_), static_cast<int32_t>(0x8007000E));
    EXPECT_NE(error_text().find("COM could not be initialised"), std::string::npos);
}

TEST(SqlServerModule, InitFailureAndNullConnections) {
    standin::script().reset();
    standin::script().init_process_result = static_cast<int32_t>(0x80010106);
    EXPECT_EQ(mod_init(), -1);
    standin::script().reset();
    EXPECT_EQ(mod_exit(), 1);

    EXPECT_EQ(mod_connect(nullptr), 0);
    EXPECT_EQ(mod_disconnect(nullptr), 0);
    EXPECT_EQ(mod_destroy(nullptr), -1);
    EXPECT_EQ(mod_getlasterror(nullptr), -1);
    EXPECT_EQ(mod_geterrorstring(nullptr), nullptr);
    EXPECT_EQ(mod_get_status(nullptr), 0);
    mod_set_status(nullptr, 2);
    mod_reconnect(nullptr);
    EXPECT_EQ(mod_executesql(nullptr, "SELECT 1"), -1);
    int32_t status = 0;
    EXPECT_EQ(mod_querysql(nullptr, "SELECT 1", &status), nullptr);
    EXPECT_LT(status, 0);
    mod_freeresult(nullptr);
    EXPECT_EQ(mod_add_value(nullptr, "x", 0), nullptr);
    char buffer[ZEL_COLUMN_TEXT_SIZE];
    EXPECT_EQ(mod_add_column(nullptr, buffer, "c", "int", nullptr, 1, 0, ZEL_COLUMN_RENDER), 0);
    ServerInfo info{};
    EXPECT_EQ(mod_get_info(nullptr, &info, sizeof info), -1);
    EXPECT_EQ(mod_get_databaseinfo(nullptr), nullptr);
    mod_free_databaseinfo(nullptr);
}
