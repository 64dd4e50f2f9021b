// database_check.cpp - the database check and upgrade (see database_check.h).
//
// Main thread only, before the other threads start; the module's calls go to connection 1.
// Columns are matched without regard to case, as the servers treat unquoted names. A column
// that several kinds or tags define is compared, reported and repaired once: the handled
// set remembers it, under the same case-blind name the match uses, so that two spellings
// of one column cannot make the check add it twice.
#include "zel/tabledef/database_check.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/tabledef/table_definitions.h"

namespace {

// "table:column" folded to lower case: the key of both the description index and the
// handled set.
std::string column_key(const char* table, const char* column) {
    std::string key;
    key.reserve(std::strlen(table) + std::strlen(column) + 1);
    for (const char* p = table; *p; ++p)
        key.push_back(static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p - 'A' + 'a' : *p));
    key.push_back(':');
    for (const char* p = column; *p; ++p)
        key.push_back(static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p - 'A' + 'a' : *p));
    return key;
}

class DatabaseCheck {
  public:
    DatabaseCheck(const DbModule& module, DbConnection* connection, const Config& config)
        : module_(module), connection_(connection), config_(config) {}

    int run(const TableDefinitions& defs, const ColumnInfo* description);

  private:
    bool render(const char* type, const char* size, int nullable, int is_unsigned, char* out) {
        out[0] = '\0';
        return module_.mod_add_column(connection_, out, "", type, size, nullable ? 1 : 0,
                                      is_unsigned ? 1 : 0, ZEL_COLUMN_RENDER) == 1;
    }
    const char* error_text() {
        const char* text = module_.mod_geterrorstring(connection_);
        return text ? text : "NULL";
    }
    bool upgrading() const { return config_.check == 1 && config_.upgrade_db == 1; }

    // Returns false when the check must stop (logged).
    bool compare(const FieldDef& def, const ColumnInfo& info);
    bool add_missing(const FieldDef& def);
    void report();

    const DbModule& module_;
    DbConnection* connection_;
    const Config& config_;
    std::unordered_set<std::string> handled_;
    std::vector<const FieldDef*> missing_;
    std::vector<const FieldDef*> changed_;
};

bool DatabaseCheck::compare(const FieldDef& def, const ColumnInfo& info) {
    // A definition without its own length is compared without the database's length when
    // the types agree: "varchar" against varchar(64) is the same column.
    const char* size = info.size;
    if (!def.len && def.type && info.type && std::strcmp(def.type, info.type) == 0) size = nullptr;
    char database_text[ZEL_COLUMN_TEXT_SIZE];
    char definition_text[ZEL_COLUMN_TEXT_SIZE];
    bool rendered = render(info.type, size, info.nullable, info.is_unsigned, database_text);
    rendered =
        render(def.type, def.len, def.nullable, def.is_unsigned, definition_text) && rendered;
    if (!rendered || std::strcmp(database_text, definition_text) == 0) return true;

    std::string key = column_key(def.table, def.column);
    if (handled_.count(key)) return true;
    if (upgrading()) {
        if (!def.type) {
            log_message(LOG_LEVEL_ERROR, "Database upgrade not possible, old zel.tabledef?");
            return false;
        }
        std::string table(def.table);
        if (module_.mod_add_column(connection_, table.data(), def.column, def.type, def.len,
                                   def.nullable, def.is_unsigned, ZEL_COLUMN_ALTER) == 1) {
            log_message(LOG_LEVEL_INFO, "Modified column '%s.%s' from '%s' to '%s'.", def.table,
                        def.column, database_text, definition_text);
        } else {
            log_message(LOG_LEVEL_ERROR,
                        "Failed to modify column '%s.%s' from '%s' to '%s'. Error:%s Code:%d",
                        def.table, def.column, database_text, definition_text, error_text(),
                        module_.mod_getlasterror(connection_));
            changed_.push_back(&def);
        }
    } else {
        changed_.push_back(&def);
    }
    handled_.insert(std::move(key));
    return true;
}

bool DatabaseCheck::add_missing(const FieldDef& def) {
    std::string key = column_key(def.table, def.column);
    if (handled_.count(key)) return true;
    if (upgrading()) {
        if (!def.type) {
            log_message(LOG_LEVEL_ERROR, "Database upgrade not possible, old zel.tabledef?");
            return false;
        }
        std::string table(def.table);
        if (module_.mod_add_column(connection_, table.data(), def.column, def.type, def.len,
                                   def.nullable, def.is_unsigned, ZEL_COLUMN_ADD) == 1) {
            log_message(LOG_LEVEL_INFO, "Added column %s to table %s.", def.column, def.table);
        } else {
            log_message(LOG_LEVEL_ERROR, "Failed to add column %s to table %s. Error:%s Code:%d",
                        def.column, def.table, error_text(), module_.mod_getlasterror(connection_));
            missing_.push_back(&def);
        }
    } else {
        missing_.push_back(&def);
    }
    handled_.insert(std::move(key));
    return true;
}

bool by_table_then_column(const FieldDef* a, const FieldDef* b) {
    int order = std::strcmp(a->table, b->table);
    if (order != 0) return order < 0;
    return std::strcmp(a->column, b->column) < 0;
}

void DatabaseCheck::report() {
    std::stable_sort(missing_.begin(), missing_.end(), by_table_then_column);
    std::stable_sort(changed_.begin(), changed_.end(), by_table_then_column);

    if (!missing_.empty()) {
        log_message(LOG_LEVEL_ERROR, "%s", "");
        log_message(LOG_LEVEL_ERROR, "The following columns must be added to the SQL server:");
        log_message(LOG_LEVEL_ERROR, "%s", "");
        log_message(LOG_LEVEL_ERROR, "Table   Column");
        log_message(LOG_LEVEL_ERROR, "------------------------------------------------------");
        const char* table = nullptr;
        for (const FieldDef* def : missing_) {
            if (!table || std::strcmp(table, def->table) != 0) {
                if (table) log_message(LOG_LEVEL_ERROR, "%s", "");
                table = def->table;
                log_message(LOG_LEVEL_ERROR, "%s", table);
            }
            log_message(LOG_LEVEL_ERROR, "        %s", def->column);
        }
        log_message(LOG_LEVEL_ERROR, "%s", "");
    }

    if (!changed_.empty()) {
        log_message(LOG_LEVEL_WARNING, "%s", "");
        log_message(LOG_LEVEL_WARNING,
                    "The following columns should have their definitions changed in the SQL "
                    "server:");
        log_message(LOG_LEVEL_WARNING, "%s", "");
        log_message(LOG_LEVEL_WARNING, "Column        New Definition");
        log_message(
            LOG_LEVEL_WARNING,
            "------------------------------------------------------------------------------");
        for (const FieldDef* def : changed_) {
            char definition_text[ZEL_COLUMN_TEXT_SIZE];
            if (!render(def->type, def->len, def->nullable, def->is_unsigned, definition_text))
                definition_text[0] = '\0';
            log_message(LOG_LEVEL_WARNING, "%s.%s '%s'", def->table, def->column, definition_text);
        }
        log_message(LOG_LEVEL_WARNING, "%s", "");
    }

    if (!missing_.empty() && changed_.empty())
        log_message(LOG_LEVEL_INFO, "To automatically fix this, run \"zel --check --upgrade-db\"");
    if (!changed_.empty())
        log_message(LOG_LEVEL_INFO,
                    "To automatically fix this, run \"zel --check-types --upgrade-db\"");
    if (!missing_.empty() || !changed_.empty())
        log_message(LOG_LEVEL_INFO,
                    "You might also have to add \"--dbsuser <username>\" in case the SQL user in "
                    "zel.config does not have rights to make such changes to the tables.");
}

int DatabaseCheck::run(const TableDefinitions& defs, const ColumnInfo* description) {
    // A file that maps no field asks for no column, so there is nothing the database could
    // lack: the check passes. (The key list itself cannot be missing here; the model holds
    // its keys in a vector.)
    // The first column of a name wins, as a walk of the list in server order finds it.
    std::unordered_map<std::string, const ColumnInfo*> columns;
    for (const ColumnInfo* info = description; info; info = info->next) {
        if (info->table && info->column)
            columns.emplace(column_key(info->table, info->column), info);
    }
    for (const FieldDef* def : defs.entries()) {
        auto found = columns.find(column_key(def->table, def->column));
        bool go_on = true;
        if (found == columns.end())
            go_on = add_missing(*def);
        else if (config_.check_types == 1)
            go_on = compare(*def, *found->second);
        if (!go_on) return DATABASE_CHECK_FAILED;
    }
    report();
    if (!missing_.empty()) {
        log_message(LOG_LEVEL_ERROR, "The SQL database check failed");
        return DATABASE_CHECK_FAILED;
    }
    if (!changed_.empty()) {
        log_message(LOG_LEVEL_WARNING, "The SQL database check had warnings");
        return DATABASE_CHECK_WARNINGS;
    }
    if (config_.check == 1) log_message(LOG_LEVEL_INFO, "The SQL database check was successful");
    return DATABASE_CHECK_PASSED;
}

}  // namespace

int check_database(const DbModule& module, DbConnection* connection, const TableDefinitions& defs,
                   const Config& config) {
    ColumnInfo* description = module.mod_get_databaseinfo(connection);
    if (!description) {
        const char* text = module.mod_geterrorstring(connection);
        log_message(LOG_LEVEL_ERROR, "Database check failed. Error: '%s', Code: %d",
                    text ? text : "NULL", module.mod_getlasterror(connection));
        return DATABASE_CHECK_NO_DESCRIPTION;
    }
    int result;
    try {
        DatabaseCheck check(module, connection, config);
        result = check.run(defs, description);
    } catch (const std::bad_alloc&) {
        log_message(LOG_LEVEL_ERROR, "Out of memory. Stopping..");
        result = DATABASE_CHECK_FAILED;
    }
    module.mod_free_databaseinfo(description);
    return result;
}
