// News coding rows and packed list rows: lists of unequal length, a defined column without
// its field, missing definitions, identifiers and words that try to change a statement,
// escaped bars, short records, empty texts, refused rows and reruns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/execute.h"
#include "zel/sql/news_coding.h"

namespace {

using sqltest::make_item;
using sqltest::SqlTest;

const char* kDefinitions = R"(<definitions version="1">
  <message mref="255" table="coding">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="48" column="newsid" type="varchar" len="32"/>
    <field tag="3" column="ndate" type="date"/>
    <field tag="167" column="isin" type="char" len="12"/>
    <field tag="85" column="company" type="int"/>
  </message>
  <message mref="23" table="packed">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="1" column="ref" type="bigint"/>
    <field tag="2" column="name" type="varchar" len="8"/>
    <field tag="3" column="weight" type="double"/>
    <field tag="5" column="note" type="varchar"/>
  </message>
</definitions>)";

const std::string kPrefix = "INSERT INTO coding (insref,newsid,ndate,isin,company) VALUES (7,'N1'";

class NewsCodingTest : public SqlTest {
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
    int packed(QueueItem* i) { return packed_list_rows(worker(3), *i, *find_messagedef(i->kind)); }

    std::vector<QueueItem*> items_;
};

TEST_F(NewsCodingTest, ListsAreConsumedInStepAndTheShorterOneIsPadded) {
    QueueItem* news = item(255, {{48, "N1"}, {3, "2024-05-06"}, {167, "X Y  Z"}, {85, "1 2"}});
    ASSERT_EQ(1, news_coding(worker(2), *news));
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE FROM coding WHERE newsid = 'N1'",
                  kPrefix + ",'2024-05-06','X',1)",
                  kPrefix + ",'2024-05-06','Y',2)",
                  kPrefix + ",'2024-05-06','Z',0)",
              }),
              fake_statements(2));
}

TEST_F(NewsCodingTest, DefinedIsinColumnWithoutItsFieldWritesEmptyIsins) {
    QueueItem* news = item(255, {{48, "N1"}, {85, "7 8"}});
    ASSERT_EQ(1, news_coding(worker(2), *news));
    const std::string prefix = "INSERT INTO coding (insref,newsid,isin,company) VALUES (7,'N1'";
    EXPECT_EQ((std::vector<std::string>{"DELETE FROM coding WHERE newsid = 'N1'", prefix + ",'',7)",
                                        prefix + ",'',8)"}),
              fake_statements(2));
    // Without a company field the company is 0 for every ISIN.
    fake_clear_calls();
    ASSERT_EQ(1, news_coding(worker(2), *item(255, {{48, "N1"}, {167, "A B"}})));
    EXPECT_EQ((std::vector<std::string>{"DELETE FROM coding WHERE newsid = 'N1'",
                                        prefix + ",'A',0)", prefix + ",'B',0)"}),
              fake_statements(2));
}

TEST_F(NewsCodingTest, IdentifierDateAndWordsCannotChangeTheStatement) {
    QueueItem* news =
        item(255, {{48, "N1' OR '1'='1"}, {3, "2024-05-06'"}, {167, "A'B"}, {85, "1;DROP"}});
    ASSERT_EQ(1, news_coding(worker(2), *news));
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE FROM coding WHERE newsid = 'N1'' OR ''1''=''1'",
                  "INSERT INTO coding (insref,newsid,ndate,isin,company) VALUES "
                  "(7,'N1'' OR ''1''=''1','2024-05-06''','A''B',NULL)",
              }),
              fake_statements(2));
}

TEST_F(NewsCodingTest, MissingDefinitionsAreReportedAndNothingIsDeleted) {
    sqltest::LogRecorder log;
    EXPECT_EQ(-1, news_coding(worker(2), *item(255, {{167, "X"}})));  // no identifier
    EXPECT_EQ(-1, news_coding(worker(2), *item(255, {{48, std::nullopt}, {167, "X"}})));
    g_tabledefs.clear();
    g_tabledefs.create(10);
    define(R"(<definitions><message mref="255" table="c"><field tag="insref" column="i"/>
              <field tag="48" column="id"/></message></definitions>)");
    EXPECT_EQ(-1, news_coding(worker(2), *item(255, {{48, "N"}, {167, "X"}})));  // no list column
    EXPECT_EQ(3u, log.count("Error with newscoding: newsref=", LOG_LEVEL_PROBLEM));
    EXPECT_TRUE(fake_statements().empty());
}

TEST_F(NewsCodingTest, RefusedRowDoesNotStopTheNextAndARerunStopsAll) {
    fake_on_statement("'X',1)", FakeResult{ZEL_RESULT_FAILED}, 1);
    ASSERT_EQ(1, news_coding(worker(2), *item(255, {{48, "N1"}, {167, "X Y"}, {85, "1 2"}})));
    EXPECT_EQ(3u, fake_statements(2).size());
    EXPECT_EQ(0u, stats(2).failed);

    fake_clear_calls();
    fake_on_statement("DELETE FROM coding", FakeResult{ZEL_RESULT_RERUN}, 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, news_coding(worker(2), *item(255, {{48, "N1"}, {167, "X"}})));
    EXPECT_EQ(1u, fake_statements(2).size());
}

TEST_F(NewsCodingTest, PackedRecordsSplitAtUnescapedBars) {
    // Position 4 has no column: its word ("" in the first record, "a b" in the second) is
    // passed over and position 5 takes the fifth word.
    ASSERT_EQ(1, packed(item(23, {{9, "1 x 0.5 |2 y\\|z 3 a\\ b extra words"}})));
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE FROM packed WHERE insref=7",
                  "INSERT INTO packed (insref,ref,name,weight,note) VALUES (7,1,'x',0.5,NULL)",
                  "INSERT INTO packed (insref,ref,name,weight,note) VALUES (7,2,'y|z',3,'extra')",
              }),
              fake_statements(3));
}

TEST_F(NewsCodingTest, ShortRecordsGetNullAndDoubleBlanksGiveEmptyWords) {
    ASSERT_EQ(1, packed(item(23, {{1, "5  x"}, {2, "ignored: only the first field counts"}})));
    std::vector<std::string> s = fake_statements(3);
    ASSERT_EQ(2u, s.size());
    // Word 2 is empty, word 3 is "x" (not a number, NULL), positions 4 and 5 are absent.
    EXPECT_EQ("INSERT INTO packed (insref,ref,name,weight,note) VALUES (7,5,'',NULL,NULL)", s[1]);
}

TEST_F(NewsCodingTest, EmptyPackedTextOnlyDeletesTheOldRows) {
    for (QueueItem* i : {item(23, {{1, ""}}), item(23, {{1, std::nullopt}}), item(23, {}),
                         item(23, {{1, "|||"}})}) {
        fake_clear_calls();
        ASSERT_EQ(1, packed(i));
        EXPECT_EQ((std::vector<std::string>{"DELETE FROM packed WHERE insref=7"}),
                  fake_statements(3));
    }
    fake_clear_calls();
    fake_on_statement("DELETE FROM packed", FakeResult{ZEL_RESULT_RERUN}, 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, packed(item(23, {{1, "1 a"}})));
    EXPECT_EQ(1u, fake_statements(3).size());
}

}  // namespace
