// schema_sql.cpp - statements from the schema model through the module (see schema_sql.h).
// Called by zel-schema's main on its only thread.
#include "tools/zel-schema/schema_sql.h"

#include <cstring>

#include "zel_module.h"

namespace {

// A module that writes nothing (the null module) would make tables of bare names.
const char kNoText[] =
    "the module writes no column types (a module that stores nothing, such as the null module, "
    "cannot make a schema)";

std::string module_error(const DbModule& module, DbConnection* conn) {
    const char* text = module.mod_geterrorstring(conn);
    std::string out = text != nullptr && text[0] != '\0' ? text : "no error text";
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out + " (code " + std::to_string(module.mod_getlasterror(conn)) + ")";
}

// The module's type-and-nullability text for one definition, or "" with `error` set.
std::string render_column(const DbModule& module, DbConnection* conn, const SchemaColumn& column,
                          const char* type, const char* len, bool nullable, uint8_t is_unsigned,
                          std::string& error) {
    char buffer[ZEL_COLUMN_TEXT_SIZE];
    buffer[0] = '\0';
    uint8_t done = module.mod_add_column(conn, buffer, column.name.c_str(), type, len,
                                         nullable ? 1 : 0, is_unsigned, ZEL_COLUMN_RENDER);
    if (done != 1) {
        error = module_error(module, conn);
        return {};
    }
    buffer[sizeof buffer - 1] = '\0';
    if (buffer[0] == '\0') {
        error = kNoText;
        return {};
    }
    if (std::strlen(buffer) == sizeof buffer - 1) {
        error = "the module's type text fills its whole buffer and may be cut";
        return {};
    }
    return buffer;
}

// Definitions of one column that the module renders differently from the one used: zel's
// check would report the column as changed for those kinds.
void compare_definitions(const DbModule& module, DbConnection* conn, const std::string& table,
                         const SchemaColumn& column, std::vector<std::string>& warnings) {
    std::string error;
    const FieldDef* def = column.def;
    std::string used = render_column(module, conn, column, def->type, def->len, def->nullable != 0,
                                     def->is_unsigned, error);
    if (used.empty()) return;
    for (const FieldDef* other : column.others) {
        if (other->type == nullptr) continue;
        std::string text = render_column(module, conn, column, other->type, other->len,
                                         other->nullable != 0, other->is_unsigned, error);
        if (!text.empty() && text != used)
            warnings.push_back("Column " + table + "." + column.name + " is defined as '" + used +
                               "' by " + column.def->lookup_key + " but as '" + text + "' by " +
                               other->lookup_key + "; the table gets the first");
    }
}

}  // namespace

std::vector<RenderedTable> render_schema(const DbModule& module, DbConnection* conn,
                                         const SchemaModel& model, bool if_not_exists,
                                         std::vector<std::string>& errors,
                                         std::vector<std::string>& warnings) {
    std::vector<RenderedTable> out;
    for (const SchemaTable& table : model.tables) {
        std::string statement = if_not_exists ? "CREATE TABLE IF NOT EXISTS " : "CREATE TABLE ";
        statement += table.name + " (";
        std::string keys;
        bool first = true;
        for (const SchemaColumn& column : table.columns) {
            std::string error;
            std::string text = render_column(module, conn, column, column.type(), column.len(),
                                             column.nullable, column.def->is_unsigned, error);
            if (text.empty() && error == kNoText) {
                errors.push_back(error);
                return out;
            }
            if (text.empty()) {
                errors.push_back("Column " + table.name + "." + column.name + " (type \"" +
                                 column.type() + "\"): " + error);
                continue;
            }
            if (!column.base) compare_definitions(module, conn, table.name, column, warnings);
            statement += first ? "\n    " : ",\n    ";
            statement += column.name + " " + text;
            first = false;
            if (column.key) keys += (keys.empty() ? "" : ", ") + column.name;
        }
        if (!keys.empty()) statement += ",\n    PRIMARY KEY (" + keys + ")";
        statement += "\n)";
        out.push_back(RenderedTable{table.name, statement});
    }
    return out;
}

bool table_exists(const DbModule& module, DbConnection* conn, const std::string& table) {
    // Asks for no rows: it succeeds exactly when zel's own statements could name the table,
    // whichever schema or catalog the server finds it in.
    std::string query = "SELECT * FROM " + table + " WHERE 1=0";
    int32_t status = 0;
    module.mod_querysql(conn, query.c_str(), &status);
    module.mod_freeresult(conn);
    return status >= 0;
}

ApplyOutcome apply_table(const DbModule& module, DbConnection* conn, const RenderedTable& table,
                         std::string& error) {
    if (table_exists(module, conn, table.name)) return ApplyOutcome::skipped;
    if (module.mod_executesql(conn, table.statement.c_str()) >= 0) return ApplyOutcome::created;
    error = module_error(module, conn);
    return ApplyOutcome::failed;
}
