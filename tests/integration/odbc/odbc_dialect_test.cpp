// The ODBC module's text rules and the UTF-16 conversion, without a driver: the cases that
// no local server can show (SQL Server's renderings) and the ones a server would hide (the
// exact bytes of a literal).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modules/odbc/odbc_dialect.h"
#include "platform/utf16.h"

using namespace zel_odbc;

namespace {

std::string quoted(ServerKind kind, const std::string& text) {
    std::vector<char> out(2 * text.size() + 4);
    size_t n = quote_value(kind, text.data(), text.size(), out.data());
    return std::string(out.data(), n);
}

TEST(OdbcQuoting, EachKindEscapesOnlyWhatItsLiteralsNeed) {
    EXPECT_EQ(quoted(kind_mysql, "50%_off"), "'50%_off'");
    EXPECT_EQ(quoted(kind_mysql, "O'B\\\"\n\t\r\b\x1a"), "'O\\'B\\\\\\\"\\n\\t\\r\\b\\Z'");
    EXPECT_EQ(quoted(kind_sqlserver, "O'Brien"), "N'O''Brien'");
    EXPECT_EQ(quoted(kind_postgresql, "O'B\\x"), "E'O''B\\\\x'");
    EXPECT_EQ(quoted(kind_other, "a'\\b"), "'a''\\b'");
    // The buffer size the module reserves is enough for a text of nothing but escapes.
    std::string worst(100, '\'');
    EXPECT_EQ(quoted(kind_sqlserver, worst).size(), 2 * worst.size() + 3);
}

TEST(OdbcResults, SqlstateClassesGiveTheResultCodes) {
    EXPECT_EQ(classify_sqlstate("08S01"), -2);
    EXPECT_EQ(classify_sqlstate("23505"), -1);
    EXPECT_EQ(classify_sqlstate("25P02"), -3);
    EXPECT_EQ(classify_sqlstate("40001"), -3);
    EXPECT_EQ(classify_sqlstate("XA102"), -3);
    EXPECT_EQ(classify_sqlstate("HYT00"), -2);
    EXPECT_EQ(classify_sqlstate("42S02"), -4);
    EXPECT_EQ(classify_sqlstate("HY000"), -4);
}

TEST(OdbcServers, KindAndVersionFromTheDriversAnswers) {
    EXPECT_EQ(kind_from_dbms_name("mariadb"), kind_mysql);
    EXPECT_EQ(kind_from_dbms_name("MySQL"), kind_mysql);
    EXPECT_EQ(kind_from_dbms_name("Microsoft SQL Server"), kind_sqlserver);
    EXPECT_EQ(kind_from_dbms_name("PostgreSQL"), kind_postgresql);
    EXPECT_EQ(kind_from_dbms_name("SQLite"), kind_other);
    ServerVersion v = parse_version("10.11.000019");
    EXPECT_EQ(v.number(), 101119);
    EXPECT_EQ(parse_version("15").number(), 150000);
    EXPECT_FALSE(parse_version("").known());
}

TEST(OdbcColumns, RenderingsPerServer) {
    ServerVersion v2019{15, 0, 2000};
    ServerVersion v2005{9, 0, 0};
    EXPECT_EQ(column_type_text(kind_sqlserver, v2019, "decimal", "50,60", false, false),
              "[numeric](38,38)");
    EXPECT_EQ(column_type_text(kind_sqlserver, v2005, "time", "3", false, false), "[char](8)");
    EXPECT_EQ(column_type_text(kind_sqlserver, v2019, "time", "3", false, false), "[time](3)");
    EXPECT_EQ(column_type_text(kind_sqlserver, v2019, "varchar", "64", false, true),
              "[nvarchar](64)");
    EXPECT_EQ(column_type_text(kind_sqlserver, v2019, "varchar", "64", false, false),
              "[varchar](64)");
    EXPECT_EQ(column_type_text(kind_sqlserver, v2019, "bigint", nullptr, false, false),
              "[numeric](20,0)");
    EXPECT_EQ(column_type_text(kind_mysql, {5, 6, 3}, "time", "6", false, false), "time");
    EXPECT_EQ(column_type_text(kind_mysql, {10, 11, 19}, "time", "6", true, false),
              "time(6) UNSIGNED");
    EXPECT_EQ(column_type_text(kind_postgresql, {}, "bigint", "18", false, false), "numeric(18,0)");
    EXPECT_EQ(column_type_text(kind_postgresql, {}, "varchar", "0", false, false),
              "character varying");
    EXPECT_EQ(column_type_text(kind_other, {}, "decimal", "18,4", false, false), "decimal(18,4)");
}

TEST(OdbcColumns, DescriptionsMapToTheVocabulary) {
    DescribedColumn c = describe_column(kind_mysql, "DECIMAL", true, 18, true, 4);
    EXPECT_EQ(c.type, "decimal");
    EXPECT_EQ(c.size, "18,4");
    EXPECT_FALSE(c.is_unsigned);  // only the type name makes a column unsigned
    c = describe_column(kind_mysql, "int unsigned", true, 10, true, 0);
    EXPECT_EQ(c.type, "int");
    EXPECT_TRUE(c.is_unsigned);
    c = describe_column(kind_mysql, "time", true, 8, true, 0);
    EXPECT_EQ(c.size, "6");
    c = describe_column(kind_postgresql, "numeric", true, 20, true, 0);
    EXPECT_EQ(c.type, "bigint");
    EXPECT_EQ(c.size, "20");
    c = describe_column(kind_postgresql, "numeric", true, 18, true, 4);
    EXPECT_EQ(c.type, "decimal");
    c = describe_column(kind_sqlserver, "nvarchar", true, 0, false, 0);
    EXPECT_EQ(c.type, "mediumtext");
    EXPECT_EQ(c.size, "");
    c = describe_column(kind_sqlserver, "time", true, 16, true, 7);
    EXPECT_EQ(c.size, "7");
    c = describe_column(kind_other, "FLOAT", true, 15, true, 10);
    EXPECT_EQ(c.type, "double");
    EXPECT_EQ(c.size, "");
}

TEST(OdbcConnectionString, DriverOptionsAreAddedOrMerged) {
    // Found rows (2) and multi statements (67108864).
    EXPECT_EQ(connection_string_for(kind_mysql, "DRIVER={MariaDB Unicode};SERVER=h"),
              "DRIVER={MariaDB Unicode};SERVER=h;OPTION=67108866;");
    EXPECT_EQ(connection_string_for(kind_mysql, "DRIVER={x};option=8;PWD={a;option=0}"),
              "DRIVER={x};option=67108874;PWD={a;option=0}");
    EXPECT_EQ(connection_string_for(kind_mysql, "Option=3;"), "Option=67108867;");
    EXPECT_EQ(connection_string_for(kind_mysql, "Option=67108867;"), "Option=67108867;");
    EXPECT_EQ(connection_string_for(kind_postgresql, "DRIVER={PostgreSQL Unicode};"),
              "DRIVER={PostgreSQL Unicode};Protocol=7.4-2;");
    EXPECT_EQ(connection_string_for(kind_postgresql, "A1=7.4-1;"), "A1=7.4-1;");
    EXPECT_EQ(connection_string_for(kind_other, "DRIVER={SQLite3};"), "DRIVER={SQLite3};");
}

// Only a statement the server splits exactly where it was joined may share a text with
// others: a ';' or a comment outside a literal, or a literal left open, would move the
// split and pair every later answer with the wrong statement.
TEST(OdbcBatches, OnlyClosedWritingStatementsAreJoined) {
    for (const char* text :
         {"INSERT INTO t VALUES (1,'a;b')", "  update t SET v='x\\';' WHERE id=1",
          "DELETE FROM t WHERE v=\"a;\\\";\"", "REPLACE INTO `odd;name` VALUES ('--', '#', '/*')",
          "INSERT INTO t VALUES ('it''s; fine')", "UPDATE t SET v='\\\\' WHERE a-1=2\n"})
        EXPECT_TRUE(mysql_statement_joinable(text)) << text;
    for (const char* text :
         {"SELECT 1", "COMMIT", "", "INSERTS INTO t VALUES (1)", "INSERT_X", "CALL p()",
          "INSERT INTO t VALUES (1);", "INSERT INTO t VALUES (1); DELETE FROM t",
          "INSERT INTO t VALUES ('open", "INSERT INTO t VALUES ('a\\')", "UPDATE t SET v=1 -- note",
          "UPDATE t SET v=1 # note", "UPDATE t SET v=1 /* x */",
          "/* lead */ INSERT INTO t VALUES (1)", "INSERT INTO `open VALUES (1)",
          "INSERT INTO t VALUES ('\\"})
        EXPECT_FALSE(mysql_statement_joinable(text)) << text;
    EXPECT_FALSE(mysql_statement_joinable(nullptr));
}

// The narrow calls pass UTF-8 unchanged only while the connection's character set is UTF-8;
// a configured other one keeps the wide calls, which convert to it.
TEST(OdbcConnectionString, NarrowCallsOnlyForMariaDbOverUtf8) {
    EXPECT_TRUE(narrow_calls_preferred(kind_mysql, "DRIVER={MariaDB Unicode};SERVER=h;"));
    EXPECT_TRUE(narrow_calls_preferred(kind_mysql, "SERVER=h;charset= UTF8MB4 ;"));
    EXPECT_TRUE(narrow_calls_preferred(kind_mysql, "CHARSET=utf8"));
    EXPECT_FALSE(narrow_calls_preferred(kind_mysql, "SERVER=h;CHARSET=latin1;"));
    EXPECT_FALSE(narrow_calls_preferred(kind_mysql, "PWD={x;CHARSET=utf8};CHARSET=cp1250"));
    EXPECT_FALSE(narrow_calls_preferred(kind_postgresql, "DRIVER={PostgreSQL Unicode};"));
    EXPECT_FALSE(narrow_calls_preferred(kind_sqlserver, "DRIVER={FreeTDS};"));
    EXPECT_EQ(with_utf8_charset("SERVER=h"), "SERVER=h;CHARSET=utf8mb4;");
    EXPECT_EQ(with_utf8_charset("SERVER=h;charset=utf8;"), "SERVER=h;charset=utf8;");
    EXPECT_EQ(with_utf8_charset("PWD={CHARSET=x};"), "PWD={CHARSET=x};CHARSET=utf8mb4;");
}

TEST(Utf16, RoundTripsAndRefusesMalformedText) {
    const std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    std::vector<uint16_t> wide;
    ASSERT_TRUE(platform_utf8_to_utf16(text.data(), text.size(), &wide));
    EXPECT_EQ(wide, (std::vector<uint16_t>{0x61, 0xE9, 0x20AC, 0xD83D, 0xDE00, 0}));
    std::string back;
    platform_utf16_to_utf8(wide.data(), wide.size() - 1, &back);
    EXPECT_EQ(back, text);
    for (const char* bad : {"\xc3", "\x80", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"})
        EXPECT_FALSE(platform_utf8_to_utf16(bad, std::string(bad).size(), &wide)) << bad;
    const uint16_t lone[] = {0xD800, 0x41};
    back.clear();
    platform_utf16_to_utf8(lone, 2, &back);
    EXPECT_EQ(back,
              "\xef\xbf\xbd"
              "A");
}

}  // namespace
