// The PostgreSQL module against a real server: the module file is loaded and its entry points
// bound by name, as zel's loader does, and what the module reports is checked against what
// the server really holds, read back through a connection of the test's own (libpq).
//
// The server comes from the CTest fixture pg_server (scripts/pg-server); tests run in
// parallel processes, so every table and database name carries a random suffix.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynlib.h"
#include "platform/socket.h"
#include "tests/integration/pgsql/pg_env.h"
#include "zel_module.h"

namespace {

struct Module {
    void* library = nullptr;
    mod_init_fn init;
    mod_exit_fn exit;
    mod_connect_fn connect;
    mod_disconnect_fn disconnect;
    mod_getlasterror_fn getlasterror;
    mod_geterrorstring_fn geterrorstring;
    mod_executesql_fn executesql;
    mod_add_value_fn add_value;
    mod_create_fn create;
    mod_destroy_fn destroy;
    mod_get_status_fn get_status;
    mod_set_status_fn set_status;
    mod_get_databaseinfo_fn get_databaseinfo;
    mod_querysql_fn querysql;
    mod_freeresult_fn freeresult;
    mod_free_databaseinfo_fn free_databaseinfo;
    mod_add_column_fn add_column;
    mod_get_info_fn get_info;
    mod_reconnect_fn reconnect;
    mod_executebatch_fn executebatch;  // optional for modules; this one has it
};

Module g_mod;
zel_test::PgEnv g_env;
std::string g_setup_error;

template <typename Fn>
bool bind(Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(platform_library_symbol(g_mod.library, name));
    if (slot == nullptr) g_setup_error += std::string("missing entry point ") + name + "; ";
    return slot != nullptr;
}

std::string suffix() {
    static const std::string text = std::to_string(std::random_device{}() % 100000000);
    return text;
}

// A parameter block whose texts the test owns.
struct Params {
    std::string user, password, dbname, server, port, connectionstring;
    ZelModuleParams block{};

    Params() {
        user = g_env["ZEL_PG_USER"];
        password = g_env["ZEL_PG_PASSWORD"];
        dbname = g_env["ZEL_PG_DBNAME"];
        server = g_env["ZEL_PG_HOST"];
        port = g_env["ZEL_PG_PORT"];
        point();
    }
    // Texts left empty stay null in the block.
    void point() {
        auto text = [](std::string& s) { return s.empty() ? nullptr : s.data(); };
        block.db_username = text(user);
        block.db_password = text(password);
        block.dbname = text(dbname);
        block.db_server = text(server);
        block.db_port = text(port);
        block.connectionstring = text(connectionstring);
    }
};

// The test's own view of the server, independent of the module.
class Observer {
  public:
    explicit Observer(const std::string& dbname = g_env["ZEL_PG_DBNAME"]) {
        std::string info = "host=127.0.0.1 port=" + g_env["ZEL_PG_PORT"] + " dbname=" + dbname +
                           " user=" + g_env["ZEL_PG_USER"] +
                           " password=" + g_env["ZEL_PG_PASSWORD"];
        conn_ = PQconnectdb(info.c_str());
    }
    ~Observer() { PQfinish(conn_); }
    bool ok() const { return PQstatus(conn_) == CONNECTION_OK; }
    std::string error() const { return PQerrorMessage(conn_); }

    // The first value of the first row; "<null>" for NULL, "<none>" without rows, "<error: ...>".
    std::string scalar(const std::string& sql) {
        PGresult* r = PQexec(conn_, sql.c_str());
        std::string out;
        if (PQresultStatus(r) != PGRES_TUPLES_OK)
            out = std::string("<error: ") + PQerrorMessage(conn_) + ">";
        else if (PQntuples(r) == 0)
            out = "<none>";
        else
            out = PQgetisnull(r, 0, 0) ? "<null>" : PQgetvalue(r, 0, 0);
        PQclear(r);
        return out;
    }
    bool run(const std::string& sql) {
        PGresult* r = PQexec(conn_, sql.c_str());
        bool good = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
        return good;
    }

  private:
    PGconn* conn_;
};

std::string error_of(DbConnection* conn) {
    const char* text = g_mod.geterrorstring(conn);
    return text != nullptr ? text : "<none>";
}

class PgModule : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_env = zel_test::load_pg_env();
        if (!g_env.error.empty()) {
            g_setup_error = g_env.error;
            return;
        }
        if (g_mod.library != nullptr) return;
        g_mod.library = platform_library_open(ZEL_PGSQL_MODULE_PATH);
        if (g_mod.library == nullptr) {
            g_setup_error = std::string("cannot load the module: ") + platform_library_error();
            return;
        }
        bind(g_mod.create, "mod_create");
        bind(g_mod.init, "mod_init");
        bind(g_mod.connect, "mod_connect");
        bind(g_mod.destroy, "mod_destroy");
        bind(g_mod.disconnect, "mod_disconnect");
        bind(g_mod.getlasterror, "mod_getlasterror");
        bind(g_mod.geterrorstring, "mod_geterrorstring");
        bind(g_mod.executesql, "mod_executesql");
        bind(g_mod.exit, "mod_exit");
        bind(g_mod.add_value, "mod_add_value");
        bind(g_mod.set_status, "mod_set_status");
        bind(g_mod.get_status, "mod_get_status");
        bind(g_mod.get_databaseinfo, "mod_get_databaseinfo");
        bind(g_mod.free_databaseinfo, "mod_free_databaseinfo");
        bind(g_mod.querysql, "mod_querysql");
        bind(g_mod.freeresult, "mod_freeresult");
        bind(g_mod.get_info, "mod_get_info");
        bind(g_mod.add_column, "mod_add_column");
        bind(g_mod.reconnect, "mod_reconnect");
        bind(g_mod.executebatch, "mod_executebatch");
        if (g_setup_error.empty() && g_mod.init() != 1) g_setup_error = "mod_init failed";
    }

    void SetUp() override { ASSERT_TRUE(g_setup_error.empty()) << g_setup_error; }

    void TearDown() override {
        for (DbConnection* conn : opened_) {
            g_mod.disconnect(conn);
            g_mod.destroy(conn);
        }
    }

    // A connected DbConnection on the test database (or on the block given).
    DbConnection* open(Params& params) {
        DbConnection* conn = g_mod.create(&params.block);
        EXPECT_NE(conn, nullptr);
        if (conn == nullptr) return nullptr;
        opened_.push_back(conn);
        EXPECT_EQ(g_mod.connect(conn), 1) << error_of(conn);
        return conn;
    }
    DbConnection* open() { return open(params_); }

    int32_t exec(DbConnection* conn, const std::string& sql) {
        return g_mod.executesql(conn, sql.c_str());
    }

    // Creates a table of the test's own and returns its name.
    std::string table(DbConnection* conn, const std::string& stem, const std::string& columns) {
        std::string name = "t_" + stem + "_" + suffix();
        exec(conn, "DROP TABLE IF EXISTS " + name);
        EXPECT_EQ(exec(conn, "CREATE TABLE " + name + " (" + columns + ")"), 0) << error_of(conn);
        return name;
    }

    // A database of the test's own with extra settings; dropped by the caller.
    std::string database(DbConnection* conn, const std::string& stem, const std::string& settings) {
        std::string name = "zel_" + stem + "_" + suffix();
        exec(conn, "DROP DATABASE IF EXISTS " + name);
        EXPECT_EQ(exec(conn, "CREATE DATABASE " + name), 0) << error_of(conn);
        if (!settings.empty()) {
            EXPECT_EQ(exec(conn, "ALTER DATABASE " + name + " SET " + settings), 0)
                << error_of(conn);
        }
        return name;
    }

    Params params_;
    std::vector<DbConnection*> opened_;
};

// --- connecting ---------------------------------------------------------------------------

TEST_F(PgModule, ConnectsFromTheMembersAndReportsNoError) {
    DbConnection* conn = open();
    EXPECT_EQ(g_mod.geterrorstring(conn), nullptr);
    EXPECT_EQ(g_mod.getlasterror(conn), 0);
    EXPECT_EQ(g_mod.get_status(conn), ZEL_STATUS_CONNECTED);
}

TEST_F(PgModule, WrongPasswordFailsWithTheServersReason) {
    Params bad;
    bad.password = "not-the-password";
    bad.point();
    DbConnection* conn = g_mod.create(&bad.block);
    ASSERT_NE(conn, nullptr);
    opened_.push_back(conn);
    EXPECT_EQ(g_mod.connect(conn), 0);
    EXPECT_NE(error_of(conn).find("password authentication failed"), std::string::npos)
        << error_of(conn);
    EXPECT_EQ(error_of(conn).find("not-the-password"), std::string::npos);
    // The failed handle is kept; statements on it report the lost connection.
    EXPECT_EQ(exec(conn, "SELECT 1"), ZEL_RESULT_LOST);
}

TEST_F(PgModule, ConnectionStringReplacesTheMembers) {
    Params p;
    p.password = "wrong";
    p.dbname = "no_such_database";
    p.connectionstring = g_env["ZEL_PG_CONNSTR"];
    p.point();
    DbConnection* conn = open(p);
    int32_t status = 1;
    ResultValue* r = g_mod.querysql(conn, "SELECT current_database()", &status);
    ASSERT_NE(r, nullptr) << error_of(conn);
    EXPECT_STREQ(r->value, g_env["ZEL_PG_DBNAME"].c_str());
    g_mod.freeresult(conn);
}

TEST_F(PgModule, ConnectAgainReplacesTheServerConnection) {
    DbConnection* conn = open();
    int32_t status = 0;
    std::string first = g_mod.querysql(conn, "SELECT pg_backend_pid()", &status)->value;
    g_mod.freeresult(conn);
    ASSERT_EQ(g_mod.connect(conn), 1) << error_of(conn);
    ResultValue* r = g_mod.querysql(conn, "SELECT pg_backend_pid()", &status);
    ASSERT_NE(r, nullptr);
    EXPECT_NE(first, r->value);
    g_mod.freeresult(conn);
    Observer observer;
    // The first server connection was closed, not leaked.
    for (int i = 0; i < 50 && observer.scalar("SELECT count(*) FROM pg_stat_activity WHERE pid = " +
                                              first) != "0";
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(observer.scalar("SELECT count(*) FROM pg_stat_activity WHERE pid = " + first), "0");
}

TEST_F(PgModule, DisconnectedConnectionRefusesWorkUntilConnectedAgain) {
    DbConnection* conn = open();
    EXPECT_EQ(g_mod.disconnect(conn), 1);
    EXPECT_EQ(exec(conn, "SELECT 1"), ZEL_RESULT_FAILED);
    EXPECT_EQ(error_of(conn), "Not connected to the database server");
    EXPECT_EQ(g_mod.add_value(conn, "x", 0), nullptr);
    int32_t status = 0;
    EXPECT_EQ(g_mod.querysql(conn, "SELECT 1", &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_FAILED);
    ASSERT_EQ(g_mod.connect(conn), 1) << error_of(conn);
    EXPECT_EQ(exec(conn, "SELECT 1"), 1);
}

// --- statements -----------------------------------------------------------------------------

TEST_F(PgModule, ReportsAffectedRows) {
    DbConnection* conn = open();
    std::string t = table(conn, "rows", "id integer PRIMARY KEY, v integer");
    EXPECT_EQ(error_of(conn), "Affected rows:0");  // CREATE TABLE reports no count
    for (int id = 1; id <= 3; ++id)
        EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (" + std::to_string(id) + ", 0)"), 1);
    EXPECT_EQ(exec(conn, "UPDATE " + t + " SET v = 1"), 3);
    EXPECT_EQ(exec(conn, "UPDATE " + t + " SET v = 2 WHERE id = 99"), 0);
    EXPECT_EQ(error_of(conn), "Affected rows:0");
    EXPECT_EQ(g_mod.getlasterror(conn), 0);
    EXPECT_EQ(exec(conn, "DELETE FROM " + t + " WHERE id < 3"), 2);
    EXPECT_EQ(Observer().scalar("SELECT count(*) FROM " + t), "1");
}

TEST_F(PgModule, UniqueViolationFailsTheStatementAndRejectsTheQuery) {
    DbConnection* conn = open();
    std::string t = table(conn, "uniq", "id integer PRIMARY KEY");
    ASSERT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1)"), 1);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1)"), ZEL_RESULT_FAILED);
    EXPECT_EQ(g_mod.getlasterror(conn), 23505);
    EXPECT_NE(error_of(conn).find("duplicate key value violates unique constraint"),
              std::string::npos)
        << error_of(conn);

    int32_t status = 0;
    EXPECT_EQ(
        g_mod.querysql(conn, ("INSERT INTO " + t + " VALUES (1) RETURNING id").c_str(), &status),
        nullptr);
    EXPECT_EQ(status, ZEL_RESULT_REJECTED);
    EXPECT_EQ(g_mod.getlasterror(conn), 23505);
}

TEST_F(PgModule, ClassifiesOtherServerErrors) {
    DbConnection* conn = open();
    std::string t = table(conn, "errs", "id integer NOT NULL");
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (NULL)"), ZEL_RESULT_FAILED);
    EXPECT_EQ(g_mod.getlasterror(conn), 23502);
    EXPECT_EQ(exec(conn, "INSERTT INTO " + t + " VALUES (1)"), ZEL_RESULT_REJECTED);
    EXPECT_EQ(g_mod.getlasterror(conn), 42601);
    EXPECT_EQ(exec(conn, "SELECT 1/0"), ZEL_RESULT_REJECTED);
    EXPECT_EQ(g_mod.getlasterror(conn), 22012);
    EXPECT_NE(error_of(conn).find("division by zero"), std::string::npos);

    int32_t status = 0;
    EXPECT_EQ(g_mod.querysql(conn, "SELECT * FROM no_such_table_here", &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_REJECTED);
    EXPECT_EQ(g_mod.getlasterror(conn), 42);  // 42P01: the digits before the letter
    // A failure outside the classes the module knows is still a failure, never "no rows".
    status = 0;
    EXPECT_EQ(g_mod.querysql(conn, "DROP DATABASE no_such_database_here", &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_REJECTED);
    EXPECT_EQ(g_mod.getlasterror(conn), 3);  // 3D000
    EXPECT_EQ(exec(conn, "DROP DATABASE no_such_database_here"), ZEL_RESULT_REJECTED);
}

TEST_F(PgModule, SavepointKeepsTheTransactionUsableAfterAFailure) {
    DbConnection* conn = open();
    std::string t = table(conn, "sp", "id integer PRIMARY KEY");
    Observer observer;

    EXPECT_EQ(exec(conn, "START TRANSACTION"), 0);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1)"), 1);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1)"), ZEL_RESULT_FAILED);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (2)"), 1) << error_of(conn);
    EXPECT_EQ(observer.scalar("SELECT count(*) FROM " + t), "0");  // still uncommitted
    EXPECT_EQ(exec(conn, "COMMIT"), 0);
    EXPECT_EQ(observer.scalar("SELECT string_agg(id::text, ',' ORDER BY id) FROM " + t), "1,2");

    // After the failed statement its savepoint was rolled back to and released: none is left.
    EXPECT_EQ(exec(conn, "START TRANSACTION"), 0);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (3)"), 1);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (3)"), ZEL_RESULT_FAILED);
    int32_t status = 0;
    EXPECT_EQ(g_mod.querysql(conn, "RELEASE SAVEPOINT zel_savepoint", &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_REJECTED);
    EXPECT_NE(error_of(conn).find("savepoint \"zel_savepoint\" does not exist"), std::string::npos)
        << error_of(conn);
    EXPECT_EQ(exec(conn, "ROLLBACK"), 0);
    EXPECT_EQ(observer.scalar("SELECT count(*) FROM " + t + " WHERE id = 3"), "0");

    // Outside a transaction again: statements take effect at once.
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (4)"), 1);
    EXPECT_EQ(observer.scalar("SELECT count(*) FROM " + t + " WHERE id = 4"), "1");
}

// The savepoint, the statement and its release travel together: what each part answered
// must still come out as if they had run one by one.
TEST_F(PgModule, BracketedStatementsAnswerAsTheyWouldAlone) {
    DbConnection* conn = open();
    std::string t = table(conn, "br", "id integer PRIMARY KEY, v integer");
    ASSERT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1, 0), (2, 0)"), 2);

    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0);
    EXPECT_EQ(exec(conn, "UPDATE " + t + " SET v = 1"), 2);
    EXPECT_EQ(exec(conn, "UPDATE " + t + " SET v = 2 WHERE id = 99"), 0);
    EXPECT_EQ(error_of(conn), "Affected rows:0");
    // A comment at the end of a statement does not swallow the release.
    EXPECT_EQ(exec(conn, "UPDATE " + t + " SET v = 3 WHERE id = 1 -- the first row"), 1);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1, 5)"), ZEL_RESULT_FAILED);
    EXPECT_EQ(g_mod.getlasterror(conn), 23505);
    EXPECT_NE(error_of(conn).find("duplicate key value"), std::string::npos) << error_of(conn);
    EXPECT_EQ(error_of(conn).find("zel_savepoint"), std::string::npos) << error_of(conn);
    // Every savepoint was released: none is left to release.
    int32_t status = 0;
    EXPECT_EQ(g_mod.querysql(conn, "RELEASE SAVEPOINT zel_savepoint", &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_REJECTED);
    EXPECT_NE(error_of(conn).find("does not exist"), std::string::npos) << error_of(conn);

    // That query failed outside any savepoint, so the transaction has failed: the next
    // statement gets no savepoint, runs on its own and is told to rerun.
    EXPECT_EQ(exec(conn, "UPDATE " + t + " SET v = 4"), ZEL_RESULT_RERUN);
    EXPECT_EQ(g_mod.getlasterror(conn), 25);  // 25P02: in failed transaction
    EXPECT_EQ(exec(conn, "ROLLBACK"), 0);

    Observer observer;
    EXPECT_EQ(observer.scalar("SELECT string_agg(id || ':' || v, ',' ORDER BY id) FROM " + t),
              "1:0,2:0");
    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0);
    EXPECT_EQ(exec(conn, "UPDATE " + t + " SET v = 7 WHERE id = 2"), 1);
    EXPECT_EQ(exec(conn, "COMMIT"), 0);
    EXPECT_EQ(observer.scalar("SELECT string_agg(id || ':' || v, ',' ORDER BY id) FROM " + t),
              "1:0,2:7");
}

TEST_F(PgModule, DeadlockAsksForARerun) {
    DbConnection* a = open();
    Params pb;
    DbConnection* b = open(pb);
    std::string t = table(a, "dl", "id integer PRIMARY KEY, v integer");
    ASSERT_EQ(exec(a, "INSERT INTO " + t + " VALUES (1, 0), (2, 0)"), 2);

    ASSERT_EQ(exec(a, "START TRANSACTION"), 0);
    ASSERT_EQ(exec(a, "UPDATE " + t + " SET v = 1 WHERE id = 1"), 1);
    ASSERT_EQ(exec(b, "START TRANSACTION"), 0);
    ASSERT_EQ(exec(b, "UPDATE " + t + " SET v = 2 WHERE id = 2"), 1);

    // Each side rolls back at once when it is the victim, which lets the other side finish;
    // the victim's error is read before its ROLLBACK replaces it.
    struct Outcome {
        int32_t result = 99;
        int32_t code = -1;
        std::string error;
    };
    auto update = [&](DbConnection* conn, const char* sql, Outcome& out) {
        out.result = exec(conn, "UPDATE " + t + sql);
        out.code = g_mod.getlasterror(conn);
        out.error = error_of(conn);
        if (out.result == ZEL_RESULT_RERUN) exec(conn, "ROLLBACK");
    };
    Outcome out_a, out_b;
    std::thread side_a([&] { update(a, " SET v = 1 WHERE id = 2", out_a); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    update(b, " SET v = 2 WHERE id = 1", out_b);
    side_a.join();

    ASSERT_TRUE((out_a.result == ZEL_RESULT_RERUN) != (out_b.result == ZEL_RESULT_RERUN))
        << "a: " << out_a.result << " b: " << out_b.result;
    const bool a_lost = out_a.result == ZEL_RESULT_RERUN;
    const Outcome& victim = a_lost ? out_a : out_b;
    DbConnection* winner = a_lost ? b : a;
    EXPECT_EQ((a_lost ? out_b : out_a).result, 1);
    EXPECT_EQ(victim.code, 40);  // 40P01: the digits before the letter
    EXPECT_NE(victim.error.find("deadlock detected"), std::string::npos) << victim.error;
    EXPECT_EQ(exec(winner, "COMMIT"), 0);
    std::string v = winner == a ? "1" : "2";
    EXPECT_EQ(Observer().scalar("SELECT string_agg(v::text, ',' ORDER BY id) FROM " + t),
              v + "," + v);
}

TEST_F(PgModule, CopyStatementsDoNotLeaveTheConnectionStuck) {
    DbConnection* conn = open();
    std::string t = table(conn, "copy", "id integer");
    EXPECT_EQ(exec(conn, "COPY " + t + " FROM STDIN"), ZEL_RESULT_REJECTED);
    EXPECT_EQ(g_mod.getlasterror(conn), 57014);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1), (2)"), 2) << error_of(conn);
    EXPECT_EQ(exec(conn, "COPY " + t + " TO STDOUT"), 2);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (3)"), 1);
}

// --- queries --------------------------------------------------------------------------------

TEST_F(PgModule, QueryResultIsRowMajorWithNullForNullAndEmpty) {
    DbConnection* conn = open();
    int32_t status = 7;
    ResultValue* r = g_mod.querysql(
        conn, "SELECT * FROM (VALUES (1, 'a', NULL), (2, '', 'x')) AS v(n, s, t) ORDER BY n",
        &status);
    EXPECT_EQ(status, 0);
    std::vector<std::string> got;
    for (ResultValue* node = r; node != nullptr; node = node->next)
        got.push_back(node->value != nullptr ? node->value : "<null>");
    EXPECT_EQ(got, (std::vector<std::string>{"1", "a", "<null>", "2", "<null>", "x"}));

    // Without freeresult the next answer is appended to the list.
    ResultValue* again = g_mod.querysql(conn, "SELECT 'z'", &status);
    EXPECT_EQ(again, r);
    int count = 0;
    const char* last = nullptr;
    for (ResultValue* node = again; node != nullptr; node = node->next, ++count)
        last = node->value;
    EXPECT_EQ(count, 7);
    EXPECT_STREQ(last, "z");

    g_mod.freeresult(conn);
    EXPECT_EQ(g_mod.querysql(conn, "SELECT 1 WHERE false", &status), nullptr);
    EXPECT_EQ(status, 0);
    ResultValue* fresh = g_mod.querysql(conn, "SELECT 'only'", &status);
    ASSERT_NE(fresh, nullptr);
    EXPECT_STREQ(fresh->value, "only");
    EXPECT_EQ(fresh->next, nullptr);
    g_mod.freeresult(conn);
}

// --- quoting --------------------------------------------------------------------------------

const std::vector<std::string>& awkward_values() {
    static const std::vector<std::string> values = {
        "O'Brien",
        R"(a'b\c;d\'; DROP TABLE x; --)",
        "\\",
        "'",
        "''",
        "\\'",
        "tab\tline\nend",
        "\xC3\xBC"
        "n"
        "\xC3\xAF\xC2\xA9\xC3\xB8"
        "d\xC3\xA9",
        "E'x'",
        "100%",
        "",
    };
    return values;
}

// Inserts each value through mod_add_value and reads it back with the test's own connection.
void expect_round_trip(DbConnection* conn, const std::string& t, const std::string& dbname,
                       int32_t (*exec_fn)(DbConnection*, const char*)) {
    Observer observer(dbname);
    ASSERT_TRUE(observer.ok()) << observer.error();
    int id = 0;
    for (const std::string& value : awkward_values()) {
        ++id;
        const char* literal = g_mod.add_value(conn, value.c_str(), 0);
        ASSERT_NE(literal, nullptr);
        std::string sql =
            "INSERT INTO " + t + " VALUES (" + std::to_string(id) + ", " + literal + ")";
        ASSERT_EQ(exec_fn(conn, sql.c_str()), 1) << sql << ": " << error_of(conn);
        EXPECT_EQ(observer.scalar("SELECT v FROM " + t + " WHERE id = " + std::to_string(id)),
                  value)
            << "literal " << literal;
    }
    EXPECT_EQ(observer.scalar("SELECT count(*) FROM " + t), std::to_string(id));
}

TEST_F(PgModule, QuotedValuesComeBackUnchanged) {
    DbConnection* conn = open();
    EXPECT_STREQ(g_mod.add_value(conn, "O'Brien", 0), "'O''Brien'");
    EXPECT_STREQ(g_mod.add_value(conn, "a\\b", 0), "'a\\b'");
    std::string t = table(conn, "quote", "id integer, v text");
    expect_round_trip(conn, t, g_env["ZEL_PG_DBNAME"], g_mod.executesql);
}

TEST_F(PgModule, QuotedValuesWithoutStandardConformingStrings) {
    DbConnection* admin = open();
    std::string db = database(admin, "nsc", "standard_conforming_strings = off");
    exec(admin, "ALTER DATABASE " + db + " SET escape_string_warning = off");
    {
        Params p;
        p.dbname = db;
        p.point();
        DbConnection* conn = open(p);
        EXPECT_STREQ(g_mod.add_value(conn, "O'Brien", 0), "E'O''Brien'");
        EXPECT_STREQ(g_mod.add_value(conn, "a\\b", 0), "E'a\\\\b'");
        std::string t = table(conn, "quote", "id integer, v text");
        expect_round_trip(conn, t, db, g_mod.executesql);

        // The same object connected to a server that reads literals the standard way must
        // stop writing E'' literals, or a backslash would end the literal early.
        p.dbname = g_env["ZEL_PG_DBNAME"];
        p.point();
        ASSERT_EQ(g_mod.connect(conn), 1) << error_of(conn);
        EXPECT_STREQ(g_mod.add_value(conn, "O'Brien", 0), "'O''Brien'");
        std::string t2 = table(conn, "requote", "id integer, v text");
        expect_round_trip(conn, t2, g_env["ZEL_PG_DBNAME"], g_mod.executesql);
        g_mod.disconnect(conn);
    }
    EXPECT_EQ(exec(admin, "DROP DATABASE " + db), 0) << error_of(admin);
}

TEST_F(PgModule, CharacterLimitCutsWholeCharacters) {
    DbConnection* conn = open();
    const std::string three = "\xC3\xA4\xC3\xB6\xC3\xBC";  // three two-byte characters
    EXPECT_EQ(std::string(g_mod.add_value(conn, three.c_str(), 2)), "'\xC3\xA4\xC3\xB6'");
    EXPECT_EQ(std::string(g_mod.add_value(conn, three.c_str(), 0)), "'" + three + "'");
    EXPECT_EQ(std::string(g_mod.add_value(conn, three.c_str(), 6)), "'" + three + "'");
    // A character that would run past the end of the text leaves the empty literal.
    EXPECT_STREQ(g_mod.add_value(conn, "a\xE2\x82", 2), "''");
    EXPECT_STREQ(g_mod.add_value(conn, "it's", 3), "'it'''");

    // A value far beyond the first scratch size still makes one complete literal.
    std::string big(5000, 'q');
    big[100] = '\'';
    std::string t = table(conn, "big", "id integer, v text");
    const char* literal = g_mod.add_value(conn, big.c_str(), 0);
    ASSERT_NE(literal, nullptr);
    EXPECT_EQ(std::strlen(literal), big.size() + 3);
    ASSERT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1, " + literal + ")"), 1);
    EXPECT_EQ(Observer().scalar("SELECT v FROM " + t), big);
    EXPECT_STREQ(g_mod.add_value(conn, big.c_str(), 3), "'qqq'");
}

// --- schema ---------------------------------------------------------------------------------

TEST_F(PgModule, RendersColumnDefinitions) {
    DbConnection* conn = g_mod.create(&params_.block);  // rendering needs no server
    ASSERT_NE(conn, nullptr);
    opened_.push_back(conn);
    char buffer[300];
    char column[] = "unused";
    auto render = [&](const char* type, const char* size, uint8_t nullable) {
        std::memset(buffer, '#', sizeof buffer);
        if (g_mod.add_column(conn, buffer, column, type, size, nullable, 0, ZEL_COLUMN_RENDER) != 1)
            return std::string("<failed>");
        return std::string(buffer);
    };
    EXPECT_EQ(render("bigint", "20", 0), "numeric(20,0) NOT NULL");
    EXPECT_EQ(render("varchar", "0", 1), "character varying NULL");
    EXPECT_EQ(render("decimal", "12,4", 1), "numeric(12,4) NULL");
    EXPECT_EQ(render("time", nullptr, 0), "time without time zone NOT NULL");
    EXPECT_EQ(render("int", nullptr, 1), "integer NULL");
    EXPECT_EQ(render(nullptr, "1", 1), "<failed>");

    // The caller's buffer holds ZEL_COLUMN_TEXT_SIZE bytes: a longer text is cut there.
    std::string long_size(400, '7');
    EXPECT_EQ(render("varchar", long_size.c_str(), 1).size(), size_t{ZEL_COLUMN_TEXT_SIZE - 1});
    EXPECT_EQ(buffer[ZEL_COLUMN_TEXT_SIZE], '#');
    EXPECT_EQ(g_mod.add_column(conn, nullptr, column, "int", nullptr, 1, 0, ZEL_COLUMN_RENDER), 0);
    EXPECT_EQ(g_mod.add_column(nullptr, buffer, column, "int", nullptr, 1, 0, ZEL_COLUMN_RENDER),
              0);
}

TEST_F(PgModule, AddsAndChangesColumns) {
    DbConnection* conn = open();
    std::string t = table(conn, "cols", "id integer NOT NULL, name character varying(10)");
    Observer observer;
    auto definition = [&](const char* column) {
        return observer.scalar(
            "SELECT data_type || ':' || coalesce(character_maximum_length::text, '') || ':' || "
            "coalesce(numeric_precision::text, '') || ',' || coalesce(numeric_scale::text, '') || "
            "':' || "
            "is_nullable FROM information_schema.columns WHERE table_name = '" +
            t + "' AND column_name = '" + column + "'");
    };
    std::vector<char> name(t.begin(), t.end());
    name.push_back('\0');

    EXPECT_EQ(g_mod.add_column(conn, name.data(), "price", "decimal", "12,4", 1, 0, ZEL_COLUMN_ADD),
              1)
        << error_of(conn);
    EXPECT_EQ(definition("price"), "numeric::12,4:YES");
    EXPECT_EQ(
        g_mod.add_column(conn, name.data(), "volume", "bigint", nullptr, 0, 1, ZEL_COLUMN_ADD), 1)
        << error_of(conn);
    EXPECT_EQ(definition("volume"), "numeric::20,0:NO");

    EXPECT_EQ(g_mod.add_column(conn, name.data(), "name", "varchar", "40", 0, 0, ZEL_COLUMN_ALTER),
              1)
        << error_of(conn);
    EXPECT_EQ(definition("name"), "character varying:40:,:NO");
    EXPECT_EQ(g_mod.add_column(conn, name.data(), "id", "bigint", "20", 1, 0, ZEL_COLUMN_ALTER), 1)
        << error_of(conn);
    EXPECT_EQ(definition("id"), "numeric::20,0:YES");

    // A change the server refuses (text that is no number) fails with the server's reason.
    ASSERT_EQ(exec(conn, "INSERT INTO " + t + " (id, name, volume) VALUES (1, 'abc', 5)"), 1);
    EXPECT_EQ(g_mod.add_column(conn, name.data(), "name", "int", nullptr, 1, 0, ZEL_COLUMN_ALTER),
              0);
    EXPECT_EQ(g_mod.getlasterror(conn), 42804);
    EXPECT_EQ(definition("name"), "character varying:40:,:NO");

    char missing[] = "no_such_table_for_columns";
    EXPECT_EQ(g_mod.add_column(conn, missing, "x", "int", nullptr, 1, 0, ZEL_COLUMN_ADD), 0);
    EXPECT_EQ(g_mod.getlasterror(conn), 42);
    EXPECT_NE(error_of(conn).find("does not exist"), std::string::npos);
}

TEST_F(PgModule, DescribesTheDatabaseInTheDefinitionsVocabulary) {
    DbConnection* conn = open();
    std::string t =
        table(conn, "desc",
              "a integer NOT NULL, b numeric(20,0), c numeric(12,4), d double precision, "
              "e character(3), f character varying(30) NOT NULL, g text, h time, "
              "i timestamp, j date, k smallint, l numeric(9,0)");
    ColumnInfo* list = g_mod.get_databaseinfo(conn);
    ASSERT_NE(list, nullptr) << error_of(conn);

    std::vector<std::string> got;
    ColumnInfo* previous = nullptr;
    for (ColumnInfo* c = list; c != nullptr; previous = c, c = c->next) {
        EXPECT_EQ(c->previous, previous);
        EXPECT_EQ(c->is_unsigned, 0);
        if (t == c->table)
            got.push_back(std::string(c->column) + " " + c->type + " " + (c->size ? c->size : "-") +
                          (c->nullable ? " null" : " notnull"));
    }
    g_mod.free_databaseinfo(list);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{
                       "a int 32,0 notnull", "b bigint 20,0 null", "c decimal 12,4 null",
                       "d double 53 null", "e char 3 null", "f varchar 30 notnull",
                       "g mediumtext - null", "h time - null", "i datetime - null", "j date - null",
                       "k smallint 16,0 null", "l decimal 9,0 null"}));
}

TEST_F(PgModule, EmptyDatabaseHasNoDescription) {
    DbConnection* admin = open();
    std::string db = database(admin, "empty", "");
    {
        Params p;
        p.dbname = db;
        p.point();
        DbConnection* conn = open(p);
        EXPECT_EQ(g_mod.get_databaseinfo(conn), nullptr);
        EXPECT_EQ(
            error_of(conn),
            "Got 0 rows from the SQL-Server. Check that your dbsuser have SELECT rights on the "
            "tables in the 'Corvalinder' database!");
        g_mod.disconnect(conn);
    }
    EXPECT_EQ(exec(admin, "DROP DATABASE " + db), 0) << error_of(admin);

    DbConnection* never = g_mod.create(&params_.block);
    opened_.push_back(never);
    EXPECT_EQ(g_mod.get_databaseinfo(never), nullptr);
    EXPECT_EQ(error_of(never), "Could not determine the name of the current connected database");
}

TEST_F(PgModule, ServerInfo) {
    DbConnection* conn = open();
    ServerInfo info{};
    ASSERT_EQ(g_mod.get_info(conn, &info, sizeof info), 1);
    long number = std::stol(Observer().scalar("SHOW server_version_num"));
    std::string expected = std::to_string(number / 10000) + "." +
                           std::to_string(number / 100 % 100) + "." + std::to_string(number % 100);
    ASSERT_NE(info.version, nullptr);
    EXPECT_EQ(std::string(info.version), expected);
    EXPECT_STREQ(info.transaction_start, "START TRANSACTION");
    EXPECT_EQ(params_.block.server_version, static_cast<uint32_t>(number));
    std::free(info.version);
    std::free(info.transaction_start);

    EXPECT_EQ(g_mod.get_info(conn, &info, 15), -1);
    EXPECT_EQ(g_mod.get_info(nullptr, &info, 16), -1);
}

// --- lost connections -------------------------------------------------------------------------

// Ends the server process behind conn from another connection and waits until it is gone.
void terminate_backend(DbConnection* conn) {
    int32_t status = 0;
    ResultValue* r = g_mod.querysql(conn, "SELECT pg_backend_pid()", &status);
    ASSERT_NE(r, nullptr);
    std::string pid = r->value;
    g_mod.freeresult(conn);
    Observer observer;
    ASSERT_EQ(observer.scalar("SELECT pg_terminate_backend(" + pid + ")"), "t");
    for (int i = 0; i < 100; ++i) {
        if (observer.scalar("SELECT count(*) FROM pg_stat_activity WHERE pid = " + pid) == "0")
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "backend " << pid << " did not end";
}

TEST_F(PgModule, TerminatedServerConnectionIsReportedLostAndReconnects) {
    DbConnection* conn = open();
    std::string t = table(conn, "lost", "id integer");
    terminate_backend(conn);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1)"), ZEL_RESULT_LOST);
    EXPECT_NE(error_of(conn), "<none>");
    EXPECT_EQ(g_mod.get_status(conn), ZEL_STATUS_CONNECTED);  // the caller decides to reconnect

    g_mod.reconnect(conn);
    EXPECT_EQ(g_mod.get_status(conn), ZEL_STATUS_CONNECTED);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (2)"), 1) << error_of(conn);

    terminate_backend(conn);
    int32_t status = 0;
    EXPECT_EQ(g_mod.querysql(conn, ("SELECT * FROM " + t).c_str(), &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_LOST);
    g_mod.reconnect(conn);
    ResultValue* r = g_mod.querysql(conn, ("SELECT * FROM " + t).c_str(), &status);
    ASSERT_NE(r, nullptr) << error_of(conn);
    EXPECT_STREQ(r->value, "2");
    g_mod.freeresult(conn);
}

// A primary demoted under an open connection refuses writes with 25006. That is no failure to
// rerun on the same connection (it would fail for ever): the connection is given up at once,
// reported lost, and a reconnect gets a writable session.
TEST_F(PgModule, ReadOnlyRefusalIsALostConnectionThatAReconnectMends) {
    DbConnection* conn = open();
    std::string t = table(conn, "readonly", "id integer");
    Observer observer;
    auto demote = [&] {
        ASSERT_EQ(exec(conn, "SET default_transaction_read_only = on"), 0) << error_of(conn);
    };

    demote();
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1)"), ZEL_RESULT_LOST);
    EXPECT_EQ(g_mod.getlasterror(conn), 25006);
    EXPECT_NE(error_of(conn).find("read-only"), std::string::npos) << error_of(conn);
    // Given up: nothing more reaches that session, not even a read.
    EXPECT_EQ(exec(conn, "SELECT 1"), ZEL_RESULT_LOST);
    int32_t status = 0;
    EXPECT_EQ(g_mod.querysql(conn, "SELECT 1", &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_LOST);
    EXPECT_NE(error_of(conn).find("reconnect finds the writable server"), std::string::npos)
        << error_of(conn);
    EXPECT_EQ(g_mod.get_status(conn), ZEL_STATUS_CONNECTED);  // the caller reconnects

    g_mod.reconnect(conn);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (2)"), 1) << error_of(conn);

    // Inside a transaction, where each statement runs behind a savepoint.
    demote();
    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0) << error_of(conn);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (3)"), ZEL_RESULT_LOST);
    g_mod.reconnect(conn);
    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0) << error_of(conn);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (4)"), 1) << error_of(conn);
    EXPECT_EQ(exec(conn, "COMMIT"), 0) << error_of(conn);

    // A query that writes.
    demote();
    EXPECT_EQ(g_mod.querysql(conn, ("INSERT INTO " + t + " VALUES (5) RETURNING id").c_str(),
                             &status),
              nullptr);
    EXPECT_EQ(status, ZEL_RESULT_LOST);
    g_mod.reconnect(conn);
    EXPECT_EQ(observer.scalar("SELECT string_agg(id::text, ',' ORDER BY id) FROM " + t), "2,4");
}

// A host list is tried in order: a host that refuses is passed over, and so is a server whose
// sessions are read-only, unless the connection text asks for any server.
TEST_F(PgModule, HostListPassesOverRefusingAndReadOnlyServers) {
    Params listed;
    listed.server = "127.0.0.1 , 127.0.0.1";
    listed.port = "1, " + g_env["ZEL_PG_PORT"];  // nothing listens on port 1
    listed.point();
    DbConnection* conn = open(listed);
    EXPECT_EQ(exec(conn, "SELECT 1"), 1) << error_of(conn);

    std::string db = database(conn, "ro", "default_transaction_read_only = on");
    Params ro;
    ro.dbname = db;
    ro.point();
    DbConnection* refused = g_mod.create(&ro.block);
    ASSERT_NE(refused, nullptr);
    opened_.push_back(refused);
    EXPECT_EQ(g_mod.connect(refused), 0);
    EXPECT_NE(error_of(refused).find("read-only"), std::string::npos) << error_of(refused);

    Params any;
    any.connectionstring = "host=127.0.0.1 port=" + g_env["ZEL_PG_PORT"] + " dbname=" + db +
                           " user=" + g_env["ZEL_PG_USER"] + " password=" +
                           g_env["ZEL_PG_PASSWORD"] + " target_session_attrs=any";
    any.point();
    DbConnection* reader = open(any);
    EXPECT_EQ(exec(reader, "CREATE TABLE refused (id integer)"), ZEL_RESULT_LOST);
    g_mod.disconnect(reader);
    EXPECT_EQ(exec(conn, "DROP DATABASE " + db + " WITH (FORCE)"), 0) << error_of(conn);
}

TEST_F(PgModule, StopRequestEndsAReconnectLoop) {
    Params p;
    p.port = "1";  // nothing listens there: every attempt is refused
    p.point();
    DbConnection* conn = g_mod.create(&p.block);
    ASSERT_NE(conn, nullptr);
    opened_.push_back(conn);
    EXPECT_EQ(g_mod.connect(conn), 0);

    std::atomic<bool> returned{false};
    std::thread loop([&] {
        g_mod.reconnect(conn);
        returned = true;
    });
    for (int i = 0; i < 100 && g_mod.get_status(conn) != ZEL_STATUS_RECONNECTING; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(g_mod.get_status(conn), ZEL_STATUS_RECONNECTING);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));  // past the first retry
    EXPECT_FALSE(returned.load());

    auto asked = std::chrono::steady_clock::now();
    g_mod.set_status(conn, 0x102);  // only the low byte counts: stop
    loop.join();
    auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(g_mod.get_status(conn), ZEL_STATUS_STOP);
    EXPECT_NE(error_of(conn).find("onnection refused"), std::string::npos) << error_of(conn);

    // A stopped connection is not retried at all.
    auto start = std::chrono::steady_clock::now();
    g_mod.reconnect(conn);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(g_mod.get_status(conn), ZEL_STATUS_STOP);
}

// --- faults the server decides ---------------------------------------------------------------

// The savepoint must exist before the statement is parsed: a value that is no UTF-8 and a
// statement that does not parse fail alone, and every good row of the transaction lands.
TEST_F(PgModule, UnparsableStatementsFailAloneInsideATransaction) {
    DbConnection* conn = open();
    std::string t = table(conn, "parse", "id integer PRIMARY KEY, v text");
    auto insert = [&](int id, const std::string& value) {
        return exec(conn,
                    "INSERT INTO " + t + " VALUES (" + std::to_string(id) + ", '" + value + "')");
    };
    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0);
    EXPECT_EQ(insert(1, "good"), 1) << error_of(conn);
    EXPECT_EQ(insert(2, "bad \xC3\x28 bytes"), ZEL_RESULT_REJECTED);
    EXPECT_EQ(g_mod.getlasterror(conn), 22021);
    EXPECT_NE(error_of(conn).find("invalid byte sequence"), std::string::npos) << error_of(conn);
    EXPECT_EQ(insert(3, "good"), 1) << error_of(conn);
    EXPECT_EQ(exec(conn, "INSERTT INTO " + t + " VALUES (4, 'x')"), ZEL_RESULT_REJECTED);
    EXPECT_EQ(g_mod.getlasterror(conn), 42601);
    EXPECT_NE(error_of(conn).find("syntax error"), std::string::npos) << error_of(conn);
    EXPECT_EQ(insert(5, "good"), 1) << error_of(conn);
    // A failure as the transaction's last statement leaves it usable too.
    EXPECT_EQ(insert(6, "\xFF"), ZEL_RESULT_REJECTED);
    EXPECT_EQ(exec(conn, "COMMIT"), 0) << error_of(conn);
    EXPECT_EQ(Observer().scalar("SELECT string_agg(id::text, ',' ORDER BY id) FROM " + t), "1,3,5");
    // Several commands in one text are refused inside a transaction, alone as well.
    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0);
    EXPECT_EQ(
        exec(conn, "INSERT INTO " + t + " VALUES (7, 'a'); INSERT INTO " + t + " VALUES (8, 'b')"),
        ZEL_RESULT_REJECTED);
    EXPECT_EQ(insert(9, "good"), 1) << error_of(conn);
    EXPECT_EQ(exec(conn, "COMMIT"), 0) << error_of(conn);
    EXPECT_EQ(Observer().scalar("SELECT string_agg(id::text, ',' ORDER BY id) FROM " + t),
              "1,3,5,9");
}

// A query runs without a savepoint: its failure aborts the transaction, and the server then
// answers the COMMIT with ROLLBACK. That is no success.
TEST_F(PgModule, CommitAnsweredWithRollbackAsksForARerun) {
    DbConnection* conn = open();
    std::string t = table(conn, "rbc", "id integer");
    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0);
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1)"), 1);
    int32_t status = 0;
    EXPECT_EQ(g_mod.querysql(conn, "SELECT 1/0", &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_REJECTED);
    EXPECT_EQ(exec(conn, "COMMIT"), ZEL_RESULT_RERUN);
    EXPECT_NE(error_of(conn).find("COMMIT answered with ROLLBACK"), std::string::npos)
        << error_of(conn);
    EXPECT_EQ(Observer().scalar("SELECT count(*) FROM " + t), "0");
    // The connection is out of the transaction and usable.
    EXPECT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (2)"), 1) << error_of(conn);
    EXPECT_EQ(Observer().scalar("SELECT count(*) FROM " + t), "1");
}

TEST_F(PgModule, CancelledStatementsAndLockTimeoutsAskForARerun) {
    DbConnection* conn = open();
    std::string t = table(conn, "transient", "id integer PRIMARY KEY, v integer");
    ASSERT_EQ(exec(conn, "INSERT INTO " + t + " VALUES (1, 0)"), 1);

    ASSERT_EQ(exec(conn, "SET statement_timeout = 100"), 0) << error_of(conn);
    EXPECT_EQ(exec(conn, "SELECT pg_sleep(2)"), ZEL_RESULT_RERUN);
    EXPECT_EQ(g_mod.getlasterror(conn), 57014);
    int32_t status = 0;
    EXPECT_EQ(g_mod.querysql(conn, "SELECT pg_sleep(2)", &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_RERUN);
    ASSERT_EQ(exec(conn, "SET statement_timeout = 0"), 0);

    Params other;
    DbConnection* holder = open(other);
    ASSERT_EQ(exec(holder, "START TRANSACTION"), 0);
    ASSERT_EQ(exec(holder, "UPDATE " + t + " SET v = 1 WHERE id = 1"), 1);
    ASSERT_EQ(exec(conn, "SET lock_timeout = 100"), 0);
    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0);
    EXPECT_EQ(exec(conn, "UPDATE " + t + " SET v = 2 WHERE id = 1"), ZEL_RESULT_RERUN);
    EXPECT_EQ(g_mod.getlasterror(conn), 55);  // 55P03: the digits before the letter
    EXPECT_EQ(exec(conn, "ROLLBACK"), 0);
    EXPECT_EQ(exec(holder, "COMMIT"), 0);
}

// A value the escape call cannot take is no literal: the caller writes NULL instead.
TEST_F(PgModule, ValueThatCannotBeEscapedGivesNoLiteral) {
    DbConnection* conn = open();
    EXPECT_EQ(g_mod.add_value(conn, "ok \xC3\x28 no", 0), nullptr);
    EXPECT_NE(error_of(conn), "<none>");
    EXPECT_STREQ(g_mod.add_value(conn, "fine", 0), "'fine'");
}

// The supervisor reads a connection's error text while the connection's own thread keeps
// replacing it: every read is one whole text the module wrote, never a torn mix.
TEST_F(PgModule, ErrorTextReadFromAnotherThreadIsNeverTorn) {
    DbConnection* conn = open();
    ASSERT_EQ(g_mod.disconnect(conn), 1);
    const std::string a = "Not connected to the database server";
    const std::string b = "No statement given";
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::atomic<long> reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            const char* text = g_mod.geterrorstring(conn);
            if (text == nullptr) continue;
            std::string copy = text;
            if (copy != a && copy != b) ++torn;
            ++reads;
        }
    });
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    while (std::chrono::steady_clock::now() < until) {
        g_mod.executesql(conn, "SELECT 1");  // sets a
        g_mod.executesql(conn, nullptr);     // sets b
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
}

// --- a network that goes silent ------------------------------------------------------------

// A TCP proxy in front of the server. Forwarding, it passes bytes both ways; silent, it
// accepts connections and passes nothing, like a link or a host that stopped answering.
class Proxy {
  public:
    Proxy() {
        int error = 0;
        listener_ = platform_tcp_listen("127.0.0.1", 0, &port_, &error);
        if (listener_ >= 0) acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~Proxy() {
        done_ = true;
        if (listener_ >= 0) platform_socket_shutdown(listener_);
        if (acceptor_.joinable()) acceptor_.join();
        cut();
        std::lock_guard<std::mutex> hold(lock_);
        for (std::thread& pump : pumps_)
            if (pump.joinable()) pump.join();
        if (listener_ >= 0) platform_socket_close(listener_);
    }
    bool ok() const { return listener_ >= 0; }
    std::string port() const { return std::to_string(port_); }
    void set_forwarding(bool on) { forwarding_ = on; }
    // Ends every connection that passes through, as a restarted router would.
    void cut() {
        std::lock_guard<std::mutex> hold(lock_);
        for (intptr_t s : sockets_)
            platform_socket_shutdown(s);
    }

  private:
    void accept_loop() {
        while (!done_) {
            intptr_t client = platform_tcp_accept(listener_, 100);
            if (client == -2) return;
            if (client < 0) continue;
            std::lock_guard<std::mutex> hold(lock_);
            sockets_.push_back(client);
            pumps_.emplace_back([this, client] { serve(client); });
        }
    }
    void serve(intptr_t client) {
        // A silent proxy holds the connection and never reaches the server.
        while (!forwarding_ && !done_)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (done_) return;
        int error = 0;
        intptr_t server =
            platform_tcp_connect("127.0.0.1", std::stoi(g_env["ZEL_PG_PORT"]), 2000, &error);
        if (server < 0) {
            platform_socket_shutdown(client);
            return;
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            sockets_.push_back(server);
        }
        std::thread back([this, server, client] { pump(server, client); });
        pump(client, server);
        platform_socket_shutdown(server);
        back.join();
    }
    void pump(intptr_t from, intptr_t to) {
        char buffer[16384];
        while (!done_) {
            if (!forwarding_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            int ready = platform_socket_wait_readable(from, 50);
            if (ready < 0) break;
            if (ready == 0) continue;
            long n = platform_socket_read(from, buffer, sizeof buffer);
            if (n == -2) continue;
            if (n <= 0 || platform_socket_write_all(to, buffer, static_cast<size_t>(n), 2000) != 1)
                break;
        }
        platform_socket_shutdown(to);
    }

    intptr_t listener_ = -1;
    int port_ = 0;
    std::atomic<bool> forwarding_{true};
    std::atomic<bool> done_{false};
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<intptr_t> sockets_;
    std::vector<std::thread> pumps_;
};

// Runs `call` on a thread of its own and waits for it at most `limit`. When it does not
// return in time, `release` is run to unblock it (so that the test can end) and false is
// returned.
bool returns_within(std::chrono::milliseconds limit, const std::function<void()>& call,
                    const std::function<void()>& release) {
    std::packaged_task<void()> task(call);
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    bool in_time = done.wait_for(limit) == std::future_status::ready;
    if (!in_time) release();
    runner.join();
    return in_time;
}

// A silent server: a stop request ends the blocked reconnect at once, a reader meanwhile
// learns why the connection is down, and the built connection string bounds a connect.
TEST_F(PgModule, SilentServerDoesNotBlockForEver) {
    Proxy proxy;
    ASSERT_TRUE(proxy.ok());
    Params p;
    p.server = "127.0.0.1";
    p.port = proxy.port();
    p.point();
    DbConnection* conn = open(p);
    ASSERT_EQ(exec(conn, "SELECT 1"), 1) << error_of(conn);

    // The link is cut and whatever answers now says nothing.
    proxy.set_forwarding(false);
    proxy.cut();
    EXPECT_EQ(exec(conn, "SELECT 1"), ZEL_RESULT_LOST);
    const std::string lost = error_of(conn);
    ASSERT_NE(lost, "<none>");

    std::atomic<bool> returned{false};
    std::thread loop([&] {
        g_mod.reconnect(conn);
        returned = true;
    });
    for (int i = 0; i < 100 && g_mod.get_status(conn) != ZEL_STATUS_RECONNECTING; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the attempt now waits
    EXPECT_FALSE(returned.load());
    // The supervisor's view while the attempt waits: the last real error, not nothing.
    EXPECT_EQ(error_of(conn), lost);

    auto asked = std::chrono::steady_clock::now();
    g_mod.set_status(conn, ZEL_STATUS_STOP);
    for (int i = 0; i < 300 && !returned.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto took = std::chrono::steady_clock::now() - asked;
    if (!returned.load()) proxy.set_forwarding(true);  // lets a connect that ignored it end
    loop.join();
    EXPECT_LT(took, std::chrono::milliseconds(1000)) << "the stop request did not end the connect";
    EXPECT_EQ(g_mod.get_status(conn), ZEL_STATUS_STOP);

    // A connect to the silent server gives up after the default connect_timeout.
    proxy.set_forwarding(false);
    DbConnection* fresh = g_mod.create(&p.block);
    ASSERT_NE(fresh, nullptr);
    opened_.push_back(fresh);
    int32_t connected = -1;
    auto start = std::chrono::steady_clock::now();
    bool in_time = returns_within(
        std::chrono::seconds(20), [&] { connected = g_mod.connect(fresh); },
        [&] { proxy.set_forwarding(true); });
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(in_time) << "the connect did not give up";
    EXPECT_EQ(connected, 0);
    EXPECT_GE(waited, std::chrono::seconds(9));
    EXPECT_LT(waited, std::chrono::seconds(13));
    EXPECT_NE(error_of(fresh).find("connect_timeout"), std::string::npos) << error_of(fresh);
}

// A stop request ends the wait for an answer that is under way, but a statement sent after
// the request (the drain's last writes, the stop mark in the status table) is answered: it
// was once given up at once, and every stop logged the stop mark as an SQL error.
TEST_F(PgModule, StopEndsAWaitUnderWayButAStatementSentAfterItIsAnswered) {
    DbConnection* conn = open();
    ASSERT_EQ(exec(conn, "SELECT 1"), 1) << error_of(conn);

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        g_mod.set_status(conn, ZEL_STATUS_STOP);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(exec(conn, "SELECT pg_sleep(5)"), ZEL_RESULT_LOST);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_NE(error_of(conn).find("stop was requested"), std::string::npos) << error_of(conn);

    DbConnection* later = open();
    g_mod.set_status(later, ZEL_STATUS_STOP);
    EXPECT_EQ(exec(later, "SELECT pg_sleep(0.3)"), 1) << error_of(later);

    // Sent after the stop to a server that does not answer: given up within the bound, not
    // after the answer timeout.
    Proxy proxy;
    ASSERT_TRUE(proxy.ok());
    Params p;
    p.server = "127.0.0.1";
    p.port = proxy.port();
    p.block.answer_timeout = 60;
    p.point();
    DbConnection* silent = open(p);
    ASSERT_EQ(exec(silent, "SELECT 1"), 1) << error_of(silent);
    proxy.set_forwarding(false);
    // A pump already waiting for bytes would still pass the next ones: let it park first.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_mod.set_status(silent, ZEL_STATUS_STOP);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(exec(silent, "SELECT 1"), ZEL_RESULT_LOST);
    auto took = std::chrono::steady_clock::now() - start;
    proxy.set_forwarding(true);
    EXPECT_GE(took, std::chrono::milliseconds(4500));
    EXPECT_LT(took, std::chrono::milliseconds(8000));
}

// A hung first host (it accepts the connection and never answers) uses up its own
// connect_timeout only: the next host of the list is tried after it, as libpq's blocking
// connect would. A failure names every host tried.
TEST_F(PgModule, HungHostInAListDoesNotHideTheNextOne) {
    Proxy proxy;
    ASSERT_TRUE(proxy.ok());
    proxy.set_forwarding(false);
    auto text = [&](const std::string& ports) {
        return "host=127.0.0.1,127.0.0.1 port=" + ports + " dbname=" + g_env["ZEL_PG_DBNAME"] +
               " user=" + g_env["ZEL_PG_USER"] + " password=" + g_env["ZEL_PG_PASSWORD"] +
               " connect_timeout=2";
    };
    Params p;
    p.connectionstring = text(proxy.port() + "," + g_env["ZEL_PG_PORT"]);
    p.point();
    DbConnection* conn = g_mod.create(&p.block);
    ASSERT_NE(conn, nullptr);
    opened_.push_back(conn);
    int32_t connected = -1;
    auto start = std::chrono::steady_clock::now();
    bool in_time = returns_within(
        std::chrono::seconds(20), [&] { connected = g_mod.connect(conn); },
        [&] { proxy.set_forwarding(true); });
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(in_time);
    EXPECT_EQ(connected, 1) << error_of(conn);
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::seconds(6));
    EXPECT_EQ(exec(conn, "SELECT 1"), 1) << error_of(conn);

    // Both hosts fail: the reasons of both, each with its host.
    p.connectionstring = text(proxy.port() + ",1");
    p.point();
    EXPECT_EQ(g_mod.connect(conn), 0);
    const std::string error = error_of(conn);
    EXPECT_NE(error.find("127.0.0.1:" + proxy.port() + ": No answer"), std::string::npos) << error;
    EXPECT_NE(error.find("; 127.0.0.1:1: "), std::string::npos) << error;
    EXPECT_NE(error.find("refused"), std::string::npos) << error;
    EXPECT_EQ(error.find(g_env["ZEL_PG_PASSWORD"]), std::string::npos);
}

// A connection string libpq cannot read is reported without a word of it.
TEST_F(PgModule, MalformedConnectionStringIsNotEchoed) {
    Params p;
    p.connectionstring = "host=127.0.0.1 password='Sup3r-s3cret dbname=x";
    p.point();
    DbConnection* conn = g_mod.create(&p.block);
    ASSERT_NE(conn, nullptr);
    opened_.push_back(conn);
    EXPECT_EQ(g_mod.connect(conn), 0);
    EXPECT_NE(error_of(conn).find("connectionstring"), std::string::npos) << error_of(conn);
    EXPECT_EQ(error_of(conn).find("s3cret"), std::string::npos) << error_of(conn);
    p.connectionstring = "host=127.0.0.1 Sup3r-s3cret";
    p.point();
    EXPECT_EQ(g_mod.connect(conn), 0);
    EXPECT_EQ(error_of(conn).find("s3cret"), std::string::npos) << error_of(conn);
}

// --- the null connection ------------------------------------------------------------------------

TEST_F(PgModule, NullConnectionIsNeverACrash) {
    int32_t status = 0;
    char buffer[ZEL_COLUMN_TEXT_SIZE];
    ServerInfo info{};
    EXPECT_EQ(g_mod.connect(nullptr), 0);
    EXPECT_EQ(g_mod.disconnect(nullptr), -1);
    EXPECT_EQ(g_mod.destroy(nullptr), -1);
    EXPECT_EQ(g_mod.getlasterror(nullptr), -1);
    EXPECT_EQ(g_mod.geterrorstring(nullptr), nullptr);
    EXPECT_EQ(g_mod.executesql(nullptr, "SELECT 1"), ZEL_RESULT_FAILED);
    EXPECT_EQ(g_mod.querysql(nullptr, "SELECT 1", &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_FAILED);
    EXPECT_EQ(g_mod.add_value(nullptr, "x", 0), nullptr);
    EXPECT_EQ(g_mod.get_status(nullptr), 0);
    g_mod.set_status(nullptr, 2);
    g_mod.reconnect(nullptr);
    g_mod.freeresult(nullptr);
    g_mod.free_databaseinfo(nullptr);
    EXPECT_EQ(g_mod.get_databaseinfo(nullptr), nullptr);
    EXPECT_EQ(g_mod.add_column(nullptr, buffer, "c", "int", nullptr, 1, 0, ZEL_COLUMN_RENDER), 0);
    EXPECT_EQ(g_mod.get_info(nullptr, &info, sizeof info), -1);

    DbConnection* conn = open();
    EXPECT_EQ(g_mod.add_value(conn, nullptr, 0), nullptr);
    EXPECT_EQ(g_mod.executesql(conn, nullptr), ZEL_RESULT_FAILED);
}

}  // namespace

// --- batches ---------------------------------------------------------------------------------

namespace {

// One statement's outcome of a batch, as the test compares it.
struct Ran {
    int32_t result;
    std::string error;
};

std::vector<Ran> batch(DbConnection* conn, const std::vector<std::string>& texts) {
    std::vector<const char*> statements;
    for (const std::string& text : texts)
        statements.push_back(text.c_str());
    std::vector<ZelBatchResult> results(texts.size());
    int32_t n = g_mod.executebatch(conn, statements.data(), static_cast<int32_t>(texts.size()),
                                   results.data());
    std::vector<Ran> out;
    for (int32_t i = 0; i < n; ++i)
        out.push_back(Ran{results[i].result, results[i].error ? results[i].error : ""});
    return out;
}

}  // namespace

// Inside a transaction every statement of a batch fails alone, even one the server cannot
// parse or one with bytes that are no UTF-8, and each result is the statement's own: the
// good rows before and after them are stored, the update that matched nothing says so.
TEST_F(PgModule, BatchInsideATransactionAnswersEachStatementAlone) {
    DbConnection* conn = open();
    std::string t = table(conn, "bt", "id integer PRIMARY KEY, v text");
    auto insert = [&](int id, const std::string& value) {
        return "INSERT INTO " + t + " VALUES (" + std::to_string(id) + ", '" + value + "')";
    };
    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0);
    std::vector<Ran> ran = batch(conn, {insert(1, "a"), insert(2, "bad \xC3\x28 bytes"),
                                        "UPDATE " + t + " SET v = 'x' WHERE id = 99", insert(3, "b"),
                                        "INSERTT INTO " + t + " VALUES (4, 'x')", insert(1, "dup"),
                                        "UPDATE " + t + " SET v = 'c' WHERE id = 3", insert(5, "\xFF")});
    ASSERT_EQ(ran.size(), 8u);
    EXPECT_EQ(ran[0].result, 1);
    EXPECT_EQ(ran[1].result, ZEL_RESULT_REJECTED);
    EXPECT_NE(ran[1].error.find("invalid byte sequence"), std::string::npos) << ran[1].error;
    EXPECT_EQ(ran[2].result, 0);
    EXPECT_EQ(ran[2].error, "Affected rows:0");
    EXPECT_EQ(ran[3].result, 1) << ran[3].error;
    EXPECT_EQ(ran[4].result, ZEL_RESULT_REJECTED);
    EXPECT_NE(ran[4].error.find("syntax error"), std::string::npos) << ran[4].error;
    EXPECT_EQ(ran[5].result, ZEL_RESULT_FAILED);
    EXPECT_NE(ran[5].error.find("duplicate key"), std::string::npos) << ran[5].error;
    EXPECT_EQ(ran[6].result, 1) << ran[6].error;
    EXPECT_EQ(ran[7].result, ZEL_RESULT_REJECTED);
    // The last statement failed: the connection's own error describes it.
    EXPECT_EQ(g_mod.getlasterror(conn), 22021);
    EXPECT_EQ(exec(conn, "COMMIT"), 0) << error_of(conn);
    EXPECT_EQ(Observer().scalar("SELECT string_agg(id::text || v, ',' ORDER BY id) FROM " + t),
              "1a,3c");
}

// Outside a transaction the statements go out as plain queries; a failure ends the
// server's pipeline, and the module sends the statements behind it again.
TEST_F(PgModule, BatchOutsideATransactionRunsEveryStatementInOrder) {
    DbConnection* conn = open();
    std::string t = table(conn, "bp", "id integer PRIMARY KEY, v text");
    std::vector<Ran> ran =
        batch(conn, {"INSERT INTO " + t + " VALUES (1, 'a')", "INSERT INTO " + t + " VALUES (1, 'b')",
                     "INSERTT INTO " + t + " VALUES (2, 'x')", "INSERT INTO " + t + " VALUES (2, 'c')",
                     "UPDATE " + t + " SET v = v || 'd' WHERE id = 2",
                     "DELETE FROM " + t + " WHERE id = 7"});
    ASSERT_EQ(ran.size(), 6u);
    EXPECT_EQ(ran[0].result, 1);
    EXPECT_EQ(ran[1].result, ZEL_RESULT_FAILED);
    EXPECT_EQ(ran[2].result, ZEL_RESULT_REJECTED);
    EXPECT_EQ(ran[3].result, 1) << ran[3].error;
    EXPECT_EQ(ran[4].result, 1) << ran[4].error;
    EXPECT_EQ(ran[5].result, 0);
    EXPECT_EQ(Observer().scalar("SELECT string_agg(id::text || v, ',' ORDER BY id) FROM " + t),
              "1a,2cd");
    // Transaction statements in a batch change the module's view of the transaction as they
    // would alone: the statements between them get their savepoints.
    ran = batch(conn, {"START TRANSACTION", "INSERTT nothing", "INSERT INTO " + t + " VALUES (3, 'e')",
                       "COMMIT"});
    ASSERT_EQ(ran.size(), 4u);
    EXPECT_EQ(ran[1].result, ZEL_RESULT_REJECTED);
    EXPECT_EQ(ran[3].result, 0) << ran[3].error;
    EXPECT_EQ(Observer().scalar("SELECT count(*) FROM " + t), "3");
}

// A backend that ends in the middle of a batch: the statements before it ran, the one it
// ended in reports the lost connection, and nothing after it is reported at all. Inside a
// transaction nothing of it was committed; a transaction the server had given up already
// asks for a rerun at the first statement.
TEST_F(PgModule, BatchStopsAtALostConnectionOrAGivenUpTransaction) {
    DbConnection* conn = open();
    std::string t = table(conn, "bk", "id integer");
    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0);
    std::vector<Ran> ran = batch(conn, {"INSERT INTO " + t + " VALUES (1)",
                                        "SELECT pg_terminate_backend(pg_backend_pid())",
                                        "INSERT INTO " + t + " VALUES (2)"});
    ASSERT_EQ(ran.size(), 2u);
    EXPECT_EQ(ran[0].result, 1);
    EXPECT_EQ(ran[1].result, ZEL_RESULT_LOST);
    g_mod.reconnect(conn);
    ASSERT_EQ(g_mod.get_status(conn), ZEL_STATUS_CONNECTED);
    EXPECT_EQ(Observer().scalar("SELECT count(*) FROM " + t), "0");

    // Outside a transaction the statements before the end are written.
    terminate_backend(conn);
    ran = batch(conn, {"INSERT INTO " + t + " VALUES (3)"});
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].result, ZEL_RESULT_LOST);
    g_mod.reconnect(conn);
    ran = batch(conn, {"INSERT INTO " + t + " VALUES (4)",
                       "SELECT pg_terminate_backend(pg_backend_pid())",
                       "INSERT INTO " + t + " VALUES (5)"});
    ASSERT_EQ(ran.size(), 2u);
    EXPECT_EQ(ran[1].result, ZEL_RESULT_LOST);
    EXPECT_EQ(Observer().scalar("SELECT string_agg(id::text, ',') FROM " + t), "4");
    g_mod.reconnect(conn);

    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0);
    int32_t status = 0;
    EXPECT_EQ(g_mod.querysql(conn, "SELECT 1/0", &status), nullptr);
    ran = batch(conn, {"INSERT INTO " + t + " VALUES (6)", "INSERT INTO " + t + " VALUES (7)"});
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].result, ZEL_RESULT_RERUN);
    EXPECT_EQ(exec(conn, "ROLLBACK"), 0);
    EXPECT_EQ(batch(nullptr, {"SELECT 1"}).size(), 0u);
}

// START TRANSACTION at the head of a batch goes out with the statements behind it: they run
// inside the transaction it opens (a ROLLBACK takes them all), and when it cannot run,
// nothing behind it does.
TEST_F(PgModule, BatchOpeningItsTransactionRunsItsStatementsInside) {
    DbConnection* conn = open();
    std::string t = table(conn, "bo", "id integer PRIMARY KEY");
    auto insert = [&](int id) { return "INSERT INTO " + t + " VALUES (" + std::to_string(id) + ")"; };
    auto stored = [&] {
        return Observer().scalar("SELECT string_agg(id::text, ',' ORDER BY id) FROM " + t);
    };
    std::vector<Ran> ran = batch(conn, {"START TRANSACTION", insert(1), insert(1), insert(2)});
    ASSERT_EQ(ran.size(), 4u);
    EXPECT_EQ(ran[0].result, 0) << ran[0].error;
    EXPECT_EQ(ran[1].result, 1) << ran[1].error;
    EXPECT_EQ(ran[2].result, ZEL_RESULT_FAILED) << "the duplicate fails alone";
    EXPECT_EQ(ran[3].result, 1) << ran[3].error;
    EXPECT_EQ(stored(), "<null>") << "written before the transaction ends";
    EXPECT_EQ(exec(conn, "ROLLBACK"), 0) << error_of(conn);
    EXPECT_EQ(stored(), "<null>") << "the statements ran outside the transaction";

    ran = batch(conn, {"START TRANSACTION", insert(3), "COMMIT", "START TRANSACTION", insert(4)});
    ASSERT_EQ(ran.size(), 5u);
    EXPECT_EQ(ran[2].result, 0) << ran[2].error;
    EXPECT_EQ(exec(conn, "COMMIT"), 0) << error_of(conn);
    EXPECT_EQ(stored(), "3,4");

    terminate_backend(conn);
    ran = batch(conn, {"START TRANSACTION", insert(5), insert(6)});
    ASSERT_EQ(ran.size(), 1u) << "nothing runs behind an opening statement that failed";
    EXPECT_EQ(ran[0].result, ZEL_RESULT_LOST);
    g_mod.reconnect(conn);
    ASSERT_EQ(g_mod.get_status(conn), ZEL_STATUS_CONNECTED);
    EXPECT_EQ(stored(), "3,4");
}

// Whether a statement gets its savepoint is the server's answer, not a guess from the text
// that opened the transaction: one opened with BEGIN keeps a failing statement alone, run
// by itself and in a batch (where BEGIN itself may stand), and a transaction that went with
// its connection leaves none on the new one.
TEST_F(PgModule, SavepointsFollowTheServersTransactionState) {
    DbConnection* conn = open();
    std::string t = table(conn, "txs", "id integer PRIMARY KEY");
    Observer observer;
    auto insert = [&](int id) {
        return "INSERT INTO " + t + " VALUES (" + std::to_string(id) + ")";
    };
    auto stored = [&] {
        return observer.scalar("SELECT string_agg(id::text, ',' ORDER BY id) FROM " + t);
    };

    ASSERT_EQ(exec(conn, "BEGIN"), 0) << error_of(conn);
    EXPECT_EQ(exec(conn, insert(1)), 1) << error_of(conn);
    EXPECT_EQ(exec(conn, insert(1)), ZEL_RESULT_FAILED);
    EXPECT_EQ(exec(conn, insert(2)), 1) << "the failure took the transaction: " << error_of(conn);
    std::vector<Ran> ran = batch(conn, {insert(3), insert(2), insert(4)});
    ASSERT_EQ(ran.size(), 3u);
    EXPECT_EQ(ran[0].result, 1) << ran[0].error;
    EXPECT_EQ(ran[1].result, ZEL_RESULT_FAILED);
    EXPECT_EQ(ran[2].result, 1) << ran[2].error;
    EXPECT_EQ(stored(), "<null>") << "written before the COMMIT";
    EXPECT_EQ(exec(conn, "COMMIT"), 0) << error_of(conn);
    EXPECT_EQ(stored(), "1,2,3,4");

    ran = batch(conn, {"BEGIN", insert(5), insert(5), insert(6), "COMMIT"});
    ASSERT_EQ(ran.size(), 5u);
    EXPECT_EQ(ran[1].result, 1) << ran[1].error;
    EXPECT_EQ(ran[2].result, ZEL_RESULT_FAILED);
    EXPECT_EQ(ran[3].result, 1) << ran[3].error;
    EXPECT_EQ(ran[4].result, 0) << ran[4].error;
    EXPECT_EQ(stored(), "1,2,3,4,5,6");

    // Outside a transaction a statement takes effect at once.
    EXPECT_EQ(exec(conn, insert(7)), 1) << error_of(conn);
    EXPECT_EQ(stored(), "1,2,3,4,5,6,7");

    ASSERT_EQ(exec(conn, "START TRANSACTION"), 0);
    EXPECT_EQ(exec(conn, insert(8)), 1) << error_of(conn);
    terminate_backend(conn);
    EXPECT_EQ(exec(conn, insert(9)), ZEL_RESULT_LOST);
    g_mod.reconnect(conn);
    ASSERT_EQ(g_mod.get_status(conn), ZEL_STATUS_CONNECTED);
    EXPECT_EQ(exec(conn, insert(10)), 1) << error_of(conn);
    EXPECT_EQ(exec(conn, insert(10)), ZEL_RESULT_FAILED);
    EXPECT_EQ(stored(), "1,2,3,4,5,6,7,10") << "the new connection is in no transaction";
}
