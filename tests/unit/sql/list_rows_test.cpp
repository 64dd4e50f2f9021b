// News tags and identifier lists: escaped bars and blanks, empty entries, a news item
// without tags, the missing tags table, the "=", "+" and "-" operators, a list without an
// operator, characters between numbers, the second key's checks, and reruns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/execute.h"
#include "zel/sql/list_rows.h"

namespace {

using sqltest::make_item;
using sqltest::SqlTest;

const char* kDefinitions = R"(<definitions version="1">
  <message mref="249" table="tags">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="48" column="newsid" type="varchar" len="32"/>
    <field tag="3" column="ndate" type="date"/>
    <field tag="620" column="tag" type="varchar" len="5"/>
  </message>
  <message mref="12" table="links">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="55" column="linked" type="bigint"/>
  </message>
  <message mref="248" table="mappings">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="54" column="scheme" type="int"/>
    <field tag="527" column="mapped" type="bigint"/>
  </message>
</definitions>)";

const std::string kTagInsert =
    "INSERT INTO tags (newsid,insref,ndate,tag) VALUES ('N9',7,'2024-05-06',";

class ListRowsTest : public SqlTest {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        define(kDefinitions);
    }
    void TearDown() override {
        for (QueueItem* i : items_)
            freeQueueItem(i);
        SqlTest::TearDown();
    }
    QueueItem* item(uint8_t kind, std::initializer_list<sqltest::Field> fields) {
        items_.push_back(make_item(kind, 7, fields));
        return items_.back();
    }
    int list(QueueItem* i) { return identifier_list(worker(3), *i, *find_messagedef(i->kind)); }

    std::vector<QueueItem*> items_;
};

TEST_F(ListRowsTest, TagEntriesSplitAtUnescapedBarsAndKeepTheirFirstWord) {
    QueueItem* news =
        item(249, {{48, "N9"}, {3, "2024-05-06"}, {620, "a\\|b|c d||\\ e f|toolongtag"}});
    ASSERT_EQ(1, news_tags(worker(2), *news));
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE FROM tags WHERE newsid='N9' AND insref=7", kTagInsert + "'a|b')",
                  kTagInsert + "'c')",
                  kTagInsert + "' e')",     // an escaped blank belongs to the word
                  kTagInsert + "'toolo')",  // cut to the column's length by the module
              }),
              fake_statements(2));
}

TEST_F(ListRowsTest, NewsWithoutTagsOnlyDeletesItsPreviousTags) {
    ASSERT_EQ(
        1, news_tags(worker(2), *item(249, {{48, "N9"}, {3, "2024-05-06"}, {620, std::nullopt}})));
    EXPECT_EQ((std::vector<std::string>{"DELETE FROM tags WHERE newsid='N9' AND insref=7"}),
              fake_statements(2));
    // Without the tags field there is no tags column to work with: nothing at all.
    fake_clear_calls();
    ASSERT_EQ(1, news_tags(worker(2), *item(249, {{48, "N9"}, {3, "2024-05-06"}})));
    EXPECT_TRUE(fake_statements().empty());
}

TEST_F(ListRowsTest, TagIdentifierAndDateCannotChangeTheStatement) {
    ASSERT_EQ(1,
              news_tags(worker(2), *item(249, {{48, "x' OR 'a'='a"}, {3, "today'"}, {620, "t"}})));
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE FROM tags WHERE newsid='x'' OR ''a''=''a' AND insref=7",
                  "INSERT INTO tags (newsid,insref,ndate,tag) VALUES "
                  "('x'' OR ''a''=''a',7,'today''','t')",
              }),
              fake_statements(2));
}

TEST_F(ListRowsTest, MissingTagsTableIsReported) {
    g_tabledefs.clear();
    g_tabledefs.create(10);
    define(R"(<definitions><message mref="249" table="tags">
        <field tag="48" column="id"/><field tag="3" column="d"/><field tag="620" column="t"/>
        </message></definitions>)");
    sqltest::LogRecorder log;
    EXPECT_EQ(-1, news_tags(worker(2), *item(249, {{48, "N"}, {3, "2024-01-01"}, {620, "a"}})));
    EXPECT_EQ(1u, log.count("Error looking up newstags table 249:insref", LOG_LEVEL_PROBLEM));
    EXPECT_TRUE(fake_statements().empty());
}

TEST_F(ListRowsTest, RefusedTagRowIsQuietAndARerunStops) {
    fake_on_statement("'a')", FakeResult{ZEL_RESULT_FAILED}, 1);
    ASSERT_EQ(1, news_tags(worker(2), *item(249, {{48, "N9"}, {3, "2024-05-06"}, {620, "a|b"}})));
    EXPECT_EQ(3u, fake_statements(2).size());
    EXPECT_EQ(0u, stats(2).failed);
    fake_clear_calls();
    fake_on_statement("'a')", FakeResult{ZEL_RESULT_RERUN}, 1);
    EXPECT_EQ(ZEL_RESULT_RERUN,
              news_tags(worker(2), *item(249, {{48, "N9"}, {3, "2024-05-06"}, {620, "a|b"}})));
    EXPECT_EQ(2u, fake_statements(2).size());
}

TEST_F(ListRowsTest, ReplaceOperatorAloneEmptiesTheList) {
    ASSERT_EQ(1, list(item(12, {{55, "="}})));
    EXPECT_EQ((std::vector<std::string>{"DELETE FROM links WHERE insref=7"}), fake_statements(3));
    for (QueueItem* i : {item(12, {{55, ""}}), item(12, {{55, std::nullopt}}), item(12, {})}) {
        fake_clear_calls();
        ASSERT_EQ(1, list(i));
        EXPECT_EQ((std::vector<std::string>{"DELETE FROM links WHERE insref=7"}),
                  fake_statements(3));
    }
}

TEST_F(ListRowsTest, AddSkipsWhatIsNotANumber) {
    ASSERT_EQ(1, list(item(12, {{55, "+12 x 13"}})));
    EXPECT_EQ((std::vector<std::string>{
                  "INSERT INTO links (insref,linked) VALUES (7,12)",
                  "INSERT INTO links (insref,linked) VALUES (7,13)",
              }),
              fake_statements(3));
}

TEST_F(ListRowsTest, ListWithoutOperatorReplacesAndReadsItsFirstCharacter) {
    ASSERT_EQ(1, list(item(12, {{55, "5,6;-7 99999999999999999999 8"}})));
    EXPECT_EQ(
        (std::vector<std::string>{
            "DELETE FROM links WHERE insref=7", "INSERT INTO links (insref,linked) VALUES (7,5)",
            "INSERT INTO links (insref,linked) VALUES (7,6)",
            "INSERT INTO links (insref,linked) VALUES (7,7)",  // the "-" is skipped alone
            "INSERT INTO links (insref,linked) VALUES (7,8)",  // beyond 64 bits: skipped
        }),
        fake_statements(3));
}

TEST_F(ListRowsTest, SecondKeyListsAddUnderTheKeyAndRemoveWhateverTheKey) {
    ASSERT_EQ(1, list(item(248, {{54, "3"}, {527, "=4 5"}})));
    ASSERT_EQ(1, list(item(248, {{54, "3"}, {527, "-4"}})));
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE FROM mappings WHERE insref=7 AND scheme=3",
                  "INSERT INTO mappings (insref,mapped,scheme) VALUES (7,4,3)",
                  "INSERT INTO mappings (insref,mapped,scheme) VALUES (7,5,3)",
                  "DELETE FROM mappings WHERE insref=7 AND mapped=4",
              }),
              fake_statements(3));
}

TEST_F(ListRowsTest, SecondKeyMustBeWhatItsColumnHolds) {
    sqltest::LogRecorder log;
    EXPECT_EQ(1, list(item(248, {{54, "3 OR 1=1"}, {527, "=4"}})));
    EXPECT_EQ(1, list(item(248, {{527, "=4"}})));  // no second key: whose list is it?
    EXPECT_TRUE(fake_statements().empty());
    EXPECT_EQ(1u, log.count("second key '3 OR 1=1' is not a number", LOG_LEVEL_PROBLEM));

    // A textual second key goes through the module.
    g_tabledefs.clear();
    g_tabledefs.create(10);
    define(R"(<definitions><message mref="248" table="m"><field tag="insref" column="i"/>
              <field tag="54" column="k" type="varchar" len="8"/>
              <field tag="527" column="v" type="bigint"/></message></definitions>)");
    EXPECT_EQ(1, list(item(248, {{54, "a'b"}, {527, ""}})));
    EXPECT_EQ((std::vector<std::string>{"DELETE FROM m WHERE i=7 AND k='a''b'"}),
              fake_statements(3));
}

TEST_F(ListRowsTest, ElementAlreadyStoredIsQuietOtherFailuresAreReportedUntilARerun) {
    fake_on_statement("VALUES (7,1)", FakeResult{ZEL_RESULT_FAILED}, 1);    // already stored
    fake_on_statement("VALUES (7,2)", FakeResult{ZEL_RESULT_REJECTED}, 1);  // refused
    fake_on_statement("VALUES (7,3)", FakeResult{ZEL_RESULT_RERUN}, 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, list(item(12, {{55, "+1 2 3 4"}})));
    EXPECT_EQ(3u, fake_statements(3).size());
    EXPECT_EQ(2u, stats(3).failed);  // the refused element and the rerun
    fake_clear_calls();
    fake_on_statement("WHERE insref=7 AND linked=5", FakeResult{ZEL_RESULT_REJECTED}, 1);
    EXPECT_EQ(1, list(item(12, {{55, "-5 6"}})));
    EXPECT_EQ(2u, fake_statements(3).size());
    EXPECT_EQ(3u, stats(3).failed);
}

}  // namespace
