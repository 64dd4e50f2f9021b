// schema_model.cpp - the merge of message kinds into tables, and the checks on the result
// (see schema_model.h). Called once by zel-schema's main; no shared state.
//
// The rules, and why (docs/zel-schema.md says the same for users):
// - A table gets every column that any of its message kinds names, in file order. Columns
//   are matched without regard to case, as the database check matches them and as servers
//   fold unquoted names.
// - The primary key is every column that identifies a row in some kind: the instrument
//   column (tag "insref", which is the row name in the status table) and the columns marked
//   key. Several kinds of one table thus share one key, the union of theirs; a kind that
//   names fewer key columns (a reset or delete kind) still finds its rows by the columns it
//   has. Key columns are NOT NULL whatever the file says, since no server keeps NULL in a
//   primary key.
// - The raw-value column of a calculated field (column2) is written by zel but has no
//   definition of its own; it gets the calculated field's type (or the one given with
//   --column-type) and accepts NULL, and comes after the table's defined columns.
#include "tools/zel-schema/schema_model.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

std::string lower(const char* text) {
    std::string out = text != nullptr ? text : "";
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool same_name(const std::string& a, const char* b) {
    return lower(a.c_str()) == lower(b);
}

SchemaColumn* find_column(SchemaTable& table, const char* name) {
    for (SchemaColumn& column : table.columns)
        if (same_name(column.name, name)) return &column;
    return nullptr;
}

SchemaTable& table_named(SchemaModel& model, const char* name) {
    for (SchemaTable& table : model.tables)
        if (same_name(table.name, name)) return table;
    model.tables.push_back(SchemaTable{});
    model.tables.back().name = name;
    return model.tables.back();
}

bool is_instrument_field(const FieldDef* def) {
    return std::strcmp(def->tag, "insref") == 0;
}

// "2:5, 14:5" - where in the file a column is defined, for messages.
std::string origins(const SchemaColumn& column) {
    std::string out = column.def->lookup_key;
    for (const FieldDef* other : column.others) {
        out += ", ";
        out += other->lookup_key;
    }
    return out;
}

void add_field(SchemaModel& model, const FieldDef* def) {
    SchemaTable& table = table_named(model, def->table);
    SchemaColumn* column = find_column(table, def->column);
    if (column == nullptr) {
        table.columns.push_back(SchemaColumn{});
        column = &table.columns.back();
        column->name = def->column;
        column->def = def;
    } else if (column->def->type == nullptr && def->type != nullptr) {
        // The first definition that says what the column is decides it.
        column->others.push_back(column->def);
        column->def = def;
    } else {
        column->others.push_back(def);
    }
    if (is_instrument_field(def) || def->is_key != 0) column->key = true;
}

// The raw-value columns of calculated fields, after the defined columns.
void add_base_columns(SchemaTable& table) {
    std::vector<const FieldDef*> calculated;
    for (const SchemaColumn& column : table.columns) {
        if (column.base) continue;
        if (column.def->calc != 0) calculated.push_back(column.def);
        for (const FieldDef* other : column.others)
            if (other->calc != 0) calculated.push_back(other);
    }
    for (const FieldDef* def : calculated) {
        if (def->column2 == nullptr || find_column(table, def->column2) != nullptr) continue;
        SchemaColumn base;
        base.name = def->column2;
        base.def = def;
        base.base = true;
        table.columns.push_back(base);
    }
}

void check_type(SchemaModel& model, const SchemaTable& table, const SchemaColumn& column,
                const std::set<std::string>& extra_types) {
    const FieldDef* def = column.def;
    std::string where = table.name + "." + column.name + " (" + origins(column) + ")";
    if (column.base)
        where = table.name + "." + column.name + " (column2 of " + def->lookup_key + ")";
    if (column.type() == nullptr) {
        model.errors.push_back("Column " + where + " has no type");
        return;
    }
    const std::string type = column.type();
    if (vocabulary_types().count(type) != 0 || extra_types.count(type) != 0) return;
    std::string text = "Column " + where + " has the unknown type \"" + type + "\"";
    if (vocabulary_types().count(lower(type.c_str())) != 0)
        text += " (type names are written in lower case)";
    model.errors.push_back(text);
}

void check_names(SchemaModel& model, const SchemaTable& table) {
    if (!plain_sql_name(table.name))
        model.errors.push_back("Table name \"" + table.name +
                               "\" cannot be written unquoted into SQL");
    for (const SchemaColumn& column : table.columns)
        if (!plain_sql_name(column.name))
            model.errors.push_back("Column name \"" + column.name + "\" of table " + table.name +
                                   " cannot be written unquoted into SQL");
}

// zel writes the status rows into columns called name and value, whatever the file says.
void check_status_table(SchemaModel& model, const TableDefinitions& defs) {
    const MessageDef* status = defs.find_messagedef(30);
    if (status == nullptr) return;
    SchemaTable& table = table_named(model, status->table);
    if (!same_name("name", status->column))
        model.warnings.push_back("Status table " + table.name +
                                 ": zel writes the row names into a column called name, but its "
                                 "instrument column (30:insref) is " +
                                 status->column);
    if (find_column(table, "value") == nullptr)
        model.warnings.push_back("Status table " + table.name +
                                 ": zel writes the values into a column called value, which the "
                                 "file does not define");
}

// The differences (kind 254) are computed inside one UPDATE from the reference prices
// (kind 18) of the same row, so both kinds must share a table.
void check_differences_table(SchemaModel& model, const TableDefinitions& defs) {
    const MessageDef* differences = defs.find_messagedef(254);
    const MessageDef* performance = defs.find_messagedef(18);
    if (differences == nullptr || performance == nullptr ||
        same_name(differences->table, performance->table))
        return;
    model.warnings.push_back(std::string("The differences (kind 254, table ") + differences->table +
                             ") are computed from the reference prices of the same row, but "
                             "kind 18 puts those into table " +
                             performance->table);
}

}  // namespace

const std::set<std::string>& vocabulary_types() {
    static const std::set<std::string> types = {
        "bigint",   "char",       "date",    "datetime", "decimal", "double", "int",
        "longtext", "mediumtext", "numeric", "smallint", "text",    "time",   "varchar"};
    return types;
}

bool plain_sql_name(const std::string& name) {
    size_t dot = name.find('.');
    if (dot != std::string::npos)
        return name.find('.', dot + 1) == std::string::npos &&
               plain_sql_name(name.substr(0, dot)) && plain_sql_name(name.substr(dot + 1));
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0])) || name[0] == '$')
        return false;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '_' && c != '$') return false;
    }
    return true;
}

bool parse_column_type(const std::string& text, std::string& key, ColumnType& type) {
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    key = lower(text.substr(0, equals).c_str());
    std::string rest = text.substr(equals + 1);
    size_t open = rest.find('(');
    if (open == std::string::npos) {
        type = ColumnType{rest, ""};
    } else {
        if (rest.back() != ')' || open + 2 >= rest.size()) return false;
        type = ColumnType{rest.substr(0, open), rest.substr(open + 1, rest.size() - open - 2)};
    }
    return key.find('.') != std::string::npos && !type.type.empty();
}

namespace {

// A type for a column the file describes itself, or for one that does not exist, is a
// mistake on the command line; applying it quietly would hide it.
void give_base_types(SchemaModel& model, const std::map<std::string, ColumnType>& base_types) {
    for (const auto& [key, given] : base_types) {
        bool used = false;
        for (SchemaTable& table : model.tables) {
            for (SchemaColumn& column : table.columns) {
                if (lower((table.name + "." + column.name).c_str()) != key) continue;
                used = true;
                if (column.base)
                    column.given = given;
                else
                    model.errors.push_back("--column-type " + key +
                                           ": the file defines this column; change its type there");
            }
        }
        if (!used)
            model.errors.push_back("--column-type " + key +
                                   ": no such raw-value column (column2 of a calculated field)");
    }
}

}  // namespace

SchemaModel build_schema(const TableDefinitions& defs, const std::set<std::string>& extra_types,
                         const std::map<std::string, ColumnType>& base_types) {
    SchemaModel model;
    for (const char* name : defs.tables())
        table_named(model, name);
    for (const FieldDef* def : defs.entries())
        add_field(model, def);
    for (SchemaTable& table : model.tables)
        add_base_columns(table);
    give_base_types(model, base_types);
    check_status_table(model, defs);
    check_differences_table(model, defs);

    for (SchemaTable& table : model.tables) {
        if (table.columns.empty()) {
            model.errors.push_back("Table " + table.name +
                                   " has no columns: none of its messages defines a field");
            continue;
        }
        check_names(model, table);
        bool instrument = false;
        for (SchemaColumn& column : table.columns) {
            check_type(model, table, column, extra_types);
            instrument =
                instrument || is_instrument_field(column.def) ||
                std::any_of(column.others.begin(), column.others.end(), is_instrument_field);
            column.nullable = column.base || column.def->nullable != 0;
            if (column.key) {
                table.has_primary_key = true;
                if (column.nullable)
                    model.warnings.push_back("Column " + table.name + "." + column.name + " (" +
                                             origins(column) +
                                             ") is part of the primary key and is made NOT NULL, "
                                             "though the file lets it be NULL");
                column.nullable = false;
            }
        }
        if (!instrument)
            model.warnings.push_back(
                "Table " + table.name +
                ": no message gives it an instrument column (tag insref), so zel does not write "
                "rows into it" +
                (table.has_primary_key ? "" : "; it gets no primary key"));
    }
    if (model.tables.empty()) model.errors.push_back("The file defines no tables");
    return model;
}
