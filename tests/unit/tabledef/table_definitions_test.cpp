// The table-definition reader and the TableDefinitions lookups: entries per kind, reset
// lists, calculated key-ratio fields, request switches, parse-state carry-over, bad input.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/tabledef/table_definitions.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

class TableDefinitionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_config.silent = 1;
        log_set_observer(
            [](int level, const char* text, void* context) {
                static_cast<Lines*>(context)->emplace_back(level, text);
            },
            &logged_);
        defs_.create(100);
    }
    void TearDown() override { log_set_observer(nullptr, nullptr); }

    int parse(const std::string& xml) {
        return parse_table_definitions(xml.data(), xml.size(), defs_, config_);
    }

    bool logged(int level, const std::string& part) const {
        for (const auto& [lvl, text] : logged_) {
            if (lvl == level && text.find(part) != std::string::npos) return true;
        }
        return false;
    }

    TableDefinitions defs_;
    Config config_;
    Lines logged_;
};

TEST_F(TableDefinitionsTest, MultiKindMessageMakesOneEntryPerKindWithTheSameColumn) {
    ASSERT_EQ(1, parse(R"(<definitions version="7">
        <message mref="14,15" table="orderbook">
          <field tag="insref" column="insref" type="bigint" key="1"/>
          <field tag="5" column="price" type="decimal" len="18,6" nullable="1"/>
        </message></definitions>)"));

    const FieldDef* a = defs_.find_fielddef(14u, 5u);
    const FieldDef* b = defs_.find_fielddef(15u, 5u);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_NE(a, b);
    EXPECT_STREQ("price", a->column);
    EXPECT_STREQ("price", b->column);
    EXPECT_STREQ("orderbook", b->table);
    EXPECT_EQ(14u, a->kind);
    EXPECT_EQ(15u, b->kind);
    EXPECT_STREQ("14:5", a->lookup_key);
    EXPECT_STREQ("15:5", b->lookup_key);
    EXPECT_EQ(a, defs_.find_fielddef("14:5"));
    EXPECT_EQ(b, defs_.find_fielddef(15u, "5"));
    EXPECT_EQ(1, a->numeric);
    EXPECT_EQ(1, a->nullable);
    EXPECT_STREQ("18,6", a->len);
    EXPECT_EQ(0u, a->length);  // only char and varchar have a length
    EXPECT_EQ(7u, config_.tabledef_version);

    const MessageDef* message = defs_.find_messagedef(15);
    ASSERT_NE(nullptr, message);
    EXPECT_STREQ("insref", message->column);
    EXPECT_EQ(1, message->is_key);
    EXPECT_EQ(message, defs_.find_fielddef(15u, "insref"));
    EXPECT_EQ(nullptr, defs_.find_messagedef(16));
    EXPECT_EQ(nullptr, defs_.find_fielddef(16u, 5u));
    EXPECT_EQ(4u, defs_.size());
}

TEST_F(TableDefinitionsTest, ResetListsUseTheFirstKindAndSkipInsrefDateAndTime) {
    ASSERT_EQ(1, parse(R"(<definitions>
        <message mref="2,39" table="quotes">
          <field tag="insref" column="insref"/>
          <field tag="3" column="qdate"/>
          <field column="qtime" tag="4"/>
          <field tag="7" column="bid"/>
          <field tag="8" column="ask"/>
        </message>
        <message mref="22" table="noii"><field tag="9" column="imbalance"/></message>
        <message mref="37" table="greeks"><field tag="10" column="delta"/><field tag="11" column="gamma"/></message>
        </definitions>)"));

    EXPECT_EQ("bid = NULL, ask = NULL", config_.reset_list_quotes);
    EXPECT_EQ("", config_.reset_list_quotes_bbo);  // 39 is not the message's first kind
    EXPECT_EQ("imbalance = NULL", config_.reset_list_noii);
    EXPECT_EQ("delta = NULL, gamma = NULL", config_.reset_list_greeks);
    // The date field is stored, only left out of the list.
    ASSERT_NE(nullptr, defs_.find_fielddef(2u, 3u));
    EXPECT_STREQ("qdate", defs_.find_fielddef(2u, 3u)->column);
    ASSERT_NE(nullptr, defs_.find_fielddef(39u, 7u));
}

TEST_F(TableDefinitionsTest, ResetListStaysValidAcrossTwoMessagesOfOneKindAndACutFile) {
    // Two messages of kind 2 must not run their clauses together.
    ASSERT_EQ(1, parse(R"(<definitions>
        <message mref="2" table="quotes"><field tag="7" column="bid"/></message>
        <message mref="2" table="quotes_extra"><field tag="8" column="ask"/></message>
        <message mref="22" table="noii"><field tag="9" column="imbalance"/><field tag="12" column="paired"/>)"));
    EXPECT_EQ("bid = NULL, ask = NULL", config_.reset_list_quotes);
    // The file stops inside kind 22's message: the list has no trailing separator.
    EXPECT_EQ("imbalance = NULL, paired = NULL", config_.reset_list_noii);
}

TEST_F(TableDefinitionsTest, RequestSwitchesFollowTheKindsAndNeverOverrideASwitchedOffRequest) {
    // Independent statement of which kinds turn which request on.
    const std::vector<std::pair<unsigned, std::vector<int32_t Config::*>>> expected = {
        {1, {&Config::requesttrades}},
        {2, {&Config::requestquotes}},
        {4, {&Config::requestpricehistory}},
        {6, {&Config::requesttradestate, &Config::requestbasicdata}},
        {11, {&Config::requestcorporateactions}},
        {13, {&Config::requestnews}},
        {14, {&Config::requestorderbooks}},
        {15, {&Config::requestorderbooks}},
        {16, {&Config::requestfundamentals}},
        {18, {&Config::requestperformance}},
        {19, {&Config::requestkeyratios}},
        {20, {&Config::requestestimates}},
        {21, {&Config::requestestimates}},
        {22, {&Config::requestnoii}},
        {26, {&Config::requestci}},
        {27, {&Config::requestci}},
        {32, {&Config::requestl10n}},
        {33, {&Config::requestpriip}},
        {34, {&Config::requestmifid}},
        {35, {&Config::requestmifid}},
        {37, {&Config::requestgreeks}},
        {38, {&Config::requestmbo}},
        {39, {&Config::requestquotesbbo}},
        {40, {&Config::requestquoteex}},
        {248, {&Config::requestmappings}},
        {251, {&Config::requestorderbooks}},
        {252, {&Config::requestpricehistory}},
        {254, {&Config::requestquotes, &Config::requestquoteex, &Config::requestperformance}},
        {3, {}},
        {30, {}},
        {245, {}},
    };
    for (const auto& [kind, flags] : expected) {
        Config config;
        TableDefinitions defs;
        std::string xml = "<definitions><message mref=\"" + std::to_string(kind) +
                          "\" table=\"t\"><field tag=\"5\" column=\"c\"/></message></definitions>";
        ASSERT_EQ(1, parse_table_definitions(xml.data(), xml.size(), defs, config));
        int on = 0;
        for (const RequestSwitch& request : kRequestSwitches) {
            bool wanted = false;
            for (auto flag : flags)
                wanted = wanted || flag == request.flag;
            EXPECT_EQ(wanted ? 1 : 0, config.*request.flag)
                << "kind " << kind << ", " << request.key;
            on += config.*request.flag;
        }
        EXPECT_EQ(static_cast<int>(flags.size()), on) << "kind " << kind;
    }

    // requestorderbooks "0" in the configuration file stays off.
    config_.requestorderbooks = -1;
    ASSERT_EQ(
        1,
        parse(R"(<definitions><message mref="14,15" table="ob"><field tag="5" column="p"/></message>
                          <message mref="251" table="ob2"><field tag="5" column="p"/></message></definitions>)"));
    EXPECT_EQ(-1, config_.requestorderbooks);
    // A kind with a message but no field requests nothing.
    Config config;
    TableDefinitions defs;
    std::string xml = R"(<definitions><message mref="1" table="trades"></message></definitions>)";
    ASSERT_EQ(1, parse_table_definitions(xml.data(), xml.size(), defs, config));
    EXPECT_EQ(0, config.requesttrades);
}

TEST_F(TableDefinitionsTest, CalculatedFieldsGetABaseColumnAndOnlyKind19JoinsTheKeyRatioList) {
    ASSERT_EQ(1, parse(R"(<definitions>
        <message mref="19" table="keyratios">
          <field tag="insref" column="insref"/>
          <field tag="50" column="pe" calc="1"/>
          <field tag="51" column="yield" calc="2" column2="yield_raw" factor="100"/>
          <field tag="52" column="plain"/>
        </message>
        <message mref="20" table="estimates"><field tag="50" column="pe" calc="1"/></message>
        <message mref="19" table="keyratios"><field tag="53" column="eps" calc="3"/></message>
        </definitions>)"));

    const FieldDef* pe19 = defs_.find_fielddef(19u, 50u);
    const FieldDef* pe20 = defs_.find_fielddef(20u, 50u);
    ASSERT_NE(nullptr, pe19);
    ASSERT_NE(nullptr, pe20);
    EXPECT_STREQ("pe_base", pe19->column2);
    EXPECT_STREQ("pe_base", pe20->column2);
    EXPECT_STREQ("yield_raw", defs_.find_fielddef(19u, 51u)->column2);
    EXPECT_STREQ("100", defs_.find_fielddef(19u, 51u)->factor);
    EXPECT_EQ(nullptr, defs_.find_fielddef(19u, 52u)->column2);
    EXPECT_EQ(nullptr, defs_.find_fielddef(19u, 52u)->factor);

    ASSERT_EQ(3u, config_.calc_keyratio_fields.size());
    EXPECT_STREQ("pe", config_.calc_keyratio_fields[0]->column);
    EXPECT_STREQ("yield", config_.calc_keyratio_fields[1]->column);
    EXPECT_STREQ("eps", config_.calc_keyratio_fields[2]->column);
    EXPECT_EQ(3, config_.calc_keyratio_fields[2]->calc);
}

TEST_F(TableDefinitionsTest, TypesAreComparedExactly) {
    ASSERT_EQ(1, parse(R"(<definitions><message mref="6" table="basic">
        <field tag="1" column="a" type="VARCHAR" len="32"/>
        <field tag="2" column="b" type="varchar" len="32"/>
        <field tag="3" column="c" type="char" len="12"/>
        <field tag="4" column="d" type="Int"/>
        <field tag="5" column="e" type="int"/>
        <field tag="6" column="f" type="smallint"/>
        <field tag="7" column="g" type="bigint"/>
        <field tag="8" column="h" type="double"/>
        <field tag="9" column="i" type="decimal" len="10,2"/>
        <field tag="10" column="j" type="date"/>
        <field tag="11" column="k"/>
        </message></definitions>)"));

    const FieldDef* upper = defs_.find_fielddef(6u, 1u);
    EXPECT_EQ(0u, upper->length);
    EXPECT_EQ(0, upper->numeric);
    EXPECT_STREQ("VARCHAR", upper->type);
    EXPECT_EQ(32u, defs_.find_fielddef(6u, 2u)->length);
    EXPECT_EQ(12u, defs_.find_fielddef(6u, 3u)->length);
    EXPECT_EQ(0, defs_.find_fielddef(6u, 4u)->numeric);
    for (unsigned tag : {5u, 6u, 7u, 8u, 9u})
        EXPECT_EQ(1, defs_.find_fielddef(6u, tag)->numeric) << tag;
    EXPECT_EQ(0, defs_.find_fielddef(6u, 10u)->numeric);
    EXPECT_EQ(nullptr, defs_.find_fielddef(6u, 11u)->type);
    EXPECT_EQ(nullptr, defs_.find_fielddef(6u, 11u)->len);
}

TEST_F(TableDefinitionsTest, InsertFirstIsCarriedToMessagesThatDoNotSayOtherwise) {
    ASSERT_EQ(1, parse(R"(<definitions>
        <message mref="1" table="a"><field tag="insref" column="i"/></message>
        <message mref="2" table="b" insertfirst="yes"><field tag="insref" column="i"/></message>
        <message mref="3" table="c"><field tag="insref" column="i"/></message>
        <message mref="4" table="d" insertfirst="n"><field tag="insref" column="i"/></message>
        <message mref="5" table="e"><field tag="insref" column="i"/></message>
        <message mref="6" table="f" insertfirst="Y"><field tag="insref" column="i"/></message>
        </definitions>)"));
    EXPECT_EQ(0, defs_.find_messagedef(1)->insertfirst);
    EXPECT_EQ(1, defs_.find_messagedef(2)->insertfirst);
    EXPECT_EQ(1, defs_.find_messagedef(3)->insertfirst);
    EXPECT_EQ(0, defs_.find_messagedef(4)->insertfirst);
    EXPECT_EQ(0, defs_.find_messagedef(5)->insertfirst);
    EXPECT_EQ(0, defs_.find_messagedef(6)->insertfirst);  // only a lower-case y marks it
}

TEST_F(TableDefinitionsTest, FirstDefinitionOfAKeyWinsWithAWarning) {
    ASSERT_EQ(1, parse(R"(<definitions>
        <message mref="2" table="quotes"><field tag="7" column="bid"/><field tag="7" column="bid_again"/></message>
        </definitions>)"));
    EXPECT_STREQ("bid", defs_.find_fielddef(2u, 7u)->column);
    EXPECT_EQ(1u, defs_.size());
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "line 2: 2:7 is defined twice"));
    // The ignored duplicate does not reach the reset list either.
    EXPECT_EQ("bid = NULL", config_.reset_list_quotes);
}

TEST_F(TableDefinitionsTest, AttributesThatAreNotNumbersReadAsTheirLeadingDigits) {
    ASSERT_EQ(1, parse(R"(<definitions version="v3"><message mref="1" table="t">
        <field tag="1" column="a" key="yes"/>
        <field tag="2" column="b" key="2x" nullable=" 1 "/>
        <field tag="3" column="c" unsigned="300" calc="-1"/>
        <field tag="4" column="d" type="varchar" len="abc"/>
        </message></definitions>)"));
    EXPECT_EQ(0u, config_.tabledef_version);
    EXPECT_EQ(0, defs_.find_fielddef(1u, 1u)->is_key);
    EXPECT_EQ(2, defs_.find_fielddef(1u, 2u)->is_key);
    EXPECT_EQ(1, defs_.find_fielddef(1u, 2u)->nullable);
    EXPECT_EQ(255, defs_.find_fielddef(1u, 3u)->is_unsigned);  // set stays set
    EXPECT_EQ(0, defs_.find_fielddef(1u, 3u)->calc);
    EXPECT_EQ(0u, defs_.find_fielddef(1u, 4u)->length);
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "version=\"v3\""));
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "key=\"yes\""));
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "key=\"2x\""));
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "calc=\"-1\""));
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "len=\"abc\""));
    EXPECT_FALSE(logged(LOG_LEVEL_WARNING, "nullable"));
}

TEST_F(TableDefinitionsTest, IncompleteDefinitionsAreSkippedWithAWarning) {
    ASSERT_EQ(1, parse(R"(<definitions>
        <message mref="1"><field tag="1" column="a"/></message>
        <message table="t"><field tag="1" column="a"/></message>
        <field tag="9" column="outside"/>
        <message mref="2" table="q"><field column="nocol_tag"/><field tag="8"/><field tag="9" column="ok"/></message>
        </definitions>)"));
    EXPECT_EQ(1u, defs_.size());
    EXPECT_NE(nullptr, defs_.find_fielddef(2u, 9u));
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "message without table"));
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "message without mref"));
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "without tag"));
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "without column"));
    EXPECT_EQ("ok = NULL", config_.reset_list_quotes);
}

TEST_F(TableDefinitionsTest, XmlThatIsNotWellFormedFails) {
    EXPECT_EQ(
        -1,
        parse(
            R"(<definitions><message mref="1" table="t"><field tag="1" column="a"></message></definitions>)"));
    EXPECT_TRUE(logged(LOG_LEVEL_ERROR, "Failed to parse tabledefinitions"));
    EXPECT_TRUE(logged(LOG_LEVEL_ERROR, "line 1"));
    logged_.clear();
    EXPECT_EQ(-1, parse("<definitions><message mref=\"1\" table=t/></definitions>"));
    EXPECT_TRUE(logged(LOG_LEVEL_ERROR, "Failed to parse tabledefinitions"));
}

TEST_F(TableDefinitionsTest, ACutFileIsUsedAsFarAsItWasRead) {
    ASSERT_EQ(
        1,
        parse(
            R"(<definitions><message mref="1" table="t"><field tag="1" column="a"/><field tag="2" col)"));
    EXPECT_NE(nullptr, defs_.find_fielddef(1u, 1u));
    EXPECT_EQ(nullptr, defs_.find_fielddef(1u, 2u));
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "incomplete"));

    logged_.clear();
    TableDefinitions empty;
    Config config;
    EXPECT_EQ(1, parse_table_definitions("", 0, empty, config));
    EXPECT_EQ(0u, empty.size());
    EXPECT_TRUE(logged(LOG_LEVEL_WARNING, "defines no fields"));
}

TEST_F(TableDefinitionsTest, TablesAreNotedOnceInFileOrderEvenWithoutFields) {
    ASSERT_EQ(1, parse(R"(<definitions>
        <message mref="2" table="quotes"><field tag="insref" column="insref"/></message>
        <message mref="11" table="actions"></message>
        <message table="no_kind"><field tag="insref" column="insref"/></message>
        <message mref="8" table="quotes"></message>
        <message mref="6" table="basic"><field tag="insref" column="insref"/></message>
        </definitions>)"));
    std::vector<std::string> tables(defs_.tables().begin(), defs_.tables().end());
    EXPECT_EQ((std::vector<std::string>{"quotes", "actions", "basic"}), tables);
    defs_.clear();
    EXPECT_TRUE(defs_.tables().empty());
}

TEST_F(TableDefinitionsTest, LookupsByTextNumberAndWord) {
    std::string long_tag(300, 't');
    std::string long_column(20000, 'c');
    std::string xml = R"(<definitions><message mref="251" table="ob">
        <field tag="side" column="side_col"/>
        <field tag="05" column="padded"/>
        <field tag="70000" column="large_tag"/>
        <field tag="4095" column="edge"/>
        <field tag="0" column="zero"/>
        <field tag=")" +
                      long_tag + R"(" column=")" + long_column + R"("/>
        </message>
        <message mref="300" table="beyond"><field tag="5" column="x"/><field tag="insref" column="i"/></message>
        </definitions>)";
    ASSERT_EQ(1, parse(xml));

    EXPECT_STREQ("side_col", defs_.find_fielddef(251u, "side")->column);
    EXPECT_STREQ("side_col", defs_.find_fielddef("251:side")->column);
    // "05" is kept under its own text only; numeric lookups make "251:5".
    EXPECT_EQ(nullptr, defs_.find_fielddef(251u, 5u));
    EXPECT_STREQ("padded", defs_.find_fielddef("251:05")->column);
    EXPECT_STREQ("padded", defs_.find_fielddef(251u, "05")->column);
    EXPECT_STREQ("large_tag", defs_.find_fielddef(251u, 70000u)->column);
    EXPECT_EQ(nullptr, defs_.find_fielddef(251u, 70001u));
    EXPECT_STREQ("edge", defs_.find_fielddef(251u, 4095u)->column);
    EXPECT_STREQ("zero", defs_.find_fielddef(251u, 0u)->column);
    EXPECT_EQ(long_column, defs_.find_fielddef(251u, long_tag.c_str())->column);
    // Kinds above the 8-bit range are kept and found through the text table.
    EXPECT_STREQ("x", defs_.find_fielddef(300u, 5u)->column);
    EXPECT_STREQ("i", defs_.find_messagedef(300)->column);
    EXPECT_EQ(nullptr, defs_.find_fielddef(300u % 256u, 5u));
    EXPECT_EQ(nullptr, defs_.find_fielddef(nullptr));
    EXPECT_EQ(nullptr, defs_.find_fielddef(251u, static_cast<const char*>(nullptr)));

    std::vector<const char*> keys = defs_.keys();
    ASSERT_EQ(8u, keys.size());
    EXPECT_STREQ("251:side", keys[0]);
    EXPECT_STREQ("251:05", keys[1]);
    EXPECT_STREQ("300:insref", keys[7]);
    EXPECT_EQ(keys, defs_.keys());
}

class TableDefinitionFileTest : public TableDefinitionsTest {
  protected:
    void TearDown() override {
        TableDefinitionsTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::string path_ =
        (std::filesystem::temp_directory_path() /
         ("zel_tabledef_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
          ".xml"))
            .string();
};

TEST_F(TableDefinitionFileTest, ReadsAFileLargerThanOneBlockIntoTheProcessWideTable) {
    // Many fields, so that elements straddle the reader's block boundaries.
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<definitions version=\"42\">\n"
        "<message mref=\"2\" table=\"quotes\">\n<field tag=\"insref\" column=\"insref\" "
        "type=\"bigint\"/>\n";
    for (int tag = 10; tag < 200; ++tag)
        xml += "  <field tag=\"" + std::to_string(tag) + "\" column=\"col_\xC3\xA9_" +
               std::to_string(tag) + "\" type=\"int\"/>\n";
    xml += "</message>\n</definitions>\n";
    ASSERT_GT(xml.size(), 5000u);
    std::ofstream(path_, std::ios::binary) << xml;

    g_tabledefs.clear();
    g_config.tabledefinitions = path_;
    g_config.reset_list_quotes.clear();
    g_config.requestquotes = 0;
    ASSERT_EQ(1, load_table_definitions());
    EXPECT_EQ(191u, g_tabledefs.size());
    for (unsigned tag = 10; tag < 200; ++tag) {
        const FieldDef* def = find_fielddef(2u, tag);
        ASSERT_NE(nullptr, def) << tag;
        EXPECT_EQ("col_\xC3\xA9_" + std::to_string(tag), def->column);
    }
    EXPECT_STREQ("insref", find_messagedef(2)->column);
    EXPECT_EQ(find_fielddef("2:57"), find_fielddef(2u, "57"));
    EXPECT_EQ(42u, g_config.tabledef_version);
    EXPECT_EQ(1, g_config.requestquotes);
    EXPECT_EQ(0u,
              g_config.reset_list_quotes.find("col_\xC3\xA9_10 = NULL, col_\xC3\xA9_11 = NULL"));
    EXPECT_EQ(std::string::npos,
              g_config.reset_list_quotes.find(", ", g_config.reset_list_quotes.size() - 2));
    g_tabledefs.clear();
    g_config.tabledefinitions.clear();
}

TEST_F(TableDefinitionFileTest, AMissingFileFails) {
    EXPECT_EQ(-1, load_table_definitions("no/such/dir/zel.tabledef", defs_, config_));
    EXPECT_TRUE(logged(LOG_LEVEL_ERROR, "no/such/dir/zel.tabledef"));
    logged_.clear();
    EXPECT_EQ(-1, load_table_definitions("", defs_, config_));
    EXPECT_TRUE(logged(LOG_LEVEL_ERROR, "tabledefinitions"));
}

}  // namespace
