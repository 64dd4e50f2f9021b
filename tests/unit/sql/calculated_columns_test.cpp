// The key-ratio recompute: its exact statement, formulas that agree with the row writer's
// (a ratio must not flip to its inverse depending on which message came last), calc codes
// without a formula, a price that is not a number, and when nothing is built.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/calculated_columns.h"
#include "zel/sql/row_statements.h"
#include "zel/sql/sql_values.h"

namespace {

using sqltest::make_item;
using sqltest::SqlTest;

const char* kDefinitions = R"(<definitions version="1">
  <message mref="19" table="keyratios">
    <field tag="insref" column="insref" type="bigint"/>
    <field tag="3" column="kdate" type="date"/>
    <field tag="4" column="ktime" type="time"/>
    <field tag="705" column="odd" type="double" calc="7"/>
    <field tag="700" column="pe" type="double" calc="2" column2="eps"/>
    <field tag="701" column="pb" type="double" calc="2" column2="bvps" factor="10"/>
    <field tag="702" column="dy" type="double" calc="1" column2="dps" factor="100"/>
    <field tag="703" column="ey" type="double" calc="1"/>
    <field tag="704" column="mcap" type="double" calc="3" column2="shares"/>
    <field tag="706" column="mcapk" type="double" calc="3" column2="sh" factor="0.001"/>
    <field tag="707" column="sales" type="double"/>
  </message>
</definitions>)";

class CalculatedColumnsTest : public SqlTest {
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
    QueueItem* quote(const char* price, std::initializer_list<sqltest::Field> fields = {}) {
        QueueItem* item = make_item(2, 42, fields);
        if (price) set_current_value(item->price, item->price_present, price);
        items_.push_back(item);
        return item;
    }
    static std::string text() { return worker(1).statement.c_str(); }
    static std::string between(const std::string& s, const std::string& from,
                               const std::string& to) {
        size_t a = s.find(from);
        if (a == std::string::npos) return "<" + from + " missing>";
        a += from.size();
        size_t b = s.find(to, a);
        return b == std::string::npos ? "<" + to + " missing>" : s.substr(a, b - a);
    }

    static std::multiset<std::string> operands(const std::string& product) {
        std::multiset<std::string> out;
        size_t from = 0;
        for (size_t star; (star = product.find('*', from)) != std::string::npos; from = star + 1)
            out.insert(product.substr(from, star - from));
        out.insert(product.substr(from));
        return out;
    }

    std::vector<QueueItem*> items_;
};

TEST_F(CalculatedColumnsTest, RecomputesEveryCalculatedColumnFromThePrice) {
    QueueItem* q = quote("50", {{4, "10:00:00"}, {3, "2024-01-02"}, {7, "50"}});
    EXPECT_EQ(6, keyratio_update(worker(1), *q));
    // calc 7 has no formula and leaves the first separator a blank.
    EXPECT_EQ(
        "UPDATE keyratios SET pe=50/NULLIF(eps,0),pb=(50/NULLIF(bvps,0))*10,"
        "dy=(dps/NULLIF(50,0))*100,ey=ey_base/NULLIF(50,0),mcap=50*shares,mcapk=50*sh*0.001,"
        "ktime='10:00:00',kdate='2024-01-02' WHERE insref=42",
        text());
}

TEST_F(CalculatedColumnsTest, RecomputeAgreesWithTheRowWriterForEveryFormula) {
    const std::string raw = "4";
    const std::string price = "50";
    const std::vector<const FieldDef*> all = g_config.calc_keyratio_fields;
    int compared = 0;
    for (const FieldDef* field : all) {
        if (field->calc < 1 || field->calc > 3) continue;
        // The row writer: a key-ratio message with the raw value and the price slot.
        QueueItem* row = make_item(19, 42, {{static_cast<uint32_t>(std::stoul(field->tag)), raw}});
        items_.push_back(row);
        set_current_value(row->price, row->price_present, price.c_str());
        ASSERT_EQ(1, row_update(worker(1), *row, *find_messagedef(19), nullptr));
        std::string written = between(text(), std::string(field->column) + "=",
                                      std::string(",") + field->column2 + "=");

        // The recompute of that one column, with the stored raw value read for its column.
        g_config.calc_keyratio_fields = {field};
        ASSERT_EQ(1, keyratio_update(worker(1), *quote(price.c_str())));
        std::string recomputed = between(text(), std::string(field->column) + "=", " WHERE");
        size_t at = recomputed.find(field->column2);
        ASSERT_NE(std::string::npos, at) << recomputed;
        recomputed.replace(at, std::string(field->column2).size(), raw);
        if (field->calc == 3) {
            // A product: the same operands in either order.
            EXPECT_EQ(operands(written), operands(recomputed)) << field->column;
        } else {
            EXPECT_EQ(written, recomputed) << field->column;
        }
        ++compared;
    }
    g_config.calc_keyratio_fields = all;
    EXPECT_EQ(6, compared);
}

TEST_F(CalculatedColumnsTest, PriceThatIsNotANumberSetsTheColumnsToNull) {
    QueueItem* q = quote("1;DELETE FROM keyratios");
    EXPECT_EQ(6, keyratio_update(worker(1), *q));
    EXPECT_EQ(
        "UPDATE keyratios SET pe=NULL,pb=NULL,dy=NULL,ey=NULL,mcap=NULL,mcapk=NULL WHERE "
        "insref=42",
        text());
}

TEST_F(CalculatedColumnsTest, NothingIsBuiltWithoutPriceOrCalculatedFields) {
    EXPECT_EQ(0, keyratio_update(worker(1), *quote(nullptr)));
    g_config.calc_keyratio_fields.clear();
    EXPECT_EQ(0, keyratio_update(worker(1), *quote("50")));

    // Only formula-less calculated fields: no assignment, nothing to execute.
    g_tabledefs.clear();
    g_tabledefs.create(10);
    define(R"(<definitions><message mref="19" table="k"><field tag="insref" column="i"/>
              <field tag="705" column="odd" calc="9"/></message></definitions>)");
    EXPECT_EQ(0, keyratio_update(worker(1), *quote("50")));

    // Calculated fields whose kind has no instrument column.
    g_tabledefs.clear();
    g_tabledefs.create(10);
    define(R"(<definitions><message mref="19" table="k">
              <field tag="700" column="pe" calc="2"/></message></definitions>)");
    EXPECT_EQ(-1, keyratio_update(worker(1), *quote("50")));
}

}  // namespace
