// Corporate actions and the adjusted price history: the history adjustment in both
// directions and for type 11, the ratio of a changed factor, an unchanged factor, the
// adjusted row with and without later actions, the reverse adjustment when a stored
// action is deleted, and the cases that must not touch the history at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/corporate_actions.h"
#include "zel/sql/execute.h"
#include "zel/sql/row_statements.h"

namespace {

using sqltest::hold_transaction;
using sqltest::LogRecorder;
using sqltest::make_item;
using sqltest::SqlTest;

const char* kActionsTable = R"(
  <message mref="11" table="ca">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="3" column="exdate" type="date" key="1"/>
    <field tag="97" column="seq" type="int" key="1"/>
    <field tag="99" column="catype" type="int"/>
    <field tag="103" column="factor" type="decimal"/>
    <field tag="789" column="note" type="varchar" len="10"/>
  </message>)";

const char* kAdjustedTable = R"(
  <message mref="252" table="adj">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="3" column="hdate" type="date" key="1"/>
    <field tag="4" column="htime" type="time"/>
    <field tag="97" column="seq" type="varchar" len="4"/>
    <field tag="789" column="note" type="varchar" len="10"/>
    <field tag="41" column="close" type="decimal"/>
    <field tag="42" column="high" type="decimal"/>
    <field tag="45" column="volume" type="decimal"/>
    <field tag="46" column="nav" type="decimal"/>
    <field tag="47" column="cur" type="varchar" len="3"/>
  </message>)";

class CorporateActionsTest : public SqlTest {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        define(std::string("<definitions>") + kActionsTable + kAdjustedTable + "</definitions>");
    }
    void TearDown() override {
        for (QueueItem* i : items_)
            freeQueueItem(i);
        SqlTest::TearDown();
    }
    QueueItem* item(uint8_t kind, std::initializer_list<sqltest::Field> fields,
                    uint32_t flags = 0) {
        items_.push_back(make_item(kind, 5, fields, flags));
        return items_.back();
    }
    static std::string text() { return worker(3).statement.c_str(); }
    static void stored(std::vector<std::vector<std::optional<std::string>>> rows) {
        FakeResult r;
        r.rows = std::move(rows);
        fake_on_statement("SELECT", r, 1);
    }

    std::vector<QueueItem*> items_;
    LogRecorder log_;
};

TEST_F(CorporateActionsTest, HistoryAdjustmentForwardReverseAndType11) {
    EXPECT_EQ(1, history_adjustment(worker(3), 5, "2024-03-01", 2.0, 0, ADJUST_FORWARD, nullptr));
    EXPECT_EQ(
        "UPDATE adj SET close=(close*2.000000),high=(high*2.000000),volume=(volume/2.000000) "
        "WHERE insref=5 AND hdate<'2024-03-01'",
        text());
    EXPECT_EQ(1, history_adjustment(worker(3), 5, "2024-03-01", 2.0, 0, ADJUST_REVERSE, nullptr));
    EXPECT_EQ(
        "UPDATE adj SET close=(close/2.000000),high=(high/2.000000),volume=(volume*2.000000) "
        "WHERE insref=5 AND hdate<'2024-03-01'",
        text());
    FieldValue* note = fieldValueCreate(789, "it's");
    EXPECT_EQ(1, history_adjustment(worker(3), 5, "2024-03-01", 0.5, 11, ADJUST_FORWARD, note));
    EXPECT_EQ(
        "UPDATE adj SET "
        "close=(close*0.500000),high=(high*0.500000),nav=(nav*0.500000),note='it''s' "
        "WHERE insref=5 AND hdate<'2024-03-01'",
        text());
    fieldValueFree(note);
    EXPECT_TRUE(fake_statements().empty());  // the caller executes
}

TEST_F(CorporateActionsTest, HistoryAdjustmentNeedsTheAdjustedTableAndItsDateColumn) {
    g_tabledefs.clear();
    g_tabledefs.create(100);
    define(std::string("<definitions>") + kActionsTable + "</definitions>");
    EXPECT_EQ(0, history_adjustment(worker(3), 5, "2024-03-01", 2.0, 0, ADJUST_FORWARD, nullptr));
    EXPECT_TRUE(log_.lines.empty());

    // Without a date column every row would be rescaled: nothing is built, once logged.
    g_tabledefs.clear();
    g_tabledefs.create(100);
    define(R"(<definitions><message mref="252" table="adj">
        <field tag="insref" column="insref" type="bigint"/>
        <field tag="41" column="close" type="decimal"/></message></definitions>)");
    EXPECT_EQ(0, history_adjustment(worker(3), 5, "2024-03-01", 2.0, 0, ADJUST_FORWARD, nullptr));
    EXPECT_EQ(1u, log_.count("No date column for the adjusted pricehistory", LOG_LEVEL_PROBLEM));
}

TEST_F(CorporateActionsTest, NewActionRescalesByItsFactor) {
    QueueItem* action =
        item(253, {{3, "2024-03-01"}, {97, "1"}, {99, "2"}, {103, "2.5"}, {789, "x"}});
    EXPECT_EQ(1, corporate_action(worker(3), *action));
    EXPECT_EQ(
        std::vector<std::string>{
            "SELECT factor,catype FROM ca WHERE insref=5 AND exdate='2024-03-01' AND seq='1'"},
        fake_statements(3));
    EXPECT_EQ(
        "UPDATE adj SET "
        "close=(close*2.500000),high=(high*2.500000),volume=(volume/2.500000),note='x' "
        "WHERE insref=5 AND hdate<'2024-03-01'",
        text());
}

TEST_F(CorporateActionsTest, FactorChangeFromTwoToFourRescalesByTwo) {
    stored({{"2.000000", "2"}});
    QueueItem* action = item(253, {{3, "2024-03-01"}, {97, "1"}, {99, "2"}, {103, "4"}});
    EXPECT_EQ(1, corporate_action(worker(3), *action));
    EXPECT_EQ(
        "UPDATE adj SET close=(close*2.000000),high=(high*2.000000),volume=(volume/2.000000) "
        "WHERE insref=5 AND hdate<'2024-03-01'",
        text());
    EXPECT_EQ(0, fake_open_results());
}

TEST_F(CorporateActionsTest, SameFactorChangesNothing) {
    stored({{"2.000000", "2"}});
    QueueItem* action = item(253, {{3, "2024-03-01"}, {97, "1"}, {99, "2"}, {103, "2.000000"}});
    EXPECT_EQ(0, corporate_action(worker(3), *action));
    // Printed differently but equal: the ratio is exactly 1.
    stored({{"2.000000", "2"}});
    QueueItem* again = item(253, {{3, "2024-03-01"}, {97, "1"}, {99, "2"}, {103, "2"}});
    EXPECT_EQ(0, corporate_action(worker(3), *again));
    EXPECT_EQ(0, fake_open_results());
}

TEST_F(CorporateActionsTest, TypeChangeToOrFromElevenIsLoggedAndAdjusted) {
    stored({{std::nullopt, "11"}});
    QueueItem* action = item(253, {{3, "2024-03-01"}, {97, "1"}, {99, "2"}, {103, "3"}});
    EXPECT_EQ(1, corporate_action(worker(3), *action));
    EXPECT_EQ(1u, log_.count("Corporateaction with 'wrong' type adjusted", LOG_LEVEL_PROBLEM));
    EXPECT_NE(std::string::npos, text().find("close=(close*3.000000)"));
}

TEST_F(CorporateActionsTest, ActionsThatMustNotAdjust) {
    QueueItem* removed =
        item(253, {{3, "2024-03-01"}, {97, "1"}, {99, "2"}, {103, "3"}}, ITEM_DELETE);
    EXPECT_EQ(0, corporate_action(worker(3), *removed));
    EXPECT_EQ(1u, log_.count("Adjusthistory with DeleteRecord set", LOG_LEVEL_PROBLEM));

    QueueItem* empty = item(253, {});
    EXPECT_EQ(0, corporate_action(worker(3), *empty));
    QueueItem* three = item(253, {{3, "2024-03-01"}, {99, "2"}, {103, "3"}});
    EXPECT_EQ(0, corporate_action(worker(3), *three));
    EXPECT_EQ(2u, log_.count("Corporateaction with empty adjustment", LOG_LEVEL_PROBLEM));

    // A factor that is not a number, or zero, would wipe the history out.
    QueueItem* garbage = item(253, {{3, "2024-03-01"}, {97, "1"}, {99, "2"}, {103, "abc"}});
    EXPECT_EQ(0, corporate_action(worker(3), *garbage));
    QueueItem* zero = item(253, {{3, "2024-03-01"}, {97, "1"}, {99, "2"}, {103, "0"}});
    EXPECT_EQ(0, corporate_action(worker(3), *zero));
    EXPECT_EQ(1u, log_.count("Corporateaction with unusable factor", LOG_LEVEL_PROBLEM));
    EXPECT_EQ(1u, log_.count("Corporateaction with unusable ratio", LOG_LEVEL_PROBLEM));
    EXPECT_EQ(1u, fake_statements().size());  // only the zero factor's query ran

    FakeResult rerun;
    rerun.code = ZEL_RESULT_RERUN;
    fake_on_statement("SELECT", rerun, 1);
    QueueItem* good = item(253, {{3, "2024-03-01"}, {97, "1"}, {99, "2"}, {103, "3"}});
    EXPECT_EQ(ZEL_RESULT_RERUN, corporate_action(worker(3), *good));
}

TEST_F(CorporateActionsTest, PriceRowWithoutLaterActionIsLeftToTheUnadjustedWrite) {
    QueueItem* row = item(4, {{3, "2024-01-02"}, {41, "10"}});
    EXPECT_EQ(-1, adjusted_row(worker(3), *row));
    EXPECT_EQ(
        std::vector<std::string>{
            "SELECT factor,catype FROM ca WHERE insref = 5 AND factor IS NOT NULL AND "
            "exdate>'2024-01-02'"},
        fake_statements(3));
}

TEST_F(CorporateActionsTest, PriceRowIsCorrectedByEveryLaterAction) {
    stored({{"2", "2"}, {"3", "11"}, {std::nullopt, "5"}});
    QueueItem* row = item(4, {{3, "2024-01-02"},
                              {97, "A1"},
                              {41, "10"},
                              {45, "400"},
                              {46, "5"},
                              {47, "E'R"},
                              {42, "x;1"},
                              {4, std::nullopt}});
    EXPECT_EQ(1, adjusted_row(worker(3), *row));
    std::vector<std::string> statements = fake_statements(3);
    ASSERT_EQ(2u, statements.size());
    EXPECT_EQ(
        "INSERT INTO adj (insref,hdate,seq,close,volume,nav,cur,high) VALUES "
        "(5,'2024-01-02','A1',(10*6.000000),(400/2.000000),(5*3.000000),'E''R',(NULL*6.000000))",
        statements[1]);

    // The row is there already: it is rewritten with the same corrections.
    stored({{"2", "2"}, {"3", "11"}});
    FakeResult exists;
    exists.code = ZEL_RESULT_FAILED;
    fake_on_statement("INSERT INTO adj", exists, 1);
    fake_clear_calls();
    EXPECT_EQ(1, adjusted_row(worker(3), *row));
    statements = fake_statements(3);
    ASSERT_EQ(3u, statements.size());
    EXPECT_EQ(
        "UPDATE adj SET close=(10*6.000000),volume=(400/2.000000),nav=(5*3.000000),cur='E''R',"
        "high=(NULL*6.000000),htime=NULL WHERE insref=5 AND hdate='2024-01-02' AND seq='A1'",
        statements[2]);
}

// Stored factors the forward adjustment would never have applied are left out of the
// product, rather than zeroing the row or dividing it by zero.
TEST_F(CorporateActionsTest, PriceRowSkipsUnusableStoredFactors) {
    stored({{"0", "2"}, {"-2", "2"}, {"nan", "11"}, {"inf", "2"}, {"0.0000001", "2"}, {"3", "2"}});
    QueueItem* row = item(4, {{3, "2024-01-02"}, {97, "A1"}, {41, "10"}, {45, "400"}, {46, "5"}});
    EXPECT_EQ(1, adjusted_row(worker(3), *row));
    std::vector<std::string> statements = fake_statements(3);
    ASSERT_EQ(2u, statements.size());
    EXPECT_EQ(
        "INSERT INTO adj (insref,hdate,seq,close,volume,nav) VALUES "
        "(5,'2024-01-02','A1',(10*3.000000),(400/3.000000),(5*1.000000))",
        statements[1]);
    EXPECT_EQ(5u, log_.count("unusable factor skipped", LOG_LEVEL_WARNING));

    // Usable factors whose product prints as 0.000000: the row goes in unadjusted.
    fake_clear_calls();
    stored({{"0.001", "2"}, {"0.001", "2"}, {"0.001", "2"}});
    EXPECT_EQ(-1, adjusted_row(worker(3), *row));
    EXPECT_EQ(1u, fake_statements(3).size());
    EXPECT_EQ(1u, log_.count("multiply to an unusable ratio", LOG_LEVEL_PROBLEM));
}

TEST_F(CorporateActionsTest, RatioThatPrintsAsZeroIsNotApplied) {
    stored({{"50000000", "2"}});
    QueueItem* action = item(253, {{3, "2024-03-01"}, {97, "1"}, {99, "2"}, {103, "1"}});
    EXPECT_EQ(0, corporate_action(worker(3), *action));
    EXPECT_EQ(1u, log_.count("Corporateaction with unusable ratio", LOG_LEVEL_PROBLEM));
}

TEST_F(CorporateActionsTest, PriceRowWithOneKeyOrNoValueIsNotWritten) {
    stored({{"2", "2"}});
    QueueItem* row = item(4, {{3, "2024-01-02"}, {41, "10"}});
    EXPECT_EQ(0, adjusted_row(worker(3), *row));
    EXPECT_EQ(1u, fake_statements(3).size());
}

TEST_F(CorporateActionsTest, DeletingAStoredActionUndoesItFirst) {
    const MessageDef* actions = find_messagedef(11);
    stored({{"2.000000", "11"}});
    QueueItem* gone = item(11, {{3, "2024-03-01"}, {97, "1"}, {103, "9"}, {789, "n"}}, ITEM_DELETE);
    EXPECT_EQ(1, row_delete(worker(3), *gone, *actions));
    EXPECT_EQ((std::vector<std::string>{
                  "SELECT factor,catype FROM ca WHERE insref=5 AND exdate='2024-03-01' AND seq=1 ",
                  "UPDATE adj SET "
                  "close=(close/2.000000),high=(high/2.000000),nav=(nav/2.000000),note='n' "
                  "WHERE insref=5 AND hdate<'2024-03-01'",
              }),
              fake_statements(3));
    EXPECT_EQ("DELETE FROM ca WHERE insref=5  AND exdate='2024-03-01' AND seq=1", text());
    EXPECT_EQ(0, fake_open_results());

    // A stored row without a factor: only the DELETE.
    fake_clear_calls();
    stored({{std::nullopt, "2"}});
    QueueItem* no_factor = item(11, {{3, "2024-03-01"}, {97, "1"}}, ITEM_DELETE);
    EXPECT_EQ(1, row_delete(worker(3), *no_factor, *actions));
    EXPECT_EQ(1u, fake_statements(3).size());

    // A failing reverse adjustment keeps the action (and its effect) in place.
    fake_clear_calls();
    stored({{"2.000000", "2"}});
    FakeResult rejected;
    rejected.code = ZEL_RESULT_REJECTED;
    fake_on_statement("UPDATE adj", rejected, 1);
    QueueItem* refused = item(11, {{3, "2024-03-01"}, {97, "1"}}, ITEM_DELETE);
    EXPECT_EQ(ZEL_RESULT_REJECTED, row_delete(worker(3), *refused, *actions));
}

// The DELETE after the reversal can fail with a rerun. Outside a transaction the reversal is
// stored for good, and the rerun must only delete; inside one the rollback took the reversal
// too, and the rerun reverses again.
TEST_F(CorporateActionsTest, RerunOfADeleteReversesTheActionOnce) {
    const MessageDef* actions = find_messagedef(11);
    QueueItem* gone = item(11, {{3, "2024-03-01"}, {97, "1"}, {103, "9"}}, ITEM_DELETE);
    stored({{"2.000000", "2"}});
    EXPECT_EQ(1, row_delete(worker(3), *gone, *actions));
    EXPECT_EQ(2u, fake_statements(3).size());
    fake_clear_calls();
    stored({{"2.000000", "2"}});
    EXPECT_EQ(1, row_delete(worker(3), *gone, *actions));
    EXPECT_TRUE(fake_statements(3).empty()) << "the rerun reversed the action a second time";
    EXPECT_EQ("DELETE FROM ca WHERE insref=5  AND exdate='2024-03-01' AND seq=1", text());

    QueueItem* in_transaction = item(11, {{3, "2024-03-01"}, {97, "1"}}, ITEM_DELETE);
    hold_transaction(worker(3), 1);
    for (int run = 0; run < 2; ++run) {
        fake_clear_calls();
        stored({{"2.000000", "2"}});
        EXPECT_EQ(1, row_delete(worker(3), *in_transaction, *actions));
        EXPECT_EQ(2u, fake_statements(3).size()) << "run " << run;
    }
    hold_transaction(worker(3), 0);
}

}  // namespace
