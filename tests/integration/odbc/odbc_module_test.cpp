// The ODBC module against a real server and driver: the module file is loaded and its entry
// points bound by name, as zel's loader does. One binary serves every driver; CTest runs it
// once per server with ZEL_ODBC_SERVER set to postgresql, mariadb or sqlite and the server's
// env file (scripts/pg-server, scripts/mariadb-server) or the SQLite file in the environment.
// What the module stored is read back through a second connection of the same module, with
// autocommit on, so that a transaction left open cannot be mistaken for stored rows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynlib.h"
#include "zel_module.h"

namespace {

struct Module {
    void* library = nullptr;
    mod_init_fn init;
    mod_connect_fn connect;
    mod_disconnect_fn disconnect;
    mod_getlasterror_fn getlasterror;
    mod_geterrorstring_fn geterrorstring;
    mod_executesql_fn executesql;
    mod_add_value_fn add_value;
    mod_create_fn create;
    mod_destroy_fn destroy;
    mod_get_status_fn get_status;
    mod_get_databaseinfo_fn get_databaseinfo;
    mod_querysql_fn querysql;
    mod_freeresult_fn freeresult;
    mod_free_databaseinfo_fn free_databaseinfo;
    mod_add_column_fn add_column;
    mod_get_info_fn get_info;
    mod_reconnect_fn reconnect;
    mod_executebatch_fn executebatch;
};

Module g_mod;
std::string g_setup_error;
std::string g_server;      // postgresql, mariadb or sqlite
std::string g_connection;  // the driver connection string for the test database

template <typename Fn>
void bind(Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(platform_library_symbol(g_mod.library, name));
    if (slot == nullptr) g_setup_error += std::string("missing entry point ") + name + "; ";
}

std::map<std::string, std::string> read_env(const char* variable) {
    std::map<std::string, std::string> values;
    const char* path = std::getenv(variable);
    if (path == nullptr) return values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        values[line.substr(0, eq)] = value;
    }
    return values;
}

std::string suffix() {
    static const std::string text = std::to_string(std::random_device{}() % 100000000);
    return text;
}

std::string error_of(DbConnection* conn) {
    const char* text = g_mod.geterrorstring(conn);
    return text != nullptr ? text : "<none>";
}

class OdbcModule : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (g_mod.library != nullptr || !g_setup_error.empty()) return;
        const char* server = std::getenv("ZEL_ODBC_SERVER");
        g_server = server != nullptr ? server : "";
        if (g_server == "postgresql") {
            auto env = read_env("ZEL_PG_ENV");
            // A small fetch size: rows come from the server while they are fetched, so that a
            // failure can arrive in SQLFetch rather than in the statement's execution.
            g_connection =
                "DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=" + env["ZEL_PG_PORT"] +
                ";DATABASE=" + env["ZEL_PG_DBNAME"] + ";UID=" + env["ZEL_PG_USER"] +
                ";PWD=" + env["ZEL_PG_PASSWORD"] + ";UseDeclareFetch=1;Fetch=2;";
            if (env["ZEL_PG_PORT"].empty()) g_setup_error = "ZEL_PG_ENV names no server";
        } else if (g_server == "mariadb") {
            auto env = read_env("ZEL_MDB_ENV");
            g_connection = env["ZEL_MDB_ODBC"];
            if (g_connection.empty()) g_setup_error = "ZEL_MDB_ENV names no server";
        } else if (g_server == "sqlite") {
            const char* file = std::getenv("ZEL_ODBC_SQLITE_FILE");
            if (file == nullptr) {
                g_setup_error = "ZEL_ODBC_SQLITE_FILE is not set";
            } else {
                std::remove(file);
                g_connection = std::string("DRIVER={SQLite3};Database=") + file + ";Timeout=10000;";
            }
        } else {
            g_setup_error = "ZEL_ODBC_SERVER must be postgresql, mariadb or sqlite";
        }
        if (!g_setup_error.empty()) return;
        g_mod.library = platform_library_open(ZEL_ODBC_MODULE_PATH);
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
        bind(g_mod.add_value, "mod_add_value");
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
        for (auto& opened : opened_) {
            g_mod.disconnect(opened.conn);
            g_mod.destroy(opened.conn);
        }
    }

    struct Opened {
        DbConnection* conn;
        ZelModuleParams* params;
    };

    DbConnection* open(bool transactions) {
        blocks_.push_back(std::make_unique<ZelModuleParams>());
        ZelModuleParams* params = blocks_.back().get();
        params->connectionstring = g_connection.data();
        params->use_transactions = transactions ? 1 : 0;
        DbConnection* conn = g_mod.create(params);
        EXPECT_NE(conn, nullptr);
        if (conn == nullptr) return nullptr;
        opened_.push_back({conn, params});
        EXPECT_EQ(g_mod.connect(conn), 1) << error_of(conn);
        return conn;
    }

    int32_t exec(DbConnection* conn, const std::string& sql) {
        return g_mod.executesql(conn, sql.c_str());
    }

    // The values of a query, "<null>" for NULL; a failed query gives one "<error ...>" entry.
    std::vector<std::string> query(DbConnection* conn, const std::string& sql) {
        int32_t status = 99;
        ResultValue* node = g_mod.querysql(conn, sql.c_str(), &status);
        std::vector<std::string> out;
        if (status != 0)
            out.push_back("<error " + std::to_string(status) + ": " + error_of(conn) + ">");
        for (; node != nullptr; node = node->next)
            out.push_back(node->value ? node->value : "<null>");
        g_mod.freeresult(conn);
        return out;
    }

    std::string table(DbConnection* conn, const std::string& stem, const std::string& columns) {
        std::string name = "t_" + stem + "_" + suffix();
        exec(conn, "DROP TABLE IF EXISTS " + name);
        EXPECT_EQ(exec(conn, "CREATE TABLE " + name + " (" + columns + ")"), 0) << error_of(conn);
        return name;
    }

    struct Batch {
        int32_t ran = 0;
        std::vector<int32_t> results;     // of the statements that ran
        std::vector<std::string> errors;  // "<none>" for a null text
        std::vector<int32_t> codes;
    };

    static Batch batch(DbConnection* conn, const std::vector<std::string>& texts) {
        std::vector<const char*> pointers;
        for (const std::string& text : texts)
            pointers.push_back(text.c_str());
        std::vector<ZelBatchResult> out(texts.size(), ZelBatchResult{99, 99, nullptr});
        Batch run;
        run.ran = g_mod.executebatch(conn, pointers.data(), static_cast<int32_t>(pointers.size()),
                                     out.data());
        for (int32_t i = 0; i < run.ran && i < static_cast<int32_t>(out.size()); ++i) {
            run.results.push_back(out[i].result);
            run.errors.push_back(out[i].error != nullptr ? out[i].error : "<none>");
            run.codes.push_back(out[i].error_code);
        }
        return run;
    }

    std::vector<Opened> opened_;
    std::vector<std::unique_ptr<ZelModuleParams>> blocks_;
};

TEST_F(OdbcModule, DetectsTheServerBehindTheDriver) {
    DbConnection* conn = open(false);
    ServerInfo info{};
    ASSERT_EQ(g_mod.get_info(conn, &info, sizeof info), 1);
    ASSERT_NE(info.version, nullptr);
    const std::string expected = g_server == "postgresql" ? "PostgreSQL "
                                 : g_server == "mariadb"  ? "MariaDB "
                                                          : "SQLite ";
    EXPECT_EQ(std::string(info.version).rfind(expected, 0), 0u) << info.version;
    EXPECT_EQ(info.transaction_start, nullptr);
    std::free(info.version);
    EXPECT_EQ(g_mod.get_info(conn, &info, 8), 0);
}

// Quoting follows the server that was detected: every text comes back as it was given.
// '50%_off' is the value that the old MySQL escaping stored as 50\%\_off.
TEST_F(OdbcModule, QuotedValuesComeBackUnchanged) {
    DbConnection* conn = open(false);
    std::string name = table(conn, "quote", "id int NOT NULL PRIMARY KEY, v varchar(200)");
    const std::vector<std::string> values = {"50%_off",
                                             "O'Brien",
                                             "back\\slash",
                                             "C:\\temp\\",
                                             "say \"hi\"",
                                             "tab\there",
                                             "line\nbreak",
                                             "\\%\\_",
                                             "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                                             "",
                                             "''\\''"};
    for (size_t i = 0; i < values.size(); ++i) {
        const char* literal = g_mod.add_value(conn, values[i].c_str(), 0);
        ASSERT_NE(literal, nullptr);
        EXPECT_EQ(exec(conn, "INSERT INTO " + name + " VALUES (" + std::to_string(i) + "," +
                                 literal + ")"),
                  1)
            << literal << " " << error_of(conn);
    }
    for (size_t i = 0; i < values.size(); ++i) {
        auto got = query(conn, "SELECT v FROM " + name + " WHERE id=" + std::to_string(i));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], values[i]) << "value " << i;
    }
    // The character limit cuts whole characters: two of "é€😀" are five bytes.
    const char* cut = g_mod.add_value(conn, "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", 2);
    ASSERT_NE(cut, nullptr);
    EXPECT_NE(std::string(cut).find("\xc3\xa9\xe2\x82\xac'"), std::string::npos) << cut;
    EXPECT_EQ(std::string(cut).find("\xf0"), std::string::npos);
}

// An UPDATE that writes the values already stored matched its row: zel's update-first path
// must not fall back to an INSERT, which would fail on the key.
TEST_F(OdbcModule, AnUpdateWithTheStoredValuesCountsItsRow) {
    DbConnection* conn = open(false);
    std::string name = table(conn, "found", "id int NOT NULL PRIMARY KEY, bid decimal(18,4)");
    ASSERT_EQ(exec(conn, "INSERT INTO " + name + " VALUES (1, 10.5)"), 1) << error_of(conn);
    EXPECT_EQ(exec(conn, "UPDATE " + name + " SET bid=10.5 WHERE id=1"), 1) << error_of(conn);
    EXPECT_EQ(exec(conn, "UPDATE " + name + " SET bid=10.5 WHERE id=1"), 1) << error_of(conn);
    EXPECT_EQ(exec(conn, "UPDATE " + name + " SET bid=11 WHERE id=2"), 0);
}

// With transactions, one failing statement in the middle loses only itself: the others are
// committed. On PostgreSQL this needs the driver's statement-level rollback, or the rest
// of the transaction fails with 25P02 and the whole batch would be run again for ever.
TEST_F(OdbcModule, AFailingStatementInATransactionLeavesTheOthers) {
    DbConnection* writer = open(true);
    DbConnection* reader = open(false);
    std::string name = table(reader, "stmt", "id int NOT NULL PRIMARY KEY, v varchar(10)");
    ASSERT_EQ(exec(writer, "INSERT INTO " + name + " VALUES (1,'a')"), 1) << error_of(writer);
    EXPECT_EQ(exec(writer, "INSERT INTO " + name + " VALUES (1,'dup')"), ZEL_RESULT_FAILED);
    // SQLite's driver has one SQLSTATE for every failure; the others say "integrity".
    EXPECT_NE(error_of(writer).find(g_server == "sqlite" ? "UNIQUE" : "(23"), std::string::npos)
        << error_of(writer);
    EXPECT_EQ(exec(writer, "INSERT INTO " + name + " VALUES (2,'b')"), 1) << error_of(writer);
    EXPECT_EQ(exec(writer, "INSERT INTO no_such_table_" + suffix() + " VALUES (1)"),
              ZEL_RESULT_REJECTED);
    EXPECT_EQ(exec(writer, "UPDATE " + name + " SET v='c' WHERE id=2"), 1) << error_of(writer);
    // Nothing is visible before the commit (SQLite's reader would wait for the lock).
    if (g_server != "sqlite") {
        EXPECT_EQ(query(reader, "SELECT count(*) FROM " + name), std::vector<std::string>{"0"});
    }
    EXPECT_EQ(exec(writer, "COMMIT"), 0) << error_of(writer);
    EXPECT_EQ(query(reader, "SELECT id, v FROM " + name + " ORDER BY id"),
              (std::vector<std::string>{"1", "a", "2", "c"}));
}

// The open transaction is committed when the connection is closed, not lost.
TEST_F(OdbcModule, DisconnectCommitsTheOpenTransaction) {
    DbConnection* writer = open(true);
    DbConnection* reader = open(false);
    std::string name = table(reader, "disc", "id int NOT NULL PRIMARY KEY");
    ASSERT_EQ(exec(writer, "INSERT INTO " + name + " VALUES (7)"), 1) << error_of(writer);
    ASSERT_EQ(g_mod.disconnect(writer), 1);
    EXPECT_EQ(query(reader, "SELECT id FROM " + name), std::vector<std::string>{"7"});
    // A statement on the closed connection asks for a reconnect, which brings it back.
    EXPECT_EQ(exec(writer, "DELETE FROM " + name), ZEL_RESULT_LOST);
    g_mod.reconnect(writer);
    EXPECT_EQ(g_mod.get_status(writer), ZEL_STATUS_CONNECTED);
    EXPECT_EQ(exec(writer, "DELETE FROM " + name), 1) << error_of(writer);
    EXPECT_EQ(exec(writer, "COMMIT"), 0);
    EXPECT_EQ(query(reader, "SELECT count(*) FROM " + name), std::vector<std::string>{"0"});
}

TEST_F(OdbcModule, QueriesReadRowsNullsAndLongValues) {
    DbConnection* conn = open(false);
    std::string name = table(conn, "rows", "id int NOT NULL PRIMARY KEY, v varchar(4000)");
    const std::string long_value(3000, 'x');
    ASSERT_EQ(exec(conn, "INSERT INTO " + name + " VALUES (1, NULL)"), 1);
    ASSERT_EQ(exec(conn, "INSERT INTO " + name + " VALUES (2, '" + long_value + "\xc3\xa9')"), 1);
    EXPECT_EQ(query(conn, "SELECT id, v FROM " + name + " ORDER BY id"),
              (std::vector<std::string>{"1", "<null>", "2", long_value + "\xc3\xa9"}));
    EXPECT_TRUE(query(conn, "SELECT id FROM " + name + " WHERE id=3").empty());
    auto failed = query(conn, "SELECT nothing FROM " + name);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].rfind("<error -4", 0), 0u) << failed[0];
}

// A row that fails while it is fetched ends the reading with the driver's error: no part of
// the answer is handed out as if it were all of it.
TEST_F(OdbcModule, AFailingFetchReportsItsError) {
    DbConnection* conn = open(false);
    std::string sql;
    if (g_server == "postgresql")
        sql = "SELECT 10/(3-x) FROM generate_series(1,6) AS s(x)";
    else if (g_server == "sqlite")
        sql =
            "WITH RECURSIVE s(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM s WHERE x<6) "
            "SELECT CASE WHEN x=3 THEN abs(-9223372036854775807-1) ELSE x END FROM s";
    else
        FAIL() << "no fetch that fails on " << g_server << " (CTest filters this case out)";
    int32_t status = 99;
    ResultValue* rows = g_mod.querysql(conn, sql.c_str(), &status);
    EXPECT_EQ(rows, nullptr);
    EXPECT_LT(status, 0);
    EXPECT_NE(error_of(conn), "<none>");
    g_mod.freeresult(conn);
    EXPECT_EQ(query(conn, "SELECT 1"), std::vector<std::string>{"1"});
}

// The description maps the driver's names to the table-definition vocabulary, and both
// sides of the check render the same text for the columns of the example schemas.
TEST_F(OdbcModule, DescriptionMatchesTheDefinitionsVocabulary) {
    DbConnection* conn = open(false);
    std::string types;
    if (g_server == "postgresql")
        types =
            "a numeric(20,0) NOT NULL, b numeric(18,4), c character varying(64), d text, "
            "e time without time zone, f date, g integer, h double precision, i character(3), "
            "j timestamp without time zone";
    else if (g_server == "mariadb")
        types =
            "a bigint NOT NULL, b decimal(18,4), c varchar(64), d mediumtext, e time, f date, "
            "g int, h double, i char(3), j datetime";
    else
        types =
            "a bigint NOT NULL, b decimal(18,4), c varchar(64), d mediumtext, e time, f date, "
            "g int, h double, i char(3), j datetime";
    std::string name = table(conn, "desc", types);
    struct Want {
        const char* column;
        const char* type;
        const char* len;
        bool nullable;
    };
    const char* stamp = g_server == "postgresql" ? "timestamp without time zone" : "datetime";
    const Want wanted[] = {{"a", "bigint", nullptr, false}, {"b", "decimal", "18,4", true},
                           {"c", "varchar", "64", true},    {"d", "mediumtext", nullptr, true},
                           {"e", "time", nullptr, true},    {"f", "date", nullptr, true},
                           {"g", "int", nullptr, true},     {"h", "double", nullptr, true},
                           {"i", "char", "3", true},        {"j", stamp, nullptr, true}};
    ColumnInfo* list = g_mod.get_databaseinfo(conn);
    ASSERT_NE(list, nullptr) << error_of(conn);
    for (const Want& want : wanted) {
        const ColumnInfo* found = nullptr;
        for (const ColumnInfo* c = list; c != nullptr; c = c->next)
            if (name == c->table && std::string(want.column) == c->column) found = c;
        ASSERT_NE(found, nullptr) << want.column;
        // As the check compares: a definition without a length ignores the database's.
        const char* size =
            want.len == nullptr && std::string(want.type) == found->type ? nullptr : found->size;
        char database_text[ZEL_COLUMN_TEXT_SIZE];
        char definition_text[ZEL_COLUMN_TEXT_SIZE];
        ASSERT_EQ(g_mod.add_column(conn, database_text, "", found->type, size, found->nullable,
                                   found->is_unsigned, ZEL_COLUMN_RENDER),
                  1);
        ASSERT_EQ(g_mod.add_column(conn, definition_text, "", want.type, want.len, want.nullable, 0,
                                   ZEL_COLUMN_RENDER),
                  1);
        EXPECT_STREQ(database_text, definition_text)
            << want.column << ": driver type " << found->type << " size "
            << (found->size ? found->size : "-");
    }
    g_mod.free_databaseinfo(list);

    // A column added by the check's repair lands with the type it renders.
    std::string table_name = name;
    ASSERT_EQ(g_mod.add_column(conn, table_name.data(), "k", "varchar", "12", 1, 0, ZEL_COLUMN_ADD),
              1)
        << error_of(conn);
    EXPECT_EQ(exec(conn, "INSERT INTO " + name + " (a, k) VALUES (1, 'twelve chars')"), 1)
        << error_of(conn);
}
}  // namespace

namespace {

// A session the server ends is a lost connection (-2), whatever the driver's words for it,
// and mod_reconnect brings it back: zel then reruns the open batch instead of counting
// every following statement as failed.
TEST_F(OdbcModule, ASessionEndedByTheServerIsALostConnection) {
    DbConnection* victim = open(true);
    DbConnection* killer = open(false);
    std::string id_query, kill_statement;
    if (g_server == "postgresql") {
        id_query = "SELECT pg_backend_pid()";
        kill_statement = "SELECT pg_terminate_backend(";
    } else if (g_server == "mariadb") {
        id_query = "SELECT CONNECTION_ID()";
        kill_statement = "KILL CONNECTION ";
    } else {
        FAIL() << "a SQLite file has no sessions to end (CTest filters this case out)";
    }
    std::string table_name = table(killer, "lost", "id int NOT NULL PRIMARY KEY");
    auto id = query(victim, id_query);
    ASSERT_EQ(id.size(), 1u);
    ASSERT_EQ(exec(victim, "INSERT INTO " + table_name + " VALUES (1)"), 1) << error_of(victim);
    if (g_server == "postgresql")
        query(killer, kill_statement + id[0] + ")");
    else
        exec(killer, kill_statement + id[0]);
    EXPECT_EQ(exec(victim, "INSERT INTO " + table_name + " VALUES (2)"), ZEL_RESULT_LOST)
        << error_of(victim);
    g_mod.reconnect(victim);
    ASSERT_EQ(g_mod.get_status(victim), ZEL_STATUS_CONNECTED);
    // The transaction died with the session: row 1 is gone, the connection works again.
    EXPECT_EQ(exec(victim, "INSERT INTO " + table_name + " VALUES (3)"), 1) << error_of(victim);
    EXPECT_EQ(exec(victim, "COMMIT"), 0);
    EXPECT_EQ(query(killer, "SELECT id FROM " + table_name), std::vector<std::string>{"3"});
}

}  // namespace

namespace {

TEST_F(OdbcModule, NullConnectionsAndHarmlessCommits) {
    int32_t status = 0;
    EXPECT_EQ(g_mod.executesql(nullptr, "SELECT 1"), ZEL_RESULT_FAILED);
    EXPECT_EQ(g_mod.querysql(nullptr, "SELECT 1", &status), nullptr);
    EXPECT_LT(status, 0);
    EXPECT_EQ(g_mod.getlasterror(nullptr), -1);
    EXPECT_EQ(g_mod.get_status(nullptr), 0);
    EXPECT_EQ(g_mod.add_value(nullptr, "x", 0), nullptr);
    EXPECT_EQ(g_mod.connect(nullptr), 0);
    EXPECT_EQ(g_mod.destroy(nullptr), 0);
    ServerInfo info{};
    EXPECT_EQ(g_mod.get_info(nullptr, &info, sizeof info), -1);

    // A COMMIT with autocommit on is harmless; an UPDATE that matches nothing is 0 rows,
    // whether the driver says "no data" (PostgreSQL, SQLite) or counts 0 (MariaDB).
    DbConnection* conn = open(false);
    EXPECT_EQ(exec(conn, "COMMIT"), 0) << error_of(conn);
    std::string name = table(conn, "none", "id int NOT NULL PRIMARY KEY");
    EXPECT_EQ(exec(conn, "UPDATE " + name + " SET id=2 WHERE id=1"), 0);
    EXPECT_EQ(error_of(conn), "No rows matched the WHERE statement");
    // A connection string is required.
    ZelModuleParams empty{};
    DbConnection* bare = g_mod.create(&empty);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(g_mod.connect(bare), 0);
    EXPECT_EQ(error_of(bare), "A Connection String is required for this module");
    g_mod.destroy(bare);
}

}  // namespace

namespace {

// A batch inside a transaction: every statement answers as it would alone (found rows, no
// row matched, a duplicate key with its own SQLSTATE and error number, an unknown table),
// the batch stops after the failing statement, those before it stay in the transaction
// and those after it land when they are sent again. On MariaDB the statements go out as
// one text, and the server reports a failure after the first statement only in its
// diagnostics area: a duplicate there must still be -1 with the server's code, not -4.
TEST_F(OdbcModule, ABatchStopsAtItsFailingStatementAndTheRestLandWhenSentAgain) {
    DbConnection* writer = open(true);
    DbConnection* reader = open(false);
    std::string name = table(reader, "batch", "id int NOT NULL PRIMARY KEY, v varchar(20)");
    const std::string dup = "INSERT INTO " + name + " VALUES (1,'dup')";
    Batch run = batch(
        writer,
        {"INSERT INTO " + name + " VALUES (1,'a')", "UPDATE " + name + " SET v='a' WHERE id=1",
         "UPDATE " + name + " SET v='z' WHERE id=9", dup, "INSERT INTO " + name + " VALUES (2,'b')",
         "UPDATE " + name + " SET v='c' WHERE id=2"});
    ASSERT_EQ(run.ran, 4) << error_of(writer);
    EXPECT_EQ(run.results, (std::vector<int32_t>{1, 1, 0, ZEL_RESULT_FAILED}));
    EXPECT_EQ(run.errors[0], "<none>");
    EXPECT_EQ(run.errors[2], "No rows matched the WHERE statement");
    EXPECT_NE(run.errors[3].find(g_server == "sqlite" ? "UNIQUE" : "(23"), std::string::npos)
        << run.errors[3];
    if (g_server == "mariadb") {
        EXPECT_EQ(run.codes[3], 1062);
    }
    // The connection describes the statement the batch stopped at ...
    EXPECT_EQ(error_of(writer), run.errors[3]);
    EXPECT_EQ(g_mod.getlasterror(writer), run.codes[3]);
    // ... in the very words the statement gets when it runs alone.
    EXPECT_EQ(exec(writer, dup), ZEL_RESULT_FAILED);
    EXPECT_EQ(error_of(writer), run.errors[3]);
    EXPECT_EQ(g_mod.getlasterror(writer), run.codes[3]);

    run = batch(writer, {"INSERT INTO " + name + " VALUES (2,'b')",
                         "UPDATE " + name + " SET v='c' WHERE id=2",
                         "INSERT INTO " + name + " VALUES (3,'d')",
                         "INSERT INTO no_such_table_" + suffix() + " VALUES (1)",
                         "INSERT INTO " + name + " VALUES (4,'e')"});
    ASSERT_EQ(run.ran, 4) << error_of(writer);
    EXPECT_EQ(run.results, (std::vector<int32_t>{1, 1, 1, ZEL_RESULT_REJECTED}));
    EXPECT_NE(run.errors[3], "<none>");
    run = batch(writer, {"INSERT INTO " + name + " VALUES (4,'e')"});
    ASSERT_EQ(run.ran, 1);
    EXPECT_EQ(run.results, std::vector<int32_t>{1});
    if (g_server != "sqlite") {
        EXPECT_EQ(query(reader, "SELECT count(*) FROM " + name), std::vector<std::string>{"0"});
    }
    EXPECT_EQ(exec(writer, "COMMIT"), 0) << error_of(writer);
    EXPECT_EQ(query(reader, "SELECT id, v FROM " + name + " ORDER BY id"),
              (std::vector<std::string>{"1", "a", "2", "c", "3", "d", "4", "e"}));
    // Nothing to run is no error; no list is an invalid call.
    const char* none[] = {"SELECT 1"};
    ZelBatchResult one{};
    EXPECT_EQ(g_mod.executebatch(writer, none, 0, &one), 0);
    EXPECT_EQ(g_mod.executebatch(writer, nullptr, 1, &one), -1);
    EXPECT_EQ(g_mod.executebatch(nullptr, nullptr, 1, &one), -1);
}

// Values with ';', quotes, backslashes and comment marks, quoted by the module, inside
// statements that share one text on MariaDB: each is stored as it was given, and the
// statements around them are neither cut nor merged.
TEST_F(OdbcModule, ABatchKeepsSemicolonsAndQuotesInsideItsLiterals) {
    DbConnection* conn = open(false);
    std::string name = table(conn, "semi", "id int NOT NULL PRIMARY KEY, v varchar(100)");
    const std::vector<std::string> values = {"a;b",
                                             "';DELETE FROM " + name + ";--",
                                             "\\';DROP TABLE " + name + ";#",
                                             "\"; \" ; \\\"",
                                             "/* ; */ -- ;\n# ;",
                                             "`;` O''Brien;",
                                             ";"};
    std::vector<std::string> texts;
    for (size_t i = 0; i < values.size(); ++i) {
        const char* literal = g_mod.add_value(conn, values[i].c_str(), 0);
        ASSERT_NE(literal, nullptr);
        texts.push_back("INSERT INTO " + name + " VALUES (" + std::to_string(i) + "," + literal +
                        ")");
    }
    const std::string last = g_mod.add_value(conn, "x;'y'", 0);
    texts.push_back("UPDATE " + name + " SET v=" + last +
                    " WHERE id=" + std::to_string(values.size() - 1));
    Batch run = batch(conn, texts);
    ASSERT_EQ(run.ran, static_cast<int32_t>(texts.size())) << error_of(conn);
    EXPECT_EQ(run.results, std::vector<int32_t>(texts.size(), 1));
    std::vector<std::string> expected;
    for (size_t i = 0; i < values.size(); ++i) {
        expected.push_back(std::to_string(i));
        expected.push_back(i + 1 == values.size() ? "x;'y'" : values[i]);
    }
    EXPECT_EQ(query(conn, "SELECT id, v FROM " + name + " ORDER BY id"), expected);
}

// A session that the server ends while a batch runs (KILL from a second session, in the
// middle of the batch's second statement): that statement is -2, the batch ends there,
// and the statements sent again after the reconnect leave every row exactly once, with
// and without a transaction. On MariaDB the third statement is already on the server,
// in the same text, when the session ends: it must not be taken for run.
TEST_F(OdbcModule, ABatchWhoseSessionEndedMidwayIsLostAndNothingIsWrittenTwice) {
    std::string id_query, activity, kill, sleep;
    if (g_server == "postgresql") {
        id_query = "SELECT pg_backend_pid()";
        activity = "SELECT query FROM pg_stat_activity WHERE pid=";
        kill = "SELECT pg_terminate_backend(";
        sleep = "(SELECT true FROM pg_sleep(2))";
    } else if (g_server == "mariadb") {
        id_query = "SELECT CONNECTION_ID()";
        activity = "SELECT INFO FROM information_schema.PROCESSLIST WHERE ID=";
        kill = "KILL CONNECTION ";
        sleep = "SLEEP(2)=0";
    } else {
        FAIL() << "a SQLite file has no sessions to end (CTest filters this case out)";
    }
    for (bool transactions : {true, false}) {
        SCOPED_TRACE(transactions ? "in a transaction" : "autocommit");
        DbConnection* victim = open(transactions);
        DbConnection* killer = open(false);
        // No key: a row written twice would show as two.
        std::string name =
            table(killer, transactions ? "killtx" : "killac", "id int, v varchar(20)");
        auto id = query(victim, id_query);
        ASSERT_EQ(id.size(), 1u);
        const std::vector<std::string> texts = {
            "INSERT INTO " + name + " VALUES (1,NULL)",
            "UPDATE " + name + " SET v='slept' WHERE id=1 AND " + sleep,
            "INSERT INTO " + name + " VALUES (2,NULL)"};
        Batch run;
        std::thread sender([&] { run = batch(victim, texts); });
        std::string seen;
        for (int i = 0; i < 200 && seen.find("slept") == std::string::npos; ++i) {
            auto rows = query(killer, activity + id[0]);
            seen = rows.empty() ? "" : rows[0];
            if (seen.find("slept") == std::string::npos)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (g_server == "postgresql")
            query(killer, kill + id[0] + ")");
        else
            exec(killer, kill + id[0]);
        sender.join();
        ASSERT_EQ(run.ran, 2) << error_of(victim);
        EXPECT_EQ(run.results, (std::vector<int32_t>{1, ZEL_RESULT_LOST}));
        EXPECT_NE(run.errors[1], "<none>");
        g_mod.reconnect(victim);
        ASSERT_EQ(g_mod.get_status(victim), ZEL_STATUS_CONNECTED);
        std::vector<std::string> again;
        if (transactions) {
            // The transaction died with the session: zel runs the whole batch again.
            EXPECT_EQ(query(killer, "SELECT count(*) FROM " + name), std::vector<std::string>{"0"});
            again = texts;
        } else {
            // The first statement was committed on its own: only the rest goes out again.
            EXPECT_EQ(query(killer, "SELECT id FROM " + name), std::vector<std::string>{"1"});
            again.assign(texts.begin() + 1, texts.end());
        }
        run = batch(victim, again);
        ASSERT_EQ(run.ran, static_cast<int32_t>(again.size())) << error_of(victim);
        EXPECT_EQ(run.results, std::vector<int32_t>(again.size(), 1));
        EXPECT_EQ(exec(victim, "COMMIT"), 0) << error_of(victim);
        EXPECT_EQ(query(killer, "SELECT id, v FROM " + name + " ORDER BY id"),
                  (std::vector<std::string>{"1", "slept", "2", "<null>"}));
    }
}

}  // namespace

namespace {

// A deadlock in the middle of a batch that went out as one text: the server gives up the
// whole transaction and the driver reports the failure as HY000; the module must still
// answer -3 (run the transaction again) with the server's error 1213, not -4, or zel would
// count the statement as failed and commit what is left. InnoDB gives up the transaction
// that has written less, here the batch's.
TEST_F(OdbcModule, ADeadlockInTheMiddleOfABatchOnMariaDbAsksForARerun) {
    if (g_server != "mariadb") FAIL() << "MariaDB only (CTest filters this case out)";
    DbConnection* victim = open(true);
    DbConnection* other = open(true);
    DbConnection* watcher = open(false);
    std::string name = table(watcher, "dead", "id int NOT NULL PRIMARY KEY, v int");
    std::string ballast = table(watcher, "ballast", "id int NOT NULL PRIMARY KEY");
    ASSERT_EQ(exec(watcher, "INSERT INTO " + name + " VALUES (1,0),(2,0)"), 2);
    auto id = query(victim, "SELECT CONNECTION_ID()");
    ASSERT_EQ(id.size(), 1u);
    // The other transaction holds row 2 and has written more.
    ASSERT_EQ(exec(other, "UPDATE " + name + " SET v=20 WHERE id=2"), 1) << error_of(other);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(exec(other, "INSERT INTO " + ballast + " VALUES (" + std::to_string(i) + ")"), 1);
    Batch run;
    std::thread sender([&] {
        run = batch(victim, {"UPDATE " + name + " SET v=1 WHERE id=1",
                             "UPDATE " + name + " SET v=2 WHERE id=2",
                             "UPDATE " + name + " SET v=3 WHERE id=1"});
    });
    std::string seen;
    for (int i = 0; i < 300 && seen.find("v=2") == std::string::npos; ++i) {
        auto rows =
            query(watcher, "SELECT INFO FROM information_schema.PROCESSLIST WHERE ID=" + id[0]);
        seen = rows.empty() ? "" : rows[0];
        if (seen.find("v=2") == std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The batch waits for row 2; taking row 1 closes the circle.
    EXPECT_EQ(exec(other, "UPDATE " + name + " SET v=10 WHERE id=1"), 1) << error_of(other);
    sender.join();
    ASSERT_EQ(run.ran, 2) << error_of(victim);
    EXPECT_EQ(run.results, (std::vector<int32_t>{1, ZEL_RESULT_RERUN}));
    EXPECT_EQ(run.codes[1], 1213);
    EXPECT_NE(run.errors[1].find("(40001)"), std::string::npos) << run.errors[1];
    EXPECT_EQ(exec(other, "COMMIT"), 0) << error_of(other);
    EXPECT_EQ(exec(victim, "ROLLBACK"), 0) << error_of(victim);
    EXPECT_EQ(query(watcher, "SELECT id, v FROM " + name + " ORDER BY id"),
              (std::vector<std::string>{"1", "10", "2", "20"}));
}

}  // namespace
