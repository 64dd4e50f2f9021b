// examples_test.cpp - examples/zel.tabledef loads with the program's own reader, switches
// every request on, defines every kind the writers need, and agrees with
// examples/schema/postgresql.sql column by column (types as the PostgreSQL module renders
// them, nullability, primary keys) and with the simulator's field dictionary.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/feedsim/fields.h"
#include "zel/base/config.h"
#include "zel/tabledef/table_definitions.h"

namespace {

struct Column {
    std::string type;
    bool not_null = false;
};
struct Table {
    std::map<std::string, Column> columns;
    std::set<std::string> primary_key;
};

std::string trim(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
        ++i;
    return s.substr(i);
}

// Reads the CREATE TABLE statements of the example schema (one column per line).
std::map<std::string, Table> read_schema(const std::string& path) {
    std::ifstream in(path);
    std::map<std::string, Table> tables;
    std::string line, current;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.rfind("CREATE TABLE IF NOT EXISTS ", 0) == 0) {
            current = line.substr(27, line.find(' ', 27) - 27);
            tables[current];
        } else if (line.rfind("PRIMARY KEY (", 0) == 0) {
            std::string list = line.substr(13, line.find(')') - 13);
            std::stringstream ss(list);
            std::string col;
            while (std::getline(ss, col, ','))
                tables[current].primary_key.insert(trim(col));
        } else if (!current.empty() && !line.empty() && line != ");" && line.rfind("--", 0) != 0) {
            if (line.back() == ',') line.pop_back();
            size_t space = line.find(' ');
            Column c;
            std::string rest = line.substr(space + 1);
            c.not_null = rest.size() > 9 && rest.compare(rest.size() - 9, 9, " NOT NULL") == 0;
            c.type = rest.substr(0, rest.size() - (c.not_null ? 9 : 5));
            tables[current].columns[line.substr(0, space)] = c;
        }
    }
    return tables;
}

// What the PostgreSQL module writes for a definition's type and length.
std::string pg_type(const char* type, const char* len) {
    std::string t = type ? type : "", size = len ? len : "";
    auto sized = [&](const std::string& base) {
        return size.empty() || size[0] == '0' ? base : base + "(" + size + ")";
    };
    if (t == "bigint")
        return size.empty()                          ? "numeric(20,0)"
               : size.find(',') != std::string::npos ? sized("numeric")
                                                     : "numeric(" + size + ",0)";
    if (t == "double") return sized("double precision");
    if (t == "decimal") return sized("numeric");
    if (t == "char") return sized("character");
    if (t == "varchar") return sized("character varying");
    if (t == "mediumtext") return sized("text");
    if (t == "time") return "time without time zone";
    if (t == "datetime") return "timestamp without time zone";
    if (t == "int") return sized("integer");
    return sized(t);
}

class ExampleTableDefinitions : public ::testing::Test {
  protected:
    void SetUp() override {
        defs_.create(100);
        ASSERT_EQ(load_table_definitions(ZEL_EXAMPLES_DIR "/zel.tabledef", defs_, config_), 1);
        schema_ = read_schema(ZEL_EXAMPLES_DIR "/schema/postgresql.sql");
        ASSERT_FALSE(schema_.empty());
    }
    TableDefinitions defs_;
    Config config_;
    std::map<std::string, Table> schema_;
};

TEST_F(ExampleTableDefinitions, SwitchEveryRequestOnAndDefineEveryKindTheWritersNeed) {
    for (const RequestSwitch& s : kRequestSwitches)
        EXPECT_EQ(config_.*(s.flag), 1) << s.key;
    EXPECT_EQ(config_.tabledef_version, 1u);
    for (unsigned kind : {1,  2,  4,   6,   7,   8,   9,   11,  12,  13,  14,  15,  16, 18, 19,
                          20, 21, 22,  23,  24,  25,  26,  27,  30,  32,  33,  34,  35, 37, 38,
                          39, 40, 245, 246, 247, 248, 249, 250, 251, 252, 253, 254, 255})
        EXPECT_NE(defs_.find_messagedef(kind), nullptr) << "kind " << kind;
    EXPECT_EQ(config_.calc_keyratio_fields.size(), 4u);
    EXPECT_FALSE(config_.reset_list_quotes.empty());
    EXPECT_FALSE(config_.reset_list_noii.empty());
    EXPECT_FALSE(config_.reset_list_greeks.empty());
    EXPECT_FALSE(config_.reset_list_quotes_bbo.empty());
    // Columns the statement writers look up by name or position.
    EXPECT_NE(defs_.find_fielddef(251, "side"), nullptr);
    EXPECT_NE(defs_.find_fielddef(254, "diff1d"), nullptr);
    EXPECT_NE(defs_.find_fielddef(254, "diffex1dprc"), nullptr);
    for (unsigned pos = 1; pos <= 11; ++pos)
        EXPECT_NE(defs_.find_fielddef(245, pos), nullptr) << pos;
    for (unsigned tag : {3u, 12u, 13u, 15u, 36u, 201u})
        EXPECT_NE(defs_.find_fielddef(1, tag), nullptr) << tag;
    for (unsigned tag : {3u, 99u, 103u, 126u})
        EXPECT_NE(defs_.find_fielddef(tag == 126 ? 6 : 11, tag), nullptr);
    EXPECT_NE(defs_.find_fielddef(23, 1u), nullptr);
    EXPECT_NE(defs_.find_fielddef(38, 695u), nullptr);
}

TEST_F(ExampleTableDefinitions, AgreeWithTheSchemaColumnByColumn) {
    std::map<std::string, std::set<std::string>> keys;  // table -> instrument and key columns
    for (const FieldDef* def : defs_.entries()) {
        auto t = schema_.find(def->table);
        ASSERT_NE(t, schema_.end()) << "table " << def->table << " missing from the schema";
        auto c = t->second.columns.find(def->column);
        ASSERT_NE(c, t->second.columns.end()) << def->table << "." << def->column;
        EXPECT_EQ(c->second.type, pg_type(def->type, def->len)) << def->lookup_key;
        EXPECT_EQ(c->second.not_null, def->nullable == 0) << def->lookup_key;
        if (def->calc != 0) {
            EXPECT_TRUE(t->second.columns.count(def->column2)) << def->column2;
        }
        if (def->is_key || std::string(def->tag) == "insref") keys[def->table].insert(def->column);
    }
    for (const auto& [table, t] : schema_) {
        ASSERT_TRUE(keys.count(table)) << "schema table " << table << " has no definitions";
        EXPECT_EQ(t.primary_key, keys[table]) << table;
    }
}

TEST_F(ExampleTableDefinitions, UseOnlyTagsOfTheFieldDictionary) {
    // Packed lists and minute bars number positions, not feed tags.
    std::set<unsigned> positional = {23, 24, 25, 245, 246, 250};
    for (const FieldDef* def : defs_.entries()) {
        if (positional.count(def->kind) || !std::isdigit(static_cast<unsigned char>(def->tag[0])))
            continue;
        EXPECT_NE(feedsim::find_field(static_cast<uint32_t>(std::stoul(def->tag))), nullptr)
            << def->lookup_key;
    }
}

}  // namespace
