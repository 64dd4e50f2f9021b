// Instrument and order book removal: both lists in order with `keepdeleted` 0 and 1, the
// second DELETE of the quote table for best-bid-and-offer quotes, targets without a
// definition, a rerun that does not stop the list, and the book clear flags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/removal.h"

namespace {

using sqltest::LogRecorder;
using sqltest::SqlTest;

// One table per kind, named t<kind>, with its instrument column i<kind>.
std::string message(unsigned kind, const std::string& extra = "") {
    std::string k = std::to_string(kind);
    return "<message mref=\"" + k + "\" table=\"t" + k + "\"><field tag=\"insref\" column=\"i" + k +
           "\" type=\"bigint\"/>" + extra + "</message>";
}

class RemovalTest : public SqlTest {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        std::string xml = "<definitions>";
        xml += message(6, "<field tag=\"126\" column=\"state\" type=\"int\"/>");
        for (unsigned kind : {32u, 2u,   40u, 16u, 20u, 21u, 11u, 4u,  252u, 26u, 27u,
                              37u, 251u, 38u, 18u, 19u, 22u, 24u, 25u, 250u, 246u})
            xml += message(kind);
        xml += message(12, "<field tag=\"55\" column=\"member\" type=\"bigint\"/>");
        xml += message(23, "<field tag=\"1\" column=\"ref\" type=\"bigint\"/>");
        xml += message(248, "<field tag=\"527\" column=\"mapped\" type=\"bigint\"/>");
        xml += "</definitions>";
        define(xml);
        // The definitions switch on every request they map; these are the ones they do not.
        g_config.requestquotesbbo = 1;
        item_.insref = 31;
    }
    std::vector<std::string> deletes(std::initializer_list<unsigned> kinds) {
        std::vector<std::string> out;
        for (unsigned k : kinds)
            out.push_back("DELETE FROM t" + std::to_string(k) + " WHERE i" + std::to_string(k) +
                          "=31");
        return out;
    }
    static std::vector<std::string> cascade() {
        return {"DELETE FROM t12 WHERE member=31", "DELETE FROM t12 WHERE i12=31",
                "DELETE FROM t23 WHERE ref=31",    "DELETE FROM t23 WHERE i23=31",
                "DELETE FROM t24 WHERE i24=31",    "DELETE FROM t25 WHERE i25=31",
                "DELETE FROM t250 WHERE i250=31",  "DELETE FROM t246 WHERE i246=31"};
    }
    static std::vector<std::string> mappings() {
        return {"DELETE FROM t248 WHERE mapped=31", "DELETE FROM t248 WHERE i248=31"};
    }

    QueueItem item_{};
};

TEST_F(RemovalTest, InstrumentRemovalDeletesEveryRequestedTableInOrder) {
    EXPECT_EQ(1, instrument_removal(worker(3), item_));
    std::vector<std::string> expected =
        deletes({6, 32, 2, 2, 40, 16, 20, 21, 11, 4, 252, 26, 27, 37});
    for (auto& s : deletes({251, 38, 18, 19, 22}))
        expected.push_back(s);
    for (auto& s : cascade())
        expected.push_back(s);
    for (auto& s : mappings())
        expected.push_back(s);
    EXPECT_EQ(expected, fake_statements(3));
    EXPECT_EQ(expected.size(), stats(3).updated);
}

TEST_F(RemovalTest, SwitchedOffRequestsAreLeftAlone) {
    g_config.requestquotesbbo = 0;
    g_config.requestquotes = -1;
    g_config.requestbasicdata = 0;
    g_config.requestmappings = 0;
    g_config.requestestimates = -1;
    EXPECT_EQ(1, instrument_removal(worker(3), item_));
    std::vector<std::string> expected =
        deletes({32, 40, 16, 11, 4, 252, 26, 27, 37, 251, 38, 18, 19, 22});
    EXPECT_EQ(expected, fake_statements(3));
}

TEST_F(RemovalTest, KeepDeletedMarksTheInstrumentAndStillRemovesLiveRows) {
    g_config.keepdeleted = 1;
    g_config.requestmappings = 0;
    EXPECT_EQ(1, instrument_removal(worker(3), item_));
    std::vector<std::string> expected = {"UPDATE t6 SET state=9 WHERE i6=31"};
    for (auto& s : deletes({251, 38, 18, 19, 22}))
        expected.push_back(s);
    for (auto& s : cascade())
        expected.push_back(s);
    EXPECT_EQ(expected, fake_statements(3));

    // An instrument without a basic-data row: the mark is a failed update, the rest goes on.
    fake_reset();
    worker(3).connection = g_module.mod_create(g_config.module_params());
    FakeResult nothing;
    nothing.code = 0;
    fake_on_statement("UPDATE t6", nothing);
    LogRecorder log;
    EXPECT_EQ(1, instrument_removal(worker(3), item_));
    EXPECT_EQ(1u, stats(3).failed);
    EXPECT_EQ(1u, log.count("SQL Error:'UPDATE t6 SET state=9 WHERE i6=31'"));
    EXPECT_EQ(expected.size(), fake_statements().size());
}

TEST_F(RemovalTest, KeepDeletedRerunEndsTheRemoval) {
    g_config.keepdeleted = 1;
    FakeResult rerun;
    rerun.code = ZEL_RESULT_RERUN;
    fake_on_statement("UPDATE t6", rerun);
    EXPECT_EQ(ZEL_RESULT_RERUN, instrument_removal(worker(3), item_));
    EXPECT_EQ(std::vector<std::string>{"UPDATE t6 SET state=9 WHERE i6=31"}, fake_statements(3));
}

TEST_F(RemovalTest, RerunInTheListIsReportedAfterEveryTargetRan) {
    FakeResult rerun;
    rerun.code = ZEL_RESULT_RERUN;
    fake_on_statement("DELETE FROM t40 ", rerun, 1);
    FakeResult failed;
    failed.code = ZEL_RESULT_REJECTED;
    fake_on_statement("DELETE FROM t16 ", failed, 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, instrument_removal(worker(3), item_));
    EXPECT_EQ(14u + 5u + 8u + 2u, fake_statements(3).size());
    EXPECT_EQ(2u, stats(3).failed);
}

TEST_F(RemovalTest, MissingDefinitionsAreSkipped) {
    g_tabledefs.clear();
    g_tabledefs.create(100);
    define("<definitions>" + message(2) + "</definitions>");
    g_config.requestquotesbbo = 0;
    g_config.requestbasicdata = 1;  // asked for, but not defined
    g_config.requestmappings = 1;
    EXPECT_EQ(1, instrument_removal(worker(3), item_));
    EXPECT_EQ(deletes({2}), fake_statements(3));
}

TEST_F(RemovalTest, BookRemovalFollowsTheClearFlags) {
    item_.flags = ITEM_CLEAR_BOOK | ITEM_CLEAR_MBO;
    EXPECT_EQ(1, book_removal(worker(4), item_));
    EXPECT_EQ(deletes({251, 38}), fake_statements(4));

    fake_clear_calls();
    item_.flags = ITEM_CLEAR_MBO;
    EXPECT_EQ(1, book_removal(worker(4), item_));
    EXPECT_EQ(deletes({38}), fake_statements(4));

    fake_clear_calls();
    item_.flags = ITEM_CLEAR_BOOK | ITEM_CLEAR_MBO;
    g_config.requestorderbooks = 0;
    FakeResult rerun;
    rerun.code = ZEL_RESULT_RERUN;
    fake_on_statement("t38", rerun);
    EXPECT_EQ(ZEL_RESULT_RERUN, book_removal(worker(4), item_));
    EXPECT_EQ(deletes({38}), fake_statements(4));
}

}  // namespace
