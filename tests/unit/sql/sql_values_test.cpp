// The statement text and the value rules: growth without overflow, the number rule that
// keeps feed text out of numeric contexts, literals through the module, date and time
// checks, the current-value slots and the time and date stamps per kind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "sql_test_util.h"
#include "zel/sql/sql_text.h"
#include "zel/sql/sql_values.h"
#include "zel/sql/status_time.h"

namespace {

using sqltest::ManualClock;
using sqltest::SqlTest;

TEST(SqlTextTest, GrowsPastItsFirstCapacityAndKeepsEveryPiece) {
    SqlText text;
    std::string expected;
    for (int i = 0; i < 500; ++i) {
        text.appendf("%s=%d,", "column", i);
        expected += "column=" + std::to_string(i) + ",";
        text.push_back('x');
        expected += 'x';
    }
    text.append(std::string(5000, 'y'));
    expected += std::string(5000, 'y');
    text.append_u64(18446744073709551615ull);
    expected += "18446744073709551615";
    EXPECT_EQ(expected, text.c_str());
    EXPECT_EQ(expected.size(), text.size());
    EXPECT_GT(text.capacity(), expected.size());

    text.truncate(3);
    EXPECT_STREQ("col", text.c_str());
    text.truncate(10);  // beyond the length: unchanged
    EXPECT_STREQ("col", text.c_str());
    text.clear();
    EXPECT_STREQ("", text.c_str());
    text.append_u64(0);
    EXPECT_STREQ("0", text.c_str());
}

TEST(SqlTextTest, OnePieceLongerThanTheRoomLeftIsFormattedWhole) {
    SqlText text;
    text.append(std::string(SqlText::kInitialCapacity - 4, 'a'));
    std::string big(3000, 'b');
    text.appendf("[%s]", big.c_str());
    EXPECT_EQ(std::string(SqlText::kInitialCapacity - 4, 'a') + "[" + big + "]", text.c_str());
}

TEST(SqlValuesTest, NumberRuleAcceptsPlainDecimalsOnly) {
    for (const char* good :
         {"0", "-1", "+7", "12.5", "12.", ".5", "-0.001", "1e10", "1.5E-3", "2e+7"}) {
        EXPECT_TRUE(is_sql_number(good)) << good;
    }
    for (const char* bad : {"", "-", ".", "1e", "e5", "1.2.3", " 1", "1 ", "NaN", "inf", "0x1F",
                            "1;DROP TABLE t", "1'", "1\\", "--1", "1-1", "1e5.5"}) {
        EXPECT_FALSE(is_sql_number(bad)) << bad;
    }
    EXPECT_FALSE(is_sql_number(nullptr));

    SqlText out;
    append_number(out, "12.5");
    out.push_back(',');
    append_number(out, "1);DELETE FROM t;--");
    out.push_back(',');
    append_number(out, nullptr);
    EXPECT_STREQ("12.5,NULL,NULL", out.c_str());
}

TEST(SqlValuesTest, DateAndTimeChecks) {
    EXPECT_TRUE(is_sql_date("2024-02-29"));
    EXPECT_TRUE(is_sql_date("1999-12-31"));
    for (const char* bad : {"2024-13-01", "2024-00-10", "2024-01-32", "24-01-01", "2024-1-01",
                            "2024-01-01 ", "2024-01-01'", ""}) {
        EXPECT_FALSE(is_sql_date(bad)) << bad;
    }
    for (const char* good : {"00:00", "23:59", "09:30:15", "09:30:15.5", "09:30:15.123456"}) {
        EXPECT_TRUE(is_sql_time(good)) << good;
    }
    for (const char* bad : {"24:00", "9:30", "09:60", "09:30:60", "09:30:15.", "09:30:15.1x",
                            "09:30 ", "09-30", ""}) {
        EXPECT_FALSE(is_sql_time(bad)) << bad;
    }
    EXPECT_FALSE(is_sql_date(nullptr));
    EXPECT_FALSE(is_sql_time(nullptr));
}

TEST_F(SqlTest, LiteralsGoThroughTheModuleWithTheColumnLength) {
    SqlText out;
    append_literal(worker(1), out, "it's; a \\ value", 0);
    out.push_back(' ');
    append_literal(worker(1), out, nullptr, 0);
    out.push_back(' ');
    append_literal(worker(1), out, "abcdef", 3);
    EXPECT_STREQ("'it''s; a \\ value' NULL 'abc'", out.c_str());

    FieldDef text_column;
    text_column.length = 2;
    FieldDef number_column;
    number_column.numeric = 1;
    out.clear();
    append_field_value(worker(1), out, text_column, "xyz");
    out.push_back(' ');
    append_field_value(worker(1), out, number_column, "3.25");
    out.push_back(' ');
    append_field_value(worker(1), out, number_column, "3'25");
    EXPECT_STREQ("'xy' 3.25 NULL", out.c_str());
}

TEST(SqlValuesTest, CurrentValueSlotIsReplacedAndMarked) {
    char* slot = nullptr;
    uint8_t present = 0;
    set_current_value(slot, present, "10.5");
    EXPECT_STREQ("10.5", slot);
    EXPECT_EQ(1, present);
    set_current_value(slot, present, "11");
    EXPECT_STREQ("11", slot);
    set_current_value(slot, present, nullptr);
    EXPECT_EQ(nullptr, slot);
    EXPECT_EQ(1, present);
    std::free(slot);
}

TEST(StatusTimeTest, KindsChooseLocalOrUtc) {
    ManualClock clock;
    // 2023-11-14 22:13:20 UTC; in a zone east of UTC by 5 hours it is 2023-11-15 03:13:20.
    ManualClock::now = 1700000000;
    setenv("TZ", "UTC-5", 1);
    tzset();
    g_config.localtime = 0;
    EXPECT_STREQ("03:13:20", time_text(30).c_str());
    EXPECT_STREQ("2023-11-15", date_text(30).c_str());
    EXPECT_STREQ("22:13:20", time_text(2).c_str());
    EXPECT_STREQ("2023-11-14", date_text(2).c_str());
    g_config.localtime = 1;
    EXPECT_STREQ("03:13:20", time_text(2).c_str());
    for (unsigned kind : {4u, 11u, 252u, 253u}) {
        EXPECT_STREQ("22:13:20", time_text(kind).c_str()) << kind;
        EXPECT_STREQ("2023-11-14", date_text(kind).c_str()) << kind;
    }
    g_config.localtime = 0;
    unsetenv("TZ");
    tzset();
}

}  // namespace
