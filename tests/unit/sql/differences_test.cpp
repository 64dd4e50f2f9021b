// Quote reads and performance differences: the 23 pairs in period order against their own
// references, yield and bid pairs, a marker without a value, values that are not numbers,
// missing columns, the extended-quote difference, the difference reset, the reads with
// their results handed back, and the follow-ups of quotes, performance references and
// key ratios with their reruns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/differences.h"
#include "zel/sql/execute.h"
#include "zel/sql/sql_values.h"

namespace {

using sqltest::hold_transaction;
using sqltest::make_item;
using sqltest::SqlTest;

struct PeriodRow {
    const char* suffix;
    unsigned price_tag;
    unsigned yield_tag;
};
// Written out here independently of the builder: the period order is what operators'
// tables and reports rely on.
const PeriodRow kPeriods[] = {
    {"1d", 148, 261},  {"1w", 149, 262},   {"2w", 334, 335},  {"1m", 150, 263},  {"3m", 151, 264},
    {"6m", 152, 265},  {"9m", 153, 266},   {"1y", 154, 267},  {"2y", 155, 268},  {"3y", 249, 269},
    {"4y", 777, 782},  {"5y", 156, 270},   {"6y", 778, 783},  {"7y", 779, 784},  {"8y", 780, 785},
    {"9y", 781, 786},  {"10y", 157, 271},  {"wtd", 158, 272}, {"mtd", 159, 273}, {"qtd", 160, 274},
    {"ytd", 161, 275}, {"pytd", 162, 276}, {"ld", 250, 277},
};

// Quotes, the performance table (kind 18 references r<tag>) and the differences (254).
std::string definitions(bool with_yield_columns = true, const std::string& more = "") {
    std::string xml = R"(<definitions version="1">
  <message mref="2" table="quotes">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="qdate" type="date"/>
    <field tag="5" column="bid" type="decimal"/>
    <field tag="7" column="last" type="decimal"/>
    <field tag="74" column="bidyield" type="decimal"/>
    <field tag="76" column="yield" type="decimal"/>
    <field tag="93" column="nav" type="decimal"/>
  </message>
  <message mref="18" table="perf">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="354" column="r354" type="decimal"/>
    <field tag="355" column="r355" type="decimal"/>
    <field tag="40" column="r40" type="decimal"/>
)";
    for (const PeriodRow& p : kPeriods) {
        xml += "<field tag=\"" + std::to_string(p.price_tag) + "\" column=\"r" +
               std::to_string(p.price_tag) + "\" type=\"decimal\"/>\n";
        xml += "<field tag=\"" + std::to_string(p.yield_tag) + "\" column=\"r" +
               std::to_string(p.yield_tag) + "\" type=\"decimal\"/>\n";
    }
    xml += R"(</message>
  <message mref="254" table="perf">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="pdate" type="date"/>
    <field tag="4" column="ptime" type="time"/>
)";
    std::vector<std::string> names;
    for (const PeriodRow& p : kPeriods) {
        names.push_back(std::string("diff") + p.suffix);
        if (with_yield_columns) names.push_back(std::string("diffyield") + p.suffix);
    }
    for (const char* n : {"diffbid1d", "diffbid1w", "diffbidyield1d", "diffbidyield1w", "diffex1d"})
        names.push_back(n);
    for (const std::string& n : names) {
        xml += "<field tag=\"" + n + "\" column=\"" + n + "\" type=\"double\"/>\n";
        xml += "<field tag=\"" + n + "prc\" column=\"" + n + "prc\" type=\"double\"/>\n";
    }
    xml += "</message>\n" + more + "</definitions>";
    return xml;
}

std::string pair(const std::string& name, unsigned tag, const std::string& value) {
    std::string ref = "r" + std::to_string(tag);
    return name + "=" + value + "-" + ref + "," + name + "prc=(" + value + "-" + ref + ")/NULLIF(" +
           ref + ",0)*100 ";
}

FakeResult rows(std::vector<std::vector<std::optional<std::string>>> values, int32_t code = 0) {
    FakeResult r;
    r.code = code;
    r.rows = std::move(values);
    return r;
}

class DifferencesTest : public SqlTest {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        define(definitions());
    }
    void TearDown() override {
        for (QueueItem* i : items_)
            freeQueueItem(i);
        SqlTest::TearDown();
    }
    QueueItem* item(uint8_t kind, std::initializer_list<sqltest::Field> fields = {},
                    uint32_t flags = 0) {
        items_.push_back(make_item(kind, 42, fields, flags));
        return items_.back();
    }
    static std::string text() { return worker(1).statement.c_str(); }

    std::vector<QueueItem*> items_;
};

TEST_F(DifferencesTest, PriceWritesTwentyThreePairsInPeriodOrder) {
    QueueItem* q = item(2);
    set_current_value(q->price, q->price_present, "10.5");
    ASSERT_EQ(1, difference_update(worker(1), *q));
    std::string expected = "UPDATE perf SET ";
    bool first = true;
    for (const PeriodRow& p : kPeriods) {
        if (!first) expected += ",";
        first = false;
        expected += pair(std::string("diff") + p.suffix, p.price_tag, "10.5");
    }
    expected += " WHERE insref=42";
    EXPECT_EQ(expected, text());
}

TEST_F(DifferencesTest, YieldBidAndBidYieldPairsWithStamps) {
    QueueItem* q = item(2, {{3, "2024-01-02"}, {4, "10:00:01"}});
    set_current_value(q->yield, q->yield_present, "3.25");
    set_current_value(q->bid, q->bid_present, "9");
    set_current_value(q->bid_yield, q->bid_yield_present, nullptr);
    ASSERT_EQ(1, difference_update(worker(1), *q));
    std::string expected = "UPDATE perf SET ";
    bool first = true;
    for (const PeriodRow& p : kPeriods) {
        if (!first) expected += ",";
        first = false;
        expected += pair(std::string("diffyield") + p.suffix, p.yield_tag, "3.25");
    }
    // The bid's two periods share one reference; a bid yield without a value clears 1d.
    expected += "," + pair("diffbid1d", 354, "9") + "," + pair("diffbid1w", 354, "9") +
                ",diffbidyield1d=NULL,diffbidyield1dprc=NULL" +
                ",ptime='10:00:01',pdate='2024-01-02' WHERE insref=42";
    EXPECT_EQ(expected, text());
}

TEST_F(DifferencesTest, MarkerWithoutValueClearsOnlyTheOneDayPair) {
    QueueItem* q = item(2);
    set_current_value(q->price, q->price_present, nullptr);
    ASSERT_EQ(1, difference_update(worker(1), *q));
    EXPECT_EQ("UPDATE perf SET diff1d=NULL,diff1dprc=NULL WHERE insref=42", text());
    EXPECT_EQ(0, difference_update(worker(1), *item(2)));  // no marker at all
}

TEST_F(DifferencesTest, ValueThatIsNotANumberIsWrittenAsNoValue) {
    QueueItem* q = item(2);
    set_current_value(q->bid, q->bid_present, "1-r354;DROP TABLE perf");
    ASSERT_EQ(1, difference_update(worker(1), *q));
    EXPECT_EQ(
        "UPDATE perf SET diffbid1d=NULL,diffbid1dprc=NULL,diffbid1w=NULL,diffbid1wprc=NULL "
        "WHERE insref=42",
        text());
}

TEST_F(DifferencesTest, PairsWithoutTheirColumnsVanish) {
    g_tabledefs.clear();
    g_tabledefs.create(100);
    define(definitions(false));
    QueueItem* q = item(2);
    set_current_value(q->yield, q->yield_present, "3");
    EXPECT_EQ(0, difference_update(worker(1), *q));
    g_tabledefs.clear();
    g_tabledefs.create(10);
    EXPECT_EQ(-1, difference_update(worker(1), *q));
    EXPECT_EQ(-1, extended_quote_difference(worker(1), *q));
    EXPECT_EQ(-1, difference_reset(worker(1), *q));
}

TEST_F(DifferencesTest, ExtendedQuoteDifferenceAgainstItsOwnReference) {
    QueueItem* ex = item(40, {{4, "bad'time"}});
    EXPECT_EQ(0, extended_quote_difference(worker(1), *ex));
    set_current_value(ex->price, ex->price_present, "7.5");
    ASSERT_EQ(1, extended_quote_difference(worker(1), *ex));
    EXPECT_EQ(
        "UPDATE perf SET " + pair("diffex1d", 40, "7.5") + ",ptime='bad''time' WHERE insref=42",
        text());
}

TEST_F(DifferencesTest, ResetClearsTheOneDayPairsOnly) {
    QueueItem* reset = item(8, {{3, "2024-01-02"}});
    ASSERT_EQ(1, difference_reset(worker(1), *reset));
    EXPECT_EQ(
        "UPDATE perf SET diff1dprc=NULL,diff1d=NULL ,diffbid1dprc=NULL,diffbid1d=NULL "
        ",diffyield1dprc=NULL,diffyield1d=NULL ,diffbidyield1dprc=NULL,diffbidyield1d=NULL "
        ",pdate='2024-01-02' WHERE insref=42",
        text());
    g_tabledefs.clear();
    g_tabledefs.create(10);
    define(R"(<definitions><message mref="254" table="p"><field tag="insref" column="i"/>
              <field tag="diff1w" column="diff1w"/><field tag="diff1wprc" column="diff1wprc"/>
              </message></definitions>)");
    EXPECT_EQ(0, difference_reset(worker(1), *reset));
}

TEST_F(DifferencesTest, QuoteReadsCopyTheFirstValueAndHandTheResultBack) {
    fake_on_statement("SELECT last FROM quotes WHERE insref=42", rows({{"10.25"}}), 1);
    fake_on_statement("SELECT nav FROM quotes WHERE insref=42", rows({{"99"}}), 1);
    fake_on_statement("SELECT bid FROM quotes WHERE insref=42", rows({{std::nullopt}}), 1);
    fake_on_statement("SELECT yield FROM quotes WHERE insref=42", rows({{""}}), 1);
    fake_on_statement("SELECT bidyield FROM quotes WHERE insref=42", rows({}, ZEL_RESULT_RERUN), 1);
    int32_t status = 1;
    char* price = read_quote_price(worker(1), 42, nullptr, &status);
    ASSERT_NE(nullptr, price);
    EXPECT_STREQ("10.25", price);
    free(price);
    InstrumentType fund{42, 3};
    price = read_quote_price(worker(1), 42, &fund, &status);
    ASSERT_NE(nullptr, price);
    EXPECT_STREQ("99", price);
    free(price);
    EXPECT_EQ(nullptr, read_quote_bid(worker(1), 42, &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(nullptr, read_quote_yield(worker(1), 42, &status));
    EXPECT_EQ(nullptr, read_quote_bid_yield(worker(1), 42, &status));
    EXPECT_EQ(ZEL_RESULT_RERUN, status);
    EXPECT_EQ(0, fake_open_results());
}

TEST_F(DifferencesTest, OneDayReferenceIsReadOnlyWhilePerformanceIsRequested) {
    fake_on_statement("SELECT r148 FROM perf WHERE insref=42", rows({{"8"}}));
    int32_t status = 0;
    g_config.requestperformance = 0;
    EXPECT_EQ(nullptr, read_one_day_reference(worker(1), 42, &status));
    EXPECT_TRUE(fake_statements().empty());
    g_config.requestperformance = -1;  // switched off, yet the table exists: still read
    char* ref = read_one_day_reference(worker(1), 42, &status);
    ASSERT_NE(nullptr, ref);
    EXPECT_STREQ("8", ref);
    free(ref);
}

TEST_F(DifferencesTest, PerformanceReferencesReadTheQuoteBackAndRecompute) {
    g_config.requestquotes = 1;
    fake_on_statement("SELECT last FROM quotes", rows({{"12"}}));
    fake_on_statement("SELECT bid FROM quotes", rows({}));
    QueueItem* perf = item(18, {}, ITEM_PERF_PRICE | ITEM_PERF_BID);
    ASSERT_EQ(0, quote_followups(worker(1), *perf, nullptr));
    std::vector<std::string> s = fake_statements(1);
    ASSERT_EQ(3u, s.size());
    EXPECT_EQ("SELECT last FROM quotes WHERE insref=42", s[0]);
    EXPECT_EQ("SELECT bid FROM quotes WHERE insref=42", s[1]);
    EXPECT_EQ(0u, s[2].find("UPDATE perf SET " + pair("diff1d", 148, "12") + "," +
                            pair("diff1w", 149, "12")));
    EXPECT_NE(std::string::npos, s[2].find(",diffbid1d=NULL,diffbid1dprc=NULL WHERE insref=42"));

    // Without quotes requested, or without a changed reference, nothing is read.
    fake_clear_calls();
    g_config.requestquotes = -1;
    ASSERT_EQ(0, quote_followups(worker(1), *perf, nullptr));
    g_config.requestquotes = 1;
    ASSERT_EQ(0, quote_followups(worker(1), *item(18), nullptr));
    EXPECT_TRUE(fake_statements().empty());
}

TEST_F(DifferencesTest, ReadThatAsksForARerunStopsTheFollowUps) {
    g_config.requestquotes = 1;
    hold_transaction(worker(1), 3);
    fake_on_statement("SELECT yield FROM quotes", rows({}, ZEL_RESULT_RERUN));
    QueueItem* perf = item(18, {}, ITEM_PERF_YIELD | ITEM_PERF_BIDYIELD);
    EXPECT_EQ(ZEL_RESULT_RERUN, quote_followups(worker(1), *perf, nullptr));
    EXPECT_EQ((std::vector<std::string>{"SELECT yield FROM quotes WHERE insref=42", "ROLLBACK"}),
              fake_statements(1));
}

TEST_F(DifferencesTest, QuoteFollowUpsWriteDifferencesThenKeyRatios) {
    g_tabledefs.clear();
    g_tabledefs.create(100);
    define(definitions(true, R"(<message mref="19" table="ratios">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="700" column="pe" type="double" calc="2" column2="eps"/>
  </message>)"));
    g_config.requestperformance = 1;
    g_config.requestkeyratios = 1;
    QueueItem* q = item(2);
    set_current_value(q->price, q->price_present, "20");
    fake_on_statement("UPDATE perf", FakeResult{ZEL_RESULT_REJECTED});
    ASSERT_EQ(0, quote_followups(worker(1), *q, nullptr));
    std::vector<std::string> s = fake_statements(1);
    ASSERT_EQ(2u, s.size());
    EXPECT_EQ(0u, s[0].find("UPDATE perf SET diff1d=20-r148"));
    EXPECT_EQ("UPDATE ratios SET pe=20/NULLIF(eps,0) WHERE insref=42", s[1]);

    // A rerun from the differences ends the follow-ups there.
    fake_reset();
    worker(1).connection = g_module.mod_create(g_config.module_params());
    fake_on_statement("UPDATE perf", FakeResult{ZEL_RESULT_RERUN});
    EXPECT_EQ(ZEL_RESULT_RERUN, quote_followups(worker(1), *q, nullptr));
    EXPECT_EQ(1u, fake_statements().size());

    // Extended quotes: only with a price and performance requested.
    fake_clear_calls();
    QueueItem* ex = item(40);
    EXPECT_EQ(0, quote_followups(worker(1), *ex, nullptr));
    set_current_value(ex->price, ex->price_present, "5");
    g_config.requestperformance = -1;
    EXPECT_EQ(0, quote_followups(worker(1), *ex, nullptr));
    EXPECT_TRUE(fake_statements().empty());
}

TEST_F(DifferencesTest, KeyRatioPriceFallsBackToTheOneDayReference) {
    g_config.requestperformance = 1;
    fake_on_statement("SELECT last FROM quotes", rows({{std::nullopt}}));
    fake_on_statement("SELECT r148 FROM perf", rows({{"31.5"}}));
    QueueItem* ratios = item(19);
    ASSERT_EQ(0, keyratio_price(worker(1), *ratios, nullptr));
    ASSERT_TRUE(ratios->price_present);
    EXPECT_STREQ("31.5", ratios->price);

    // Neither read finds a price: the slot stays empty.
    fake_reset();
    worker(1).connection = g_module.mod_create(g_config.module_params());
    QueueItem* none = item(19);
    ASSERT_EQ(0, keyratio_price(worker(1), *none, nullptr));
    EXPECT_FALSE(none->price_present);
    EXPECT_EQ(2u, fake_statements().size());
}

}  // namespace
