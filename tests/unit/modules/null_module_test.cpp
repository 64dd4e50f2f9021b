// The null module, row by row of its behaviour table, linked directly; and the module
// header's layout as C sees it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

#include "zel_module.h"

extern "C" size_t zel_c_layout(int which);
extern "C" int zel_c_constant(int which);

namespace {

DbConnection* const kNull = nullptr;

TEST(NullModule, CreateHandsOutOneConstantHandle) {
    ZelModuleParams params{};
    DbConnection* first = mod_create(&params);
    DbConnection* second = mod_create(nullptr);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(first, second);
    EXPECT_EQ(1, mod_init());
    EXPECT_EQ(1, mod_exit());
    EXPECT_EQ(1, mod_destroy(first));
    EXPECT_EQ(1, mod_destroy(kNull));
}

TEST(NullModule, ConnectionCallsSucceedForAHandleAndFailForNull) {
    DbConnection* conn = mod_create(nullptr);
    EXPECT_EQ(1, mod_connect(conn));
    EXPECT_EQ(0, mod_connect(kNull));
    EXPECT_EQ(1, mod_disconnect(conn));
    EXPECT_EQ(0, mod_disconnect(kNull));
    mod_reconnect(conn);
    mod_reconnect(kNull);
    EXPECT_EQ(0, mod_getlasterror(conn));
    EXPECT_EQ(-1, mod_getlasterror(kNull));
    EXPECT_EQ(nullptr, mod_geterrorstring(conn));
    EXPECT_EQ(nullptr, mod_geterrorstring(kNull));
}

TEST(NullModule, StatementsReportOneRowAndQueriesNoRows) {
    DbConnection* conn = mod_create(nullptr);
    EXPECT_EQ(1, mod_executesql(conn, "UPDATE t SET a=1 WHERE b=2"));
    EXPECT_EQ(1, mod_executesql(conn, nullptr));
    EXPECT_EQ(-1, mod_executesql(kNull, "DELETE FROM t"));
    int32_t status = -5;
    EXPECT_EQ(nullptr, mod_querysql(conn, "SELECT a FROM t", &status));
    EXPECT_EQ(0, status);
    status = -5;
    EXPECT_EQ(nullptr, mod_querysql(kNull, "SELECT a FROM t", &status));
    EXPECT_EQ(0, status);
    mod_freeresult(conn);
    mod_freeresult(kNull);
}

TEST(NullModule, AddValueReturnsTheSharedEmptyTextUnquoted) {
    DbConnection* conn = mod_create(nullptr);
    const char* first = mod_add_value(conn, "abc", 0);
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ("", first);
    EXPECT_EQ(first, mod_add_value(conn, "it's", 2));
    EXPECT_EQ(first, mod_add_value(conn, nullptr, 0));
    EXPECT_EQ(nullptr, mod_add_value(kNull, "abc", 0));
}

TEST(NullModule, StatusByteIsSharedAndKeepsTheLowEightBits) {
    DbConnection* conn = mod_create(nullptr);
    EXPECT_EQ(0, mod_get_status(conn));
    mod_set_status(conn, 0x102);
    EXPECT_EQ(2, mod_get_status(conn));
    EXPECT_EQ(2, mod_get_status(kNull));  // one byte for every connection
    mod_set_status(kNull, 1);
    EXPECT_EQ(1, mod_get_status(conn));
    // A stop from another thread is seen by the others.
    std::thread stopper([] { mod_set_status(mod_create(nullptr), ZEL_STATUS_STOP); });
    stopper.join();
    EXPECT_EQ(ZEL_STATUS_STOP, mod_get_status(conn));
    mod_set_status(conn, 0);
    EXPECT_EQ(0, mod_get_status(conn));
}

TEST(NullModule, CheckCallsWriteNothingAndDescribeNothing) {
    DbConnection* conn = mod_create(nullptr);
    char buffer[ZEL_COLUMN_TEXT_SIZE];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(1, mod_add_column(conn, buffer, "c", "int", nullptr, 1, 0, ZEL_COLUMN_RENDER));
    EXPECT_EQ('x', buffer[0]);
    char table[] = "t";
    EXPECT_EQ(1, mod_add_column(conn, table, "c", "int", nullptr, 1, 0, ZEL_COLUMN_ADD));
    EXPECT_EQ(1, mod_add_column(conn, table, "c", "int", nullptr, 1, 0, ZEL_COLUMN_ALTER));
    EXPECT_EQ(0, mod_add_column(kNull, buffer, "c", "int", nullptr, 1, 0, ZEL_COLUMN_RENDER));

    ServerInfo info{};
    info.version = reinterpret_cast<char*>(&info);  // must stay untouched
    EXPECT_EQ(-1, mod_get_info(conn, &info, sizeof info));
    EXPECT_EQ(reinterpret_cast<char*>(&info), info.version);
    EXPECT_EQ(nullptr, info.transaction_start);

    EXPECT_EQ(nullptr, mod_get_databaseinfo(conn));
    mod_free_databaseinfo(nullptr);
}

TEST(ModuleHeader, CompilesAsCWithTheSameLayout) {
    EXPECT_EQ(sizeof(ZelModuleParams), zel_c_layout(0));
    EXPECT_EQ(offsetof(ZelModuleParams, ssl_cipher), zel_c_layout(1));
    EXPECT_EQ(offsetof(ZelModuleParams, server_version), zel_c_layout(2));
    EXPECT_EQ(offsetof(ZelModuleParams, use_transactions), zel_c_layout(3));
    EXPECT_EQ(sizeof(ResultValue), zel_c_layout(4));
    EXPECT_EQ(offsetof(ResultValue, value), zel_c_layout(5));
    EXPECT_EQ(sizeof(ColumnInfo), zel_c_layout(6));
    EXPECT_EQ(offsetof(ColumnInfo, nullable), zel_c_layout(7));
    EXPECT_EQ(offsetof(ColumnInfo, is_unsigned), zel_c_layout(8));
    EXPECT_EQ(sizeof(ServerInfo), zel_c_layout(9));
    EXPECT_EQ(offsetof(ServerInfo, transaction_start), zel_c_layout(10));
    EXPECT_EQ(256u, zel_c_layout(11));
    // The parameter block: eleven text pointers, then the two 32-bit words.
    EXPECT_EQ(11 * sizeof(char*), zel_c_layout(2));
    EXPECT_EQ(11 * sizeof(char*) + 4, zel_c_layout(3));
    EXPECT_EQ(2 * sizeof(char*), sizeof(ServerInfo));

    const std::vector<int> expected = {-1, -2, -3, -4, 0, 1, 2, 0, 1, 2};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(expected[i], zel_c_constant(static_cast<int>(i))) << i;
}

}  // namespace
