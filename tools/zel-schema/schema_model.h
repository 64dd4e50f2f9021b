// schema_model.h - the tables of a table-definition file, as the database must hold them.
//
// build_schema turns the TableDefinitions that zel's own reader made into one SchemaTable per
// table: every message kind that names the table contributes its columns, merged into one
// list in the order of first mention, and the columns that identify a row form the primary
// key. It also lists what makes a file unusable (errors) and what a user should know
// (warnings). Pure data, built and read on the main thread of zel-schema only.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "zel/tabledef/table_definitions.h"

// A type given on the command line, for a column the file names without describing it.
struct ColumnType {
    std::string type;
    std::string len;  // empty: none
};

struct SchemaColumn {
    std::string name;
    // The definition whose type the column gets (the first one with a type), and every
    // other definition of the same column, which must agree with it.
    const FieldDef* def = nullptr;
    std::vector<const FieldDef*> others;
    bool nullable = true;
    bool key = false;                 // in the primary key
    bool base = false;                // raw-value column (column2) of a calculated field
    std::optional<ColumnType> given;  // a base column's type from the command line

    const char* type() const { return given ? given->type.c_str() : def->type; }
    const char* len() const {
        if (!given) return def->len;
        return given->len.empty() ? nullptr : given->len.c_str();
    }
};

struct SchemaTable {
    std::string name;
    std::vector<SchemaColumn> columns;
    bool has_primary_key = false;
};

struct SchemaModel {
    std::vector<SchemaTable> tables;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

// The column types of the table-definition vocabulary: the names every module translates
// into its own dialect (or that every supported server knows under that name).
const std::set<std::string>& vocabulary_types();

// Builds the tables. `extra_types` are type names the user allows beyond the vocabulary;
// the module writes them unchanged. `base_types`, keyed by "table.column" in lower case,
// give the types of raw-value columns, which otherwise take their calculated field's type.
SchemaModel build_schema(const TableDefinitions& defs, const std::set<std::string>& extra_types,
                         const std::map<std::string, ColumnType>& base_types = {});

// Reads "TABLE.COLUMN=TYPE" or "TABLE.COLUMN=TYPE(LEN)" into `key` (lower case) and `type`.
bool parse_column_type(const std::string& text, std::string& key, ColumnType& type);

// Whether a name can be written unquoted into SQL: letters, digits, '_' and '$', not
// starting with a digit or '$', optionally qualified by a schema with one dot.
bool plain_sql_name(const std::string& name);
