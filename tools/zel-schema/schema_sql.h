// schema_sql.h - CREATE TABLE statements in the loaded module's dialect, and their
// application to a database.
//
// Every column's type and nullability text comes from the module's own mod_add_column in
// its rendering mode, so each server gets the types its module would give it, and a later
// `zel --check-types` (which renders both sides with the same call) finds them equal. Used
// by zel-schema's main on its one thread, with one DbConnection of the loaded module.
#pragma once

#include <string>
#include <vector>

#include "tools/zel-schema/schema_model.h"
#include "zel/modload/module_loader.h"

struct RenderedTable {
    std::string name;
    std::string statement;  // "CREATE TABLE ... )", without a terminating semicolon
};

// Renders every table of the model. Disagreeing definitions of one column (which zel's
// check would report for one of them) are added to `warnings`; a column the module cannot
// render is added to `errors`. `if_not_exists` writes CREATE TABLE IF NOT EXISTS.
std::vector<RenderedTable> render_schema(const DbModule& module, DbConnection* conn,
                                         const SchemaModel& model, bool if_not_exists,
                                         std::vector<std::string>& errors,
                                         std::vector<std::string>& warnings);

enum class ApplyOutcome { created, skipped, failed };

// Whether a table of this name can be read on the connection.
bool table_exists(const DbModule& module, DbConnection* conn, const std::string& table);

// Creates the table unless it exists. `error` receives the module's error on failure.
ApplyOutcome apply_table(const DbModule& module, DbConnection* conn, const RenderedTable& table,
                         std::string& error);
