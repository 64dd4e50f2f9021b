// main.cpp - zel-schema: the CREATE TABLE statements for a table-definition file, in the
// dialect of a database module, printed or applied to a database.
//
// One thread, one pass: read the options (and the configuration file when one is given),
// read the table definitions with zel's own reader, merge them into tables
// (schema_model.cpp), load the module with zel's own loader, connect when a configuration is
// given (a module may need its server to know the dialect), render every column through the
// module (schema_sql.cpp), then print the statements or create the missing tables. zel's
// libraries log through log_message; here every such line goes to standard error, so that
// standard output holds only the statements (or the report of --apply).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/zel-schema/schema_model.h"
#include "tools/zel-schema/schema_sql.h"
#include "zel/base/config.h"
#include "zel/base/config_file.h"
#include "zel/base/log.h"
#include "zel/modload/module_loader.h"
#include "zel/tabledef/table_definitions.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: zel-schema [OPTIONS] [TABLEDEF]\n"
    "\n"
    "Prints one CREATE TABLE statement per table of the table-definition file TABLEDEF, with\n"
    "the column types and nullability that the database module renders for its server, and\n"
    "a primary key made of each table's instrument and key columns. See docs/zel-schema.md.\n"
    "\n"
    "  -m, --module=FILE     database module to load (default: the configuration's instance)\n"
    "  -c, --config=FILE     zel configuration: connect with its Database settings before\n"
    "                        rendering (modules that learn their dialect from the server,\n"
    "                        such as ODBC and SQL Server, need it); TABLEDEF and the module\n"
    "                        default to its tabledefinitions and instance\n"
    "      --apply           create the tables that do not exist yet (needs --config); never\n"
    "                        drops or alters a table: existing tables are left to\n"
    "                        zel --check --upgrade-db\n"
    "      --if-not-exists   print CREATE TABLE IF NOT EXISTS (not for SQL Server)\n"
    "      --allow-type=NAME accept the column type NAME, which is not one of the file's\n"
    "                        vocabulary, and pass it to the module unchanged (repeatable)\n"
    "      --column-type=TABLE.COLUMN=TYPE[(LEN)]\n"
    "                        the type of a calculated field's raw-value column (column2),\n"
    "                        which the file does not describe; by default it takes the\n"
    "                        calculated field's own type (repeatable)\n"
    "  -h, --help            this text\n"
    "\n"
    "Exit codes: 0 done; 1 the file, the module, the server or a table failed; 2 usage.\n";

struct Options {
    std::string module;
    std::string config;
    std::string tabledef;
    std::set<std::string> allowed_types;
    std::map<std::string, ColumnType> base_types;
    bool apply = false;
    bool if_not_exists = false;
    bool help = false;
};

void say(const char* kind, const std::string& text) {
    std::fprintf(stderr, "zel-schema: %s%s\n", kind, text.c_str());
}

// zel's libraries report through log_message; a tool's messages belong on standard error.
void to_stderr(int level, const char* text, void*) {
    say(level == LOG_LEVEL_ERROR ? "error: " : level == LOG_LEVEL_INFO ? "" : "warning: ", text);
}

const char* base_name(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// Accepts "--name=value", "--name value" and "-n value". Returns 1, 0 when the option
// does not match, -1 when its value is missing.
int option_value(int argc, char** argv, int& i, const char* shortname, const char* longname,
                 std::string& value) {
    const char* arg = argv[i];
    size_t length = std::strlen(longname);
    if (std::strncmp(arg, longname, length) == 0 && arg[length] == '=') {
        value = arg + length + 1;
        return value.empty() ? -1 : 1;
    }
    if (std::strcmp(arg, longname) != 0 &&
        (shortname == nullptr || std::strcmp(arg, shortname) != 0))
        return 0;
    if (i + 1 >= argc) return -1;
    value = argv[++i];
    return 1;
}

int parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        std::string value;
        int found = 0;
        if ((found = option_value(argc, argv, i, "-m", "--module", value)) > 0) {
            options.module = value;
        } else if (found == 0 &&
                   (found = option_value(argc, argv, i, "-c", "--config", value)) > 0) {
            options.config = value;
        } else if (found == 0 &&
                   (found = option_value(argc, argv, i, nullptr, "--allow-type", value)) > 0) {
            options.allowed_types.insert(value);
        } else if (found == 0 &&
                   (found = option_value(argc, argv, i, nullptr, "--column-type", value)) > 0) {
            std::string key;
            ColumnType type;
            if (!parse_column_type(value, key, type)) {
                say("error: ",
                    "--column-type wants TABLE.COLUMN=TYPE or TABLE.COLUMN=TYPE(LEN), not " +
                        value);
                return -1;
            }
            options.base_types[key] = type;
        } else if (found < 0) {
            say("error: ", std::string("option ") + arg + " needs a value");
            return -1;
        } else if (std::strcmp(arg, "--apply") == 0) {
            options.apply = true;
        } else if (std::strcmp(arg, "--if-not-exists") == 0) {
            options.if_not_exists = true;
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            options.help = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            say("error: ", std::string("unknown option ") + arg);
            return -1;
        } else if (options.tabledef.empty()) {
            options.tabledef = arg;
        } else {
            say("error: ", std::string("more than one table-definition file: ") + arg);
            return -1;
        }
    }
    return 1;
}

// The module and its one connection, released on every way out.
class Session {
  public:
    ~Session() {
        if (conn_ != nullptr) {
            if (connected_) g_module.mod_disconnect(conn_);
            g_module.mod_destroy(conn_);
        }
        if (g_module.mod_exit != nullptr) g_module.mod_exit();
        unload_module();
    }

    bool open(const std::string& file) {
        if (load_module(file.c_str()) != 1) {
            say("error: ", "could not load the database module " + file);
            return false;
        }
        conn_ = g_module.mod_create(g_config.module_params());
        if (conn_ == nullptr) {
            say("error: ", "the module could not make a connection object (out of memory)");
            return false;
        }
        return true;
    }

    // Connects with the configuration's settings and asks for the server: modules that
    // render by server kind or version learn it here.
    bool connect(std::string& server) {
        if (g_module.mod_connect(conn_) != 1) {
            const char* text = g_module.mod_geterrorstring(conn_);
            say("error: ", std::string("could not connect to the database: ") +
                               (text != nullptr ? text : "DB unknown error"));
            return false;
        }
        connected_ = true;
        ServerInfo info{};
        if (g_module.mod_get_info(conn_, &info, sizeof info) != -1 && info.version != nullptr)
            server = info.version;
        std::free(info.version);
        std::free(info.transaction_start);
        return true;
    }

    DbConnection* conn() const { return conn_; }

  private:
    DbConnection* conn_ = nullptr;
    bool connected_ = false;
};

void print_all(const char* kind, const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        say(kind, line);
}

int create_missing(DbConnection* conn, const std::vector<RenderedTable>& tables) {
    int created = 0, skipped = 0, failed = 0;
    for (const RenderedTable& table : tables) {
        std::string error;
        switch (apply_table(g_module, conn, table, error)) {
            case ApplyOutcome::created:
                ++created;
                std::printf("Created table %s\n", table.name.c_str());
                break;
            case ApplyOutcome::skipped:
                ++skipped;
                std::printf("Skipped table %s: it exists already\n", table.name.c_str());
                break;
            case ApplyOutcome::failed:
                ++failed;
                std::printf("Failed to create table %s: %s\n", table.name.c_str(), error.c_str());
                break;
        }
        std::fflush(stdout);
    }
    std::printf("%d created, %d skipped, %d failed", created, skipped, failed);
    std::printf(skipped > 0 ? " (zel --check --upgrade-db adds the columns that existing tables "
                              "lack)\n"
                            : "\n");
    return failed > 0 ? kExitFailed : kExitOk;
}

int run(const Options& options) {
    if (!options.config.empty()) {
        g_config.config_path = options.config;
        g_config.config_path_given = true;
        if (read_config_file() != 1) {
            say("error: ", "could not read the configuration file " + options.config);
            return kExitFailed;
        }
    }
    std::string module = !options.module.empty() ? options.module : g_config.module_file;
    std::string tabledef = !options.tabledef.empty() ? options.tabledef : g_config.tabledefinitions;
    if (module.empty() || tabledef.empty()) {
        say("error: ", module.empty() ? "no database module: give --module or a configuration "
                                        "with an instance"
                                      : "no table-definition file: name one or give a "
                                        "configuration with tabledefinitions");
        return kExitUsage;
    }

    TableDefinitions defs;
    defs.create(100);
    if (load_table_definitions(tabledef.c_str(), defs, g_config) != 1) return kExitFailed;
    SchemaModel model = build_schema(defs, options.allowed_types, options.base_types);
    print_all("warning: ", model.warnings);
    if (!model.errors.empty()) {
        print_all("error: ", model.errors);
        say("", tabledef + ": no statements written");
        return kExitFailed;
    }

    Session session;
    if (!session.open(module)) return kExitFailed;
    std::string server;
    if (!options.config.empty() && !session.connect(server)) return kExitFailed;

    std::vector<std::string> errors, warnings;
    std::vector<RenderedTable> tables =
        render_schema(g_module, session.conn(), model, options.if_not_exists, errors, warnings);
    print_all("warning: ", warnings);
    if (!errors.empty()) {
        print_all("error: ", errors);
        say("", "the module " + module + " could not render every column: no statements written");
        return kExitFailed;
    }
    if (options.apply) return create_missing(session.conn(), tables);

    std::string rendered = "without a server connection";
    if (!options.config.empty())
        rendered = "for the server " + (server.empty() ? std::string("it connected to") : server);
    std::printf("-- Tables of %s: column types and nullability as %s renders them %s.\n",
                base_name(tabledef), base_name(module), rendered.c_str());
    for (const RenderedTable& table : tables)
        std::printf("\n%s;\n", table.statement.c_str());
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (parse_options(argc, argv, options) != 1) {
        std::fputs("Try zel-schema --help.\n", stderr);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (options.apply && options.config.empty()) {
        say("error: ", "--apply needs --config: the tables are created with its settings");
        return kExitUsage;
    }
    // Standard output carries the statements; every message of zel's libraries goes to
    // standard error instead of the console.
    g_config.silent = 1;
    log_set_observer(to_stderr, nullptr);
    int code = run(options);
    log_set_observer(nullptr, nullptr);
    return code;
}
