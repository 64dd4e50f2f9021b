// The database check against scripted database descriptions of the recording module:
// missing columns listed once, matching without regard to case, type comparison with and
// without lengths, the report's layout, hints and verdicts, the upgrade with its two
// statement forms and a failing ALTER, and the check's refusals.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_module_control.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/modload/module_loader.h"
#include "zel/tabledef/database_check.h"
#include "zel/tabledef/table_definitions.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

const char kHintCheck[] = "To automatically fix this, run \"zel --check --upgrade-db\"";
const char kHintTypes[] = "To automatically fix this, run \"zel --check-types --upgrade-db\"";
const char kHintUser[] =
    "You might also have to add \"--dbsuser <username>\" in case the SQL user in zel.config does "
    "not have rights to make such changes to the tables.";

// Trades and quotes of two kinds each share their columns, so every column is defined twice.
const char kDefinitions[] = R"(<definitions version="3">
  <message mref="1,245" table="trades">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="3" column="price" type="decimal" len="18,6" nullable="1"/>
    <field tag="4" column="venue" type="varchar" nullable="1"/>
  </message>
  <message mref="2,8" table="quotes">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="5" column="bid" type="decimal" len="18,6" nullable="1"/>
    <field tag="6" column="ask" type="decimal" len="18,6" nullable="1"/>
  </message>
</definitions>)";

class DatabaseCheckTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_config.silent = 1;
        if (!g_module.mod_executesql) {
            ASSERT_EQ(1, load_module(ZEL_FAKE_MODULE_PATH));
        }
    }

    void SetUp() override {
        g_config.silent = 1;
        fake_reset();
        connection_ = g_module.mod_create(config_.module_params());
        log_set_observer(
            [](int level, const char* text, void* context) {
                static_cast<Lines*>(context)->emplace_back(level, text);
            },
            &logged_);
        defs_.create(100);
    }
    void TearDown() override {
        log_set_observer(nullptr, nullptr);
        EXPECT_EQ(0, fake_open_databaseinfos()) << "the description was not handed back";
    }

    void define(const std::string& xml) {
        ASSERT_EQ(1, parse_table_definitions(xml.data(), xml.size(), defs_, config_));
        logged_.clear();
    }
    int check() { return check_database(g_module, connection_, defs_, config_); }

    // Every column of kDefinitions, as the server would describe it.
    static std::vector<FakeColumn> all_columns() {
        return {
            {"trades", "insref", "bigint", std::nullopt, 0, 0},
            {"trades", "price", "decimal", "18,6", 1, 0},
            {"trades", "venue", "varchar", "64", 1, 0},
            {"quotes", "insref", "bigint", std::nullopt, 0, 0},
            {"quotes", "bid", "decimal", "18,6", 1, 0},
            {"quotes", "ask", "decimal", "18,6", 1, 0},
        };
    }

    // The logged texts from the first line equal to `first` on (the whole log when empty).
    std::vector<std::string> texts_from(const std::string& first = {}) const {
        std::vector<std::string> out;
        bool on = first.empty();
        for (const auto& [level, text] : logged_) {
            if (!on && text == first) on = true;
            if (on) out.push_back(text);
        }
        return out;
    }
    int level_of(const std::string& text) const {
        for (const auto& [level, line] : logged_) {
            if (line == text) return level;
        }
        return -1;
    }
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (const auto& line : logged_)
            n += line.second == text;
        return n;
    }
    std::vector<std::string> alter_statements() const {
        std::vector<std::string> out;
        for (const FakeCall& call : fake_calls()) {
            if (call.entry == "mod_add_column" && call.text.rfind("ALTER TABLE", 0) == 0)
                out.push_back(call.text);
        }
        return out;
    }

    Config config_;
    TableDefinitions defs_;
    DbConnection* connection_ = nullptr;
    Lines logged_;
};

TEST_F(DatabaseCheckTest, MissingColumnOfTwoKindsIsListedOnceInTheReportAndFailsTheCheck) {
    define(kDefinitions);
    std::vector<FakeColumn> columns = all_columns();
    columns.erase(columns.begin() + 1);  // trades.price
    columns.erase(columns.begin() + 4);  // quotes.ask
    fake_set_databaseinfo(columns);

    EXPECT_EQ(DATABASE_CHECK_FAILED, check());
    std::vector<std::string> expected = {
        "",
        "The following columns must be added to the SQL server:",
        "",
        "Table   Column",
        "------------------------------------------------------",
        "quotes",
        "        ask",
        "",
        "trades",
        "        price",
        "",
        kHintCheck,
        kHintUser,
        "The SQL database check failed",
    };
    EXPECT_EQ(expected, texts_from());
    EXPECT_EQ(LOG_LEVEL_ERROR, level_of("The following columns must be added to the SQL server:"));
    EXPECT_EQ(LOG_LEVEL_INFO, level_of(kHintCheck));
    EXPECT_EQ(LOG_LEVEL_ERROR, level_of("The SQL database check failed"));
    EXPECT_TRUE(alter_statements().empty()) << "nothing is repaired without --upgrade-db";
}

TEST_F(DatabaseCheckTest, NamesThatDifferOnlyInCaseAreTheSameColumn) {
    define(kDefinitions);
    std::vector<FakeColumn> columns = all_columns();
    columns[1].table = "TRADES";
    columns[1].column = "Price";
    columns[5].column = "ASK";
    fake_set_databaseinfo(columns);

    config_.check = 1;
    EXPECT_EQ(DATABASE_CHECK_PASSED, check());
    EXPECT_EQ(std::vector<std::string>{"The SQL database check was successful"}, texts_from());

    // Outside check mode a passing check says nothing at all.
    logged_.clear();
    config_.check = 0;
    EXPECT_EQ(DATABASE_CHECK_PASSED, check());
    EXPECT_TRUE(logged_.empty());
}

TEST_F(DatabaseCheckTest, TypesAreComparedOnlyWhenAsked) {
    define(kDefinitions);
    std::vector<FakeColumn> columns = all_columns();
    columns[4].nullable = 0;  // quotes.bid NOT NULL in the database
    fake_set_databaseinfo(columns);

    config_.check = 1;
    EXPECT_EQ(DATABASE_CHECK_PASSED, check()) << "--check alone looks for missing columns only";

    logged_.clear();
    config_.check_types = 1;
    EXPECT_EQ(DATABASE_CHECK_WARNINGS, check());
    std::vector<std::string> expected = {
        "",
        "The following columns should have their definitions changed in the SQL server:",
        "",
        "Column        New Definition",
        "------------------------------------------------------------------------------",
        "quotes.bid 'decimal(18,6) NULL'",
        "",
        kHintTypes,
        kHintUser,
        "The SQL database check had warnings",
    };
    EXPECT_EQ(expected, texts_from());
    EXPECT_EQ(LOG_LEVEL_WARNING, level_of("quotes.bid 'decimal(18,6) NULL'"));
    EXPECT_EQ(LOG_LEVEL_WARNING, level_of("The SQL database check had warnings"));
}

TEST_F(DatabaseCheckTest, VarcharWithoutLengthMatchesAnyDatabaseLength) {
    define(kDefinitions);
    config_.check = 1;
    config_.check_types = 1;
    fake_set_databaseinfo(all_columns());  // trades.venue is varchar(64) in the database
    EXPECT_EQ(DATABASE_CHECK_PASSED, check());

    // The length is dropped only when the types agree: char against varchar(64) differs
    // and is reported with the database's length on the old side.
    defs_.clear();
    define(R"(<definitions><message mref="1" table="trades">
        <field tag="4" column="venue" type="char" nullable="1"/></message></definitions>)");
    config_.upgrade_db = 1;
    EXPECT_EQ(DATABASE_CHECK_PASSED, check()) << "repaired, so nothing is left to report";
    EXPECT_EQ(1u, count("Modified column 'trades.venue' from 'varchar(64) NULL' to 'char NULL'."));
    EXPECT_EQ(std::vector<std::string>{"ALTER TABLE trades MODIFY venue char NULL"},
              alter_statements());
}

TEST_F(DatabaseCheckTest, MissingAndChangedTogetherGiveBothReportsAndTheTypesHint) {
    define(kDefinitions);
    std::vector<FakeColumn> columns = all_columns();
    columns[0].type = "int";             // trades.insref
    columns.erase(columns.begin() + 2);  // trades.venue missing
    fake_set_databaseinfo(columns);
    config_.check = 1;
    config_.check_types = 1;

    EXPECT_EQ(DATABASE_CHECK_FAILED, check());
    EXPECT_EQ(1u, count("        venue"));
    EXPECT_EQ(1u, count("trades.insref 'bigint NOT NULL'"));
    EXPECT_EQ(0u, count(kHintCheck)) << "the types hint covers both";
    EXPECT_EQ(1u, count(kHintTypes));
    EXPECT_EQ(1u, count(kHintUser));
    EXPECT_EQ("The SQL database check failed", texts_from().back());
}

TEST_F(DatabaseCheckTest, UpgradeAddsAndChangesColumnsOnceEach) {
    define(kDefinitions);
    std::vector<FakeColumn> columns = all_columns();
    columns[4].nullable = 0;             // quotes.bid changed
    columns.erase(columns.begin() + 1);  // trades.price missing
    fake_set_databaseinfo(columns);
    config_.check = 1;
    config_.check_types = 1;
    config_.upgrade_db = 1;

    EXPECT_EQ(DATABASE_CHECK_PASSED, check());
    std::vector<std::string> expected = {
        "ALTER TABLE trades ADD price decimal(18,6) NULL",
        "ALTER TABLE quotes MODIFY bid decimal(18,6) NULL",
    };
    EXPECT_EQ(expected, alter_statements());
    EXPECT_EQ(1u, count("Added column price to table trades."));
    EXPECT_EQ(1u, count("Modified column 'quotes.bid' from 'decimal(18,6) NOT NULL' to "
                        "'decimal(18,6) NULL'."));
    EXPECT_EQ(LOG_LEVEL_INFO, level_of("Added column price to table trades."));
    EXPECT_EQ(1u, count("The SQL database check was successful"));
}

TEST_F(DatabaseCheckTest, OneFailingAlterLeavesItsColumnMissingAndFailsTheCheck) {
    define(kDefinitions);
    std::vector<FakeColumn> columns = all_columns();
    columns.erase(columns.begin() + 5);  // quotes.ask
    columns.erase(columns.begin() + 1);  // trades.price
    fake_set_databaseinfo(columns);
    FakeResult refused;
    refused.code = -1;
    refused.error_text = "permission denied for table quotes";
    refused.error_code = 42501;
    fake_on_statement("ADD ask", refused);
    config_.check = 1;
    config_.upgrade_db = 1;

    EXPECT_EQ(DATABASE_CHECK_FAILED, check());
    EXPECT_EQ(2u, alter_statements().size()) << "the other column is still added";
    EXPECT_EQ(1u, count("Added column price to table trades."));
    EXPECT_EQ(1u, count("Failed to add column ask to table quotes. Error:permission denied for "
                        "table quotes Code:42501"));
    EXPECT_EQ(1u, count("        ask"));
    EXPECT_EQ(0u, count("        price"));
    EXPECT_EQ("The SQL database check failed", texts_from().back());
}

TEST_F(DatabaseCheckTest, UpgradeNeedsCheckModeAndTypedDefinitions) {
    define(kDefinitions);
    std::vector<FakeColumn> columns = all_columns();
    columns.erase(columns.begin() + 1);
    fake_set_databaseinfo(columns);
    config_.upgrade_db = 1;  // without --check: reported, not repaired
    EXPECT_EQ(DATABASE_CHECK_FAILED, check());
    EXPECT_TRUE(alter_statements().empty());

    defs_.clear();
    define(R"(<definitions><message mref="1" table="trades">
        <field tag="insref" column="insref" type="bigint"/>
        <field tag="3" column="price"/></message></definitions>)");
    logged_.clear();
    config_.check = 1;
    EXPECT_EQ(DATABASE_CHECK_FAILED, check());
    EXPECT_EQ(std::vector<std::string>{"Database upgrade not possible, old zel.tabledef?"},
              texts_from());
    EXPECT_TRUE(alter_statements().empty());
}

TEST_F(DatabaseCheckTest, TwoSpellingsOfOneColumnAreAddedOnce) {
    define(R"(<definitions>
        <message mref="1" table="trades"><field tag="3" column="Price" type="int"/></message>
        <message mref="245" table="TRADES"><field tag="3" column="price" type="int"/></message>
        </definitions>)");
    fake_set_databaseinfo({{"trades", "insref", "bigint", std::nullopt, 0, 0}});
    config_.check = 1;
    config_.upgrade_db = 1;
    EXPECT_EQ(DATABASE_CHECK_PASSED, check());
    EXPECT_EQ(std::vector<std::string>{"ALTER TABLE trades ADD Price int NOT NULL"},
              alter_statements());
}

TEST_F(DatabaseCheckTest, NoDescriptionRefusesTheCheckButNoDefinitionsPass) {
    define(kDefinitions);
    fake_fail_databaseinfo("relation \"information_schema.columns\" is not readable", 13);
    EXPECT_EQ(DATABASE_CHECK_NO_DESCRIPTION, check());
    EXPECT_EQ(std::vector<std::string>{"Database check failed. Error: 'relation "
                                       "\"information_schema.columns\" is not readable', Code: 13"},
              texts_from());

    defs_.clear();
    logged_.clear();
    fake_set_databaseinfo(all_columns());
    // A definition file without fields asks for no column: nothing can be missing.
    EXPECT_EQ(DATABASE_CHECK_PASSED, check());
    EXPECT_TRUE(alter_statements().empty());
    for (const std::string& text : texts_from())
        EXPECT_EQ(std::string::npos, text.find("No tabledefinitions")) << text;
}

}  // namespace
