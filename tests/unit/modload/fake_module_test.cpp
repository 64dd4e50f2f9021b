// The recording test module, loaded through the real loader: every slot reaches its own
// entry point, scripted answers come back as scripted, lost connections and reconnects
// behave as the database threads expect, and four threads can use it at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fake_module_control.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/modload/module_loader.h"

namespace {

class FakeModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_config.silent = 1;
        fake_reset();
        ASSERT_EQ(1, load_module(ZEL_FAKE_MODULE_PATH));
        for (int i = 0; i < 4; ++i)
            conn_[i] = g_module.mod_create(g_config.module_params());
    }
    void TearDown() override {
        unload_module();
        fake_reset();
    }

    DbConnection* conn_[4] = {};
};

std::vector<std::string> entries() {
    std::vector<std::string> names;
    for (const FakeCall& call : fake_calls())
        names.push_back(call.entry);
    return names;
}

TEST_F(FakeModuleTest, EverySlotReachesItsOwnEntryPoint) {
    // The loader's mod_init and the four creates were recorded by the copy the test linked.
    EXPECT_EQ(1u, fake_count("mod_init"));
    EXPECT_EQ(4u, fake_count("mod_create"));
    EXPECT_EQ(conn_[2], fake_connection(3));
    EXPECT_EQ(g_config.module_params(), fake_params(1));
    fake_clear_calls();

    DbConnection* c = conn_[0];
    int32_t status = 0;
    char buffer[ZEL_COLUMN_TEXT_SIZE];
    ServerInfo info{};
    fake_set_databaseinfo({{"t", "c", "int", std::nullopt, 1, 0}});
    g_module.mod_init();
    g_module.mod_exit();
    g_module.mod_connect(c);
    g_module.mod_disconnect(c);
    g_module.mod_getlasterror(c);
    g_module.mod_geterrorstring(c);
    g_module.mod_executesql(c, "S");
    g_module.mod_add_value(c, "v", 0);
    g_module.mod_create(nullptr);
    g_module.mod_destroy(fake_connection(5));
    g_module.mod_get_status(c);
    g_module.mod_set_status(c, 0);
    ColumnInfo* columns = g_module.mod_get_databaseinfo(c);
    g_module.mod_querysql(c, "Q", &status);
    g_module.mod_freeresult(c);
    g_module.mod_free_databaseinfo(columns);
    g_module.mod_add_column(c, buffer, "c", "int", nullptr, 1, 0, ZEL_COLUMN_RENDER);
    g_module.mod_get_info(c, &info, sizeof info);
    g_module.mod_reconnect(c);
    free(info.version);
    free(info.transaction_start);

    const std::vector<std::string> expected = {"mod_init",
                                               "mod_exit",
                                               "mod_connect",
                                               "mod_disconnect",
                                               "mod_getlasterror",
                                               "mod_geterrorstring",
                                               "mod_executesql",
                                               "mod_add_value",
                                               "mod_create",
                                               "mod_destroy",
                                               "mod_get_status",
                                               "mod_set_status",
                                               "mod_get_databaseinfo",
                                               "mod_querysql",
                                               "mod_freeresult",
                                               "mod_free_databaseinfo",
                                               "mod_add_column",
                                               "mod_get_info",
                                               "mod_reconnect"};
    EXPECT_EQ(expected, entries());
    EXPECT_EQ(0, fake_open_databaseinfos());
}

TEST_F(FakeModuleTest, StatementsGetTheirScriptedAnswers) {
    fake_on_statement("UPDATE quotes", FakeResult{0});
    fake_on_statement("INSERT INTO trades",
                      FakeResult{ZEL_RESULT_FAILED, false, {}, "duplicate key", 23505}, 1);
    fake_on_statement("^DELETE FROM [a-z]+ WHERE", FakeResult{3}, -1, FakeMatch::Regex);
    fake_on_statement("COMMIT", FakeResult{ZEL_RESULT_RERUN}, -1, FakeMatch::Exact, 2);
    fake_on_call(1, 5, FakeResult{ZEL_RESULT_REJECTED, false, {}, "fifth statement"});
    fake_set_default_rows(1);

    DbConnection* c = conn_[0];
    EXPECT_EQ(0, g_module.mod_executesql(c, "UPDATE quotes SET bid=1 WHERE insref=7"));
    EXPECT_EQ(ZEL_RESULT_FAILED, g_module.mod_executesql(c, "INSERT INTO trades VALUES (1)"));
    EXPECT_STREQ("duplicate key", g_module.mod_geterrorstring(c));
    EXPECT_EQ(23505, g_module.mod_getlasterror(c));
    EXPECT_EQ(1,
              g_module.mod_executesql(c, "INSERT INTO trades VALUES (1)"));  // the rule was used up
    EXPECT_EQ(3, g_module.mod_executesql(c, "DELETE FROM ob WHERE insref=7"));
    // Statement 5 of connection 1, whatever its text.
    EXPECT_EQ(ZEL_RESULT_REJECTED, g_module.mod_executesql(c, "UPDATE quotes SET ask=2"));
    EXPECT_STREQ("fifth statement", g_module.mod_geterrorstring(c));
    EXPECT_EQ(1, g_module.mod_executesql(c, "COMMIT"));  // the rule is for connection 2
    EXPECT_EQ(ZEL_RESULT_RERUN, g_module.mod_executesql(conn_[1], "COMMIT"));
    EXPECT_EQ(1, g_module.mod_executesql(conn_[1], "COMMIT "));
    EXPECT_EQ(ZEL_RESULT_FAILED, g_module.mod_executesql(nullptr, "COMMIT"));

    const std::vector<std::string> on_first = {"UPDATE quotes SET bid=1 WHERE insref=7",
                                               "INSERT INTO trades VALUES (1)",
                                               "INSERT INTO trades VALUES (1)",
                                               "DELETE FROM ob WHERE insref=7",
                                               "UPDATE quotes SET ask=2",
                                               "COMMIT"};
    EXPECT_EQ(on_first, fake_statements(1));
    EXPECT_EQ(2u, fake_statements(2).size());
    EXPECT_EQ(9u, fake_statements().size());
    EXPECT_EQ(0, fake_calls().back().connection);
}

TEST_F(FakeModuleTest, ALostConnectionStaysLostUntilAReconnectSucceeds) {
    FakeResult lost;
    lost.lose_connection = true;
    lost.error_text = "server closed the connection";
    fake_on_statement("INSERT", lost, 1);
    fake_fail_reconnects(2);

    DbConnection* c = conn_[1];
    g_module.mod_connect(c);
    EXPECT_EQ(ZEL_RESULT_LOST, g_module.mod_executesql(c, "INSERT INTO t VALUES (1)"));
    EXPECT_EQ(ZEL_STATUS_RECONNECTING, g_module.mod_get_status(c));
    EXPECT_STREQ("server closed the connection", g_module.mod_geterrorstring(c));
    EXPECT_FALSE(fake_connected(2));
    EXPECT_EQ(ZEL_RESULT_LOST, g_module.mod_executesql(c, "UPDATE t SET a=1"));
    int32_t status = 0;
    EXPECT_EQ(nullptr, g_module.mod_querysql(c, "SELECT 1", &status));
    EXPECT_EQ(ZEL_RESULT_LOST, status);
    // Other connections are not affected.
    EXPECT_EQ(1, g_module.mod_executesql(conn_[0], "UPDATE t SET a=1"));

    g_module.mod_reconnect(c);
    EXPECT_EQ(3, fake_reconnect_attempts(2));
    EXPECT_EQ(ZEL_STATUS_CONNECTED, g_module.mod_get_status(c));
    EXPECT_TRUE(fake_connected(2));
    EXPECT_EQ(1, g_module.mod_executesql(c, "INSERT INTO t VALUES (1)"));
}

TEST_F(FakeModuleTest, AStopRequestEndsTheReconnectLoopAndStays) {
    FakeResult lost;
    lost.lose_connection = true;
    fake_on_statement("INSERT", lost);
    fake_fail_reconnects(1000000);
    fake_set_reconnect_wait_ms(1);
    DbConnection* c = conn_[2];
    EXPECT_EQ(ZEL_RESULT_LOST, g_module.mod_executesql(c, "INSERT INTO t VALUES (1)"));

    std::atomic<bool> returned{false};
    std::thread worker([&] {
        g_module.mod_reconnect(c);
        returned = true;
    });
    while (fake_reconnect_attempts(3) < 3)
        std::this_thread::yield();
    EXPECT_FALSE(returned.load());
    g_module.mod_set_status(c, ZEL_STATUS_STOP);
    worker.join();
    EXPECT_EQ(ZEL_STATUS_STOP, g_module.mod_get_status(c));

    // Once stopped, a reconnect returns without an attempt.
    int attempts = fake_reconnect_attempts(3);
    g_module.mod_reconnect(c);
    EXPECT_EQ(attempts, fake_reconnect_attempts(3));
    EXPECT_EQ(ZEL_STATUS_STOP, g_module.mod_get_status(c));
    // A lost connection while stopping keeps the stop.
    EXPECT_EQ(ZEL_RESULT_LOST, g_module.mod_executesql(conn_[3], "INSERT INTO t VALUES (2)"));
    EXPECT_EQ(ZEL_STATUS_RECONNECTING, g_module.mod_get_status(conn_[3]));
    g_module.mod_set_status(conn_[0], ZEL_STATUS_STOP);
    EXPECT_EQ(ZEL_RESULT_LOST, g_module.mod_executesql(conn_[0], "INSERT INTO t VALUES (3)"));
    EXPECT_EQ(ZEL_STATUS_STOP, g_module.mod_get_status(conn_[0]));
}

TEST_F(FakeModuleTest, QueriesReturnRowMajorListsOwnedByTheConnection) {
    FakeResult rows;
    rows.code = 0;
    rows.rows = {{"1", "a"}, {"2", std::nullopt}};
    fake_on_statement("SELECT insref, name", rows);
    int32_t status = -9;
    DbConnection* c = conn_[0];
    ResultValue* first = g_module.mod_querysql(c, "SELECT insref, name FROM basic", &status);
    EXPECT_EQ(0, status);
    std::vector<std::string> values;
    for (ResultValue* node = first; node != nullptr; node = node->next)
        values.push_back(node->value != nullptr ? node->value : "<null>");
    EXPECT_EQ((std::vector<std::string>{"1", "a", "2", "<null>"}), values);
    EXPECT_EQ(1, fake_open_results());
    g_module.mod_freeresult(c);
    EXPECT_EQ(0, fake_open_results());

    EXPECT_EQ(nullptr, g_module.mod_querysql(c, "SELECT other", &status));
    EXPECT_EQ(0, status);
    fake_on_statement("SELECT broken",
                      FakeResult{ZEL_RESULT_REJECTED, false, {}, "syntax error", 42601});
    EXPECT_EQ(nullptr, g_module.mod_querysql(c, "SELECT broken", &status));
    EXPECT_EQ(ZEL_RESULT_REJECTED, status);
    EXPECT_EQ(42601, g_module.mod_getlasterror(c));
    EXPECT_EQ(nullptr, g_module.mod_querysql(nullptr, "SELECT 1", &status));
    EXPECT_EQ(ZEL_RESULT_FAILED, status);
}

// A result that is not handed back stays, and the next query's rows are appended to it, as
// a real module that reads into one list does: a caller that misses a free reads old rows.
TEST_F(FakeModuleTest, AResultNotHandedBackCollectsTheNextQuerysRows) {
    FakeResult first;
    first.code = 0;
    first.rows = {{"1"}};
    fake_on_statement("SELECT a", first);
    FakeResult second;
    second.code = 0;
    second.rows = {{"2"}};
    fake_on_statement("SELECT b", second);
    int32_t status = -9;
    DbConnection* c = conn_[0];
    ASSERT_NE(nullptr, g_module.mod_querysql(c, "SELECT a", &status));
    ResultValue* both = g_module.mod_querysql(c, "SELECT b", &status);
    std::vector<std::string> values;
    for (ResultValue* node = both; node != nullptr; node = node->next)
        values.push_back(node->value);
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), values);
    // A query with no rows, or a failed one, still leaves the old list where it was.
    EXPECT_EQ(both, g_module.mod_querysql(c, "SELECT nothing", &status));
    EXPECT_EQ(1, fake_open_results());
    g_module.mod_freeresult(c);
    EXPECT_EQ(0, fake_open_results());
    ResultValue* own = g_module.mod_querysql(c, "SELECT b", &status);
    ASSERT_NE(nullptr, own);
    EXPECT_STREQ("2", own->value);
    EXPECT_EQ(nullptr, own->next);
    g_module.mod_freeresult(c);
}

TEST_F(FakeModuleTest, ValuesAreQuotedWithinTheirCharacterLimit) {
    DbConnection* c = conn_[0];
    EXPECT_STREQ("'it''s'", g_module.mod_add_value(c, "it's", 0));
    EXPECT_STREQ("'\xC3\xA9\xC3\xA8'", g_module.mod_add_value(c, "\xC3\xA9\xC3\xA8\xC3\xAA", 2));
    EXPECT_STREQ("''", g_module.mod_add_value(c, "a\xE2\x82", 2));
    EXPECT_EQ(nullptr, g_module.mod_add_value(c, nullptr, 0));
    EXPECT_EQ(nullptr, g_module.mod_add_value(nullptr, "x", 0));
}

TEST_F(FakeModuleTest, DatabaseDescriptionColumnsAndServerInformation) {
    DbConnection* c = conn_[0];
    EXPECT_EQ(nullptr, g_module.mod_get_databaseinfo(c));  // nothing scripted: a failure
    EXPECT_NE(nullptr, g_module.mod_geterrorstring(c));
    fake_set_databaseinfo({{"quotes", "bid", "decimal", std::string("18,6"), 1, 0},
                           {"quotes", "insref", "bigint", std::nullopt, 0, 1}});
    ColumnInfo* list = g_module.mod_get_databaseinfo(c);
    ASSERT_NE(nullptr, list);
    ASSERT_NE(nullptr, list->next);
    EXPECT_STREQ("bid", list->column);
    EXPECT_STREQ("18,6", list->size);
    EXPECT_EQ(list, list->next->previous);
    EXPECT_EQ(nullptr, list->next->size);
    EXPECT_EQ(1, list->next->is_unsigned);
    EXPECT_EQ(nullptr, list->next->next);
    EXPECT_EQ(1, fake_open_databaseinfos());
    g_module.mod_free_databaseinfo(list);
    EXPECT_EQ(0, fake_open_databaseinfos());
    fake_fail_databaseinfo("permission denied for schema", 42501);
    EXPECT_EQ(nullptr, g_module.mod_get_databaseinfo(c));
    EXPECT_STREQ("permission denied for schema", g_module.mod_geterrorstring(c));

    char buffer[ZEL_COLUMN_TEXT_SIZE];
    EXPECT_EQ(
        1, g_module.mod_add_column(c, buffer, nullptr, "varchar", "64", 0, 0, ZEL_COLUMN_RENDER));
    EXPECT_STREQ("varchar(64) NOT NULL", buffer);
    std::string long_type(400, 'x');
    EXPECT_EQ(1, g_module.mod_add_column(c, buffer, nullptr, long_type.c_str(), nullptr, 1, 1,
                                         ZEL_COLUMN_RENDER));
    EXPECT_EQ(ZEL_COLUMN_TEXT_SIZE - 1, strlen(buffer));
    char table[] = "quotes";
    fake_on_statement("ADD ask", FakeResult{ZEL_RESULT_FAILED, false, {}, "no rights", 1});
    EXPECT_EQ(1, g_module.mod_add_column(c, table, "bid", "int", nullptr, 1, 1, ZEL_COLUMN_ADD));
    EXPECT_EQ(0, g_module.mod_add_column(c, table, "ask", "int", nullptr, 1, 0, ZEL_COLUMN_ADD));
    EXPECT_STREQ("no rights", g_module.mod_geterrorstring(c));
    EXPECT_EQ(1,
              g_module.mod_add_column(c, table, "ask", "bigint", nullptr, 0, 0, ZEL_COLUMN_ALTER));
    std::vector<std::string> changes;
    for (const FakeCall& call : fake_calls()) {
        if (call.entry == "mod_add_column" && call.text.rfind("ALTER", 0) == 0)
            changes.push_back(call.text);
    }
    EXPECT_EQ((std::vector<std::string>{"ALTER TABLE quotes ADD bid int UNSIGNED NULL",
                                        "ALTER TABLE quotes ADD ask int NULL",
                                        "ALTER TABLE quotes MODIFY ask bigint NOT NULL"}),
              changes);

    fake_set_info(1, std::string("PostgreSQL 15.8"), std::nullopt, 150008);
    ServerInfo info{};
    EXPECT_EQ(1, g_module.mod_get_info(c, &info, sizeof info));
    EXPECT_STREQ("PostgreSQL 15.8", info.version);
    EXPECT_EQ(nullptr, info.transaction_start);
    EXPECT_EQ(150008u, g_config.server_version);
    free(info.version);
    EXPECT_EQ(-1, g_module.mod_get_info(c, &info, 8));
    fake_set_info(-1, std::nullopt, std::nullopt);
    EXPECT_EQ(-1, g_module.mod_get_info(c, &info, sizeof info));
    g_config.server_version = 0;
}

TEST_F(FakeModuleTest, ConnectFailuresCarryTheirText) {
    fake_fail_connect(3, "password authentication failed", 28000);
    EXPECT_EQ(1, g_module.mod_connect(conn_[0]));
    EXPECT_EQ(0, g_module.mod_connect(conn_[2]));
    EXPECT_STREQ("password authentication failed", g_module.mod_geterrorstring(conn_[2]));
    EXPECT_EQ(28000, g_module.mod_getlasterror(conn_[2]));
    EXPECT_EQ(1, g_module.mod_connect(conn_[2]));               // once only
    EXPECT_EQ(nullptr, g_module.mod_geterrorstring(conn_[2]));  // a connect clears the error
    EXPECT_TRUE(fake_connected(3));
    EXPECT_EQ(0, g_module.mod_connect(nullptr));
}

TEST_F(FakeModuleTest, FourThreadsAtOnceKeepEachConnectionsOrder) {
    constexpr int kStatements = 2000;
    fake_on_statement("slow", FakeResult{1, false, {}, "", 0, 1});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kStatements; ++i) {
                std::string statement = "UPDATE t" + std::to_string(t) +
                                        " SET n=" + std::to_string(i) +
                                        (i % 500 == 0 ? " slow" : "");
                g_module.mod_executesql(conn_[t], statement.c_str());
                g_module.mod_add_value(conn_[t], "x", 0);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(4u * kStatements, fake_statements().size());
    for (int t = 0; t < 4; ++t) {
        std::vector<std::string> own = fake_statements(t + 1);
        ASSERT_EQ(static_cast<size_t>(kStatements), own.size());
        for (int i = 0; i < kStatements; ++i)
            ASSERT_EQ(0u, own[static_cast<size_t>(i)].rfind(
                              "UPDATE t" + std::to_string(t) + " SET n=" + std::to_string(i), 0));
    }
}

}  // namespace
