// sqlserver_statement_test.cpp - what the SQL Server module makes of statements: result
// codes from every HRESULT the module knows (deadlock and shutdown included), records
// affected, query value texts, server information, the database description, literals and
// column definitions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "modules/sqlserver/sqlserver_rules.h"
#include "tests/unit/sqlserver/sqlserver_fixture.h"

using sqlserver::AdoValue;
using standin::script;

namespace {

const char* kStatement = "UPDATE quotes SET bid=1 WHERE insref=7";

AdoValue null_value() { return AdoValue{}; }
AdoValue number(AdoValue::Kind kind, double value) {
    AdoValue v;
    v.kind = kind;
    v.number = value;
    return v;
}
AdoValue integer(int64_t value) {
    AdoValue v;
    v.kind = AdoValue::Integer;
    v.integer = value;
    return v;
}
AdoValue text(const char* value) {
    AdoValue v;
    v.kind = AdoValue::Text;
    v.text = value;
    return v;
}

std::vector<std::string> texts(ResultValue* node) {
    std::vector<std::string> out;
    for (; node; node = node->next) out.push_back(node->value ? node->value : "<NULL>");
    return out;
}

}  // namespace

struct HresultCase {
    uint32_t hresult;
    const char* description;
    int32_t native;
    int32_t execute_result;
    int32_t query_status;
};

TEST_F(SqlServerTest, EveryHresultMapsToItsResultCode) {
    const HresultCase cases[] = {
        {0x80040E2F, "Violation of PRIMARY KEY constraint", 2627, ZEL_RESULT_FAILED, ZEL_RESULT_REJECTED},
        {0x80004005, "Communication link failure", 0, ZEL_RESULT_LOST, ZEL_RESULT_LOST},
        {0x80040E4D, "Login failed", 18456, ZEL_RESULT_LOST, ZEL_RESULT_LOST},
        {0x80040E69, nullptr, 0, ZEL_RESULT_LOST, ZEL_RESULT_LOST},
        {0x80040E74, nullptr, 0, ZEL_RESULT_LOST, ZEL_RESULT_LOST},
        {0x80040E75, nullptr, 0, ZEL_RESULT_LOST, ZEL_RESULT_LOST},
        {0x80040E97, nullptr, 0, ZEL_RESULT_LOST, ZEL_RESULT_LOST},
        {0x80040E14, "SHUTDOWN is in progress.", 6005, ZEL_RESULT_LOST, ZEL_RESULT_LOST},
        {0x80040E14, "Incorrect syntax near 'SHUT'.", 102, ZEL_RESULT_REJECTED, ZEL_RESULT_REJECTED},
        {0x80040E14, "shutdown in lower case is not the server's message", 0, ZEL_RESULT_REJECTED,
         ZEL_RESULT_REJECTED},
        {0x80040E37, "Invalid object name 'quotes'.", 208, ZEL_RESULT_REJECTED, ZEL_RESULT_REJECTED},
        {0x80040E57, "String or binary data would be truncated.", 8152, ZEL_RESULT_REJECTED,
         ZEL_RESULT_REJECTED},
        // A deadlock victim's transaction was rolled back: rerun, whatever HRESULT wraps it,
        // known by its native number or, without one, by the server's words.
        {0x80004005,
         "Transaction (Process ID 52) was deadlocked on lock resources with another process and has "
         "been chosen as the deadlock victim. Rerun the transaction.",
         1205, ZEL_RESULT_RERUN, ZEL_RESULT_RERUN},
        {0x80040E14, "Some wording", 1205, ZEL_RESULT_RERUN, ZEL_RESULT_RERUN},
        {0x80040E2F, "chosen as the deadlock victim", 0, ZEL_RESULT_RERUN, ZEL_RESULT_RERUN},
        {0x80040E14, "mentions the deadlock victim table", 207, ZEL_RESULT_REJECTED, ZEL_RESULT_REJECTED},
    };
    connect();
    const char* query = "SELECT bid FROM quotes";
    for (const HresultCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.hresult << " " << (c.description ? c.description : ""));
        sqlserver::AdoError e = error(c.hresult, c.description, c.native);
        script().executes[kStatement] = {true, e, 0};
        EXPECT_EQ(mod_executesql(conn_, kStatement), c.execute_result);
        EXPECT_EQ(mod_getlasterror(conn_), static_cast<int32_t>(c.hresult));
        EXPECT_EQ(error_text(), c.description ? c.description : "Unknown error in execute");

        script().queries[query] = {true, e};
        int32_t status = 1;
        EXPECT_EQ(mod_querysql(conn_, query, &status), nullptr);
        EXPECT_EQ(status, c.query_status);
        EXPECT_EQ(mod_getlasterror(conn_), static_cast<int32_t>(c.hresult));
        EXPECT_EQ(error_text(), c.description ? c.description : "Unknown query error");
    }
    // An error without an HRESULT has no code of its own.
    script().executes[kStatement] = {true, error(0), 0};
    EXPECT_EQ(mod_executesql(conn_, kStatement), ZEL_RESULT_REJECTED);
    EXPECT_EQ(mod_getlasterror(conn_), -1);
    script().queries[query] = {true, error(0)};
    int32_t status = 0;
    mod_querysql(conn_, query, &status);
    EXPECT_EQ(mod_getlasterror(conn_), ZEL_RESULT_REJECTED);
}

TEST_F(SqlServerTest, RecordsAffectedAndNoRows) {
    connect();
    script().executes[kStatement] = {false, {}, 3};
    EXPECT_EQ(mod_executesql(conn_, kStatement), 3);
    EXPECT_EQ(mod_geterrorstring(conn_), nullptr);
    EXPECT_EQ(script().execute_options.back(), sqlserver::kExecuteNoRecords);
    script().executes[kStatement] = {false, {}, 0};
    EXPECT_EQ(mod_executesql(conn_, kStatement), 0);
    EXPECT_EQ(error_text(), "Affected rows:0");
    EXPECT_EQ(mod_getlasterror(conn_), 0);
    script().executes[kStatement] = {false, {}, -1};  // providers that cannot count
    EXPECT_EQ(mod_executesql(conn_, kStatement), 0);
}

TEST_F(SqlServerTest, StatementsTravelAsUtf16AndInvalidUtf8IsRefused) {
    connect();
    EXPECT_EQ(mod_executesql(conn_, nullptr), ZEL_RESULT_FAILED);
    EXPECT_EQ(error_text(), "Error converting UTF-8 NULL query");
    size_t sent = script().executed.size();
    EXPECT_EQ(mod_executesql(conn_, "INSERT INTO news VALUES (N'caf\xC3"), ZEL_RESULT_FAILED);
    EXPECT_EQ(mod_executesql(conn_, "INSERT INTO news VALUES (N'\xC0\xAF')"), ZEL_RESULT_FAILED)
        << "an overlong form is not UTF-8";
    EXPECT_EQ(mod_getlasterror(conn_), 1113);
    EXPECT_EQ(script().executed.size(), sent) << "nothing altered reaches the server";

    std::u16string wide;
    ASSERT_TRUE(sqlserver::utf8_to_utf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", &wide));
    EXPECT_EQ(wide, (std::u16string{u'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
}

TEST_F(SqlServerTest, QueryValuesBecomeTextsInRowMajorOrder) {
    connect();
    script().queries["SELECT * FROM prices"] = {
        false, {}, false, -1, {"a", "b", "c"},
        {{null_value(), number(AdoValue::Float, 1.5), number(AdoValue::Currency, 12.3456)},
         {number(AdoValue::Decimal, -0.25), integer(-42), text("caf\xC3\xA9")}}};
    int32_t status = -9;
    ResultValue* first = mod_querysql(conn_, "SELECT * FROM prices", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(texts(first), (std::vector<std::string>{"<NULL>", "1.500000", "12.345600", "-0.250000",
                                                       "-42", "caf\xC3\xA9"}));
    mod_freeresult(conn_);

    // A statement without a rows set and a static cursor that counts none give no list.
    script().queries["UPDATE x SET a=1"] = {false, {}, true};
    EXPECT_EQ(mod_querysql(conn_, "UPDATE x SET a=1", &status), nullptr);
    EXPECT_EQ(status, 0);
    script().queries["SELECT a FROM empty"] = {false, {}, false, 0, {"a"}, {{integer(1)}}};
    EXPECT_EQ(mod_querysql(conn_, "SELECT a FROM empty", &status), nullptr);
    EXPECT_EQ(status, 0);

    // A failure half way through hands out nothing of the rows read before it.
    standin::QueryOutcome broken = {false, error(0x80004005, "Communication link failure"), false, -1, {"a"},
                                      {{integer(1)}, {integer(2)}, {integer(3)}}, 2};
    script().queries["SELECT a FROM big"] = broken;
    EXPECT_EQ(mod_querysql(conn_, "SELECT a FROM big", &status), nullptr);
    EXPECT_EQ(status, ZEL_RESULT_LOST);

    // Large doubles are written whole, not cut at a fixed width.
    script().queries["SELECT big"] = {false, {}, false, -1, {"a"}, {{number(AdoValue::Float, 1e300)}}};
    first = mod_querysql(conn_, "SELECT big", &status);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::string(first->value).size(), 301u + 7u);
    EXPECT_DOUBLE_EQ(std::strtod(first->value, nullptr), 1e300);
}

TEST_F(SqlServerTest, ServerInformationSetsTheVersionThatColumnTypesUse) {
    connect();
    const char* version_query = "SELECT SERVERPROPERTY('productversion')";
    script().queries[version_query] = {false, {}, false, -1, {""}, {{text("15.0.2000.5")}}};
    ServerInfo info{};
    EXPECT_EQ(mod_get_info(conn_, &info, 8), 0) << "too small a record is refused";
    ASSERT_EQ(mod_get_info(conn_, &info, sizeof info), 1);
    EXPECT_STREQ(info.version, "15.0.2000.5");
    EXPECT_STREQ(info.transaction_start, "BEGIN TRANSACTION");
    EXPECT_EQ(params_.server_version, 15u);
    std::free(info.version);
    std::free(info.transaction_start);
    char buffer[ZEL_COLUMN_TEXT_SIZE];
    ASSERT_EQ(mod_add_column(conn_, buffer, nullptr, "date", nullptr, 1, 0, ZEL_COLUMN_RENDER), 1);
    EXPECT_STREQ(buffer, "date NULL");

    script().queries.erase(version_query);  // the query fails: version unknown
    ASSERT_EQ(mod_get_info(conn_, &info, sizeof info), 1);
    EXPECT_EQ(info.version, nullptr);
    EXPECT_EQ(params_.server_version, 0u);
    std::free(info.transaction_start);
    ASSERT_EQ(mod_add_column(conn_, buffer, nullptr, "date", nullptr, 1, 0, ZEL_COLUMN_RENDER), 1);
    EXPECT_STREQ(buffer, "char(10) NULL");
}

TEST_F(SqlServerTest, DescriptionMapsTypesSizesAndNullability) {
    connect();
    auto row = [](const char* column, const char* type, AdoValue length, AdoValue precision, AdoValue scale,
                  AdoValue datetime, const char* nullable) {
        return std::vector<AdoValue>{text("quotes"), text(column), text(type), length, precision, scale,
                                     datetime, text(nullable)};
    };
    AdoValue none = null_value();
    standin::QueryOutcome schema{false, {}, false, -1,
                                   {"TABLE_NAME", "COLUMN_NAME", "DATA_TYPE", "CHARACTER_MAXIMUM_LENGTH",
                                    "NUMERIC_PRECISION", "NUMERIC_SCALE", "DATETIME_PRECISION", "IS_NULLABLE"},
                                   {}};
    schema.rows = {
        row("f", "float", none, integer(53), none, none, "YES"),
        row("t", "text", integer(2147483647), none, none, none, "YES"),
        row("nt", "ntext", integer(1073741823), none, none, none, "NO"),
        row("nc", "nchar", integer(12), none, none, none, "NO"),
        row("nvm", "nvarchar", integer(-1), none, none, none, "YES"),
        row("vm", "varchar", integer(-1), none, none, none, "YES"),
        row("nv", "nvarchar", integer(40), none, none, none, "YES"),
        row("v", "varchar", text("20"), none, none, none, "YES"),
        row("big", "numeric", none, integer(20), integer(0), none, "NO"),
        row("ten", "numeric", none, number(AdoValue::Decimal, 10), integer(0), none, "NO"),
        row("nine", "numeric", none, integer(9), integer(0), none, "NO"),
        row("wide", "numeric", none, integer(21), integer(0), none, "NO"),
        row("price", "numeric", none, integer(18), integer(4), none, "YES"),
        row("i", "int", none, integer(10), integer(0), none, "NO"),
        row("d", "datetime", none, none, none, integer(3), "YES"),
        row("b", "bit", none, none, none, none, "maybe"),
    };
    script().queries["INFORMATION_SCHEMA.columns"] = schema;
    ColumnInfo* list = mod_get_databaseinfo(conn_);
    ASSERT_NE(list, nullptr) << error_text();
    const char* expected[][3] = {
        {"f", "double", "53"},       {"t", "mediumtext", "2147483647"}, {"nt", "mediumtext", "1073741823"},
        {"nc", "char", "12"},        {"nvm", "mediumtext", nullptr},    {"vm", "mediumtext", nullptr},
        {"nv", "varchar", "40"},     {"v", "varchar", "20"},            {"big", "bigint", "20,0"},
        {"ten", "bigint", "10,0"},   {"nine", "decimal", "9,0"},        {"wide", "decimal", "21,0"},
        {"price", "decimal", "18,4"}, {"i", "int", "10,0"},             {"d", "datetime", "3"},
        {"b", "bit", nullptr},
    };
    const int nullable[] = {1, 1, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, 1, 0};
    ColumnInfo* node = list;
    ColumnInfo* previous = nullptr;
    for (size_t i = 0; i < std::size(expected); ++i, previous = node, node = node->next) {
        ASSERT_NE(node, nullptr) << i;
        SCOPED_TRACE(expected[i][0]);
        EXPECT_STREQ(node->table, "quotes");
        EXPECT_STREQ(node->column, expected[i][0]);
        EXPECT_STREQ(node->type, expected[i][1]);
        if (expected[i][2])
            EXPECT_STREQ(node->size, expected[i][2]);
        else
            EXPECT_EQ(node->size, nullptr);
        EXPECT_EQ(node->nullable, nullable[i]);
        EXPECT_EQ(node->previous, previous);
    }
    EXPECT_EQ(node, nullptr);
    mod_free_databaseinfo(list);

    // A field that cannot be read fails the whole description, printed and kept.
    schema.fail_in_row = 3;
    schema.error = error(0x80004005);
    script().queries["INFORMATION_SCHEMA.columns"] = schema;
    testing::internal::CaptureStdout();
    EXPECT_EQ(mod_get_databaseinfo(conn_), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: Unknown error in check database\n");
    EXPECT_EQ(mod_getlasterror(conn_), static_cast<int32_t>(0x80004005));
}

TEST_F(SqlServerTest, ValuesBecomeNationalLiteralsCutByCharacters) {
    EXPECT_STREQ(mod_add_value(conn_, "O'Brien", 0), "N'O''Brien'");
    EXPECT_STREQ(mod_add_value(conn_, "''", 0), "N''''''");
    // Three two-byte characters: limit 2 keeps two of them, 0 and 3 keep all.
    const char* word = "\xC3\xA9\xC3\xA8\xC3\xAA";
    EXPECT_STREQ(mod_add_value(conn_, word, 2), "N'\xC3\xA9\xC3\xA8'");
    EXPECT_STREQ(mod_add_value(conn_, word, 0), "N'\xC3\xA9\xC3\xA8\xC3\xAA'");
    EXPECT_STREQ(mod_add_value(conn_, word, 3), "N'\xC3\xA9\xC3\xA8\xC3\xAA'");
    // A character running past the end makes the empty literal.
    EXPECT_STREQ(mod_add_value(conn_, "ab\xE2\x82", 3), "N''");
    EXPECT_EQ(mod_add_value(conn_, nullptr, 0), nullptr);
    std::string quotes(3000, '\'');
    EXPECT_EQ(std::string(mod_add_value(conn_, quotes.c_str(), 0)).size(), 6000u + 3u);
}

TEST_F(SqlServerTest, ColumnTypesRenderByServerVersion) {
    struct Case {
        const char* type;
        const char* size;
        bool nullable;
        uint32_t version;
        const char* expected;
    };
    const Case cases[] = {
        {"date", nullptr, true, 9, "char(10) NULL"},
        {"date", nullptr, true, 15, "date NULL"},
        {"time", nullptr, false, 9, "char(8) NOT NULL"},
        {"time", "7", false, 10, "time(7) NOT NULL"},
        {"double", nullptr, true, 15, "float NULL"},
        {"double", "53", true, 15, "float(53) NULL"},
        {"double", "0", true, 15, "float NULL"},
        {"mediumtext", "16777215", true, 15, "varchar(max) NULL"},
        {"longtext", nullptr, true, 15, "varchar(max) NULL"},
        {"text", nullptr, false, 15, "varchar(max) NOT NULL"},
        {"bigint", nullptr, false, 15, "numeric(20,0) NOT NULL"},
        {"bigint", "19", false, 15, "numeric(19,0) NOT NULL"},
        {"bigint", "20,0", false, 15, "numeric(20,0) NOT NULL"},
        {"decimal", "18,4", true, 15, "numeric(18,4) NULL"},
        {"numeric", "65,40", true, 15, "numeric(38,38) NULL"},
        {"decimal", "12", true, 15, "numeric(12,0) NULL"},
        {"decimal", nullptr, true, 15, "numeric NULL"},
        {"varchar", "40", true, 15, "varchar(40) NULL"},
        {"char", "0", false, 15, "char NOT NULL"},
        {"int", nullptr, false, 15, "int NOT NULL"},
    };
    char buffer[ZEL_COLUMN_TEXT_SIZE];
    for (const Case& c : cases) {
        params_.server_version = c.version;
        ASSERT_EQ(mod_add_column(conn_, buffer, "ignored", c.type, c.size, c.nullable, 1, ZEL_COLUMN_RENDER), 1);
        EXPECT_STREQ(buffer, c.expected) << c.type << " " << (c.size ? c.size : "-") << " v" << c.version;
    }
    EXPECT_EQ(mod_add_column(conn_, nullptr, "c", "int", nullptr, 1, 0, ZEL_COLUMN_RENDER), 255);
    // An over-long type is cut to the caller's buffer, never written past it.
    std::string long_type(400, 'x');
    ASSERT_EQ(mod_add_column(conn_, buffer, "c", long_type.c_str(), nullptr, 1, 0, ZEL_COLUMN_RENDER), 1);
    EXPECT_EQ(std::string(buffer).size(), ZEL_COLUMN_TEXT_SIZE - 1u);
}

TEST_F(SqlServerTest, ColumnChangesAreExecutedAndTheirFailuresKept) {
    connect();
    char table[] = "quotes";
    params_.server_version = 15;
    EXPECT_EQ(mod_add_column(conn_, table, "traded", "date", nullptr, 1, 0, ZEL_COLUMN_ADD), 1);
    EXPECT_EQ(script().executed.back(), "ALTER TABLE quotes ADD traded date NULL");
    EXPECT_EQ(script().execute_options.back(), sqlserver::kCmdText);
    EXPECT_EQ(mod_add_column(conn_, table, "volume", "bigint", nullptr, 0, 1, ZEL_COLUMN_ALTER), 1);
    EXPECT_EQ(script().executed.back(), "ALTER TABLE quotes ALTER COLUMN volume numeric(20,0) NOT NULL");

    script().executes["ALTER TABLE quotes ADD bad int NULL"] = {true, error(0x80040E14, "Column names must be unique."), 0};
    EXPECT_EQ(mod_add_column(conn_, table, "bad", "int", nullptr, 1, 0, ZEL_COLUMN_ADD), 255);
    EXPECT_EQ(error_text(), "Column names must be unique.");
    EXPECT_EQ(mod_getlasterror(conn_), static_cast<int32_t>(0x80040E14));
    script().executes["ALTER TABLE quotes ADD bad int NULL"] = {true, error(0), 0};
    EXPECT_EQ(mod_add_column(conn_, table, "bad", "int", nullptr, 1, 0, ZEL_COLUMN_ADD), 255);
    EXPECT_EQ(error_text(), "Unknown alter table error");
    EXPECT_EQ(mod_getlasterror(conn_), -1);
}
