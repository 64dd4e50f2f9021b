// command_line.cpp - the command line, its immediate answers and the run modes: a service
// run when a service manager started the process, otherwise the console run.
//
// Main thread only. Argument errors are answered on standard output, as the help text is:
// the program has not configured its logging yet when it reads them.
#include "zel/run/command_line.h"

#include <cstring>

#include "platform/console.h"
#include "platform/signals.h"
#include "zel/base/log.h"
#include "zel/base/run_state.h"
#include "zel/run/service.h"
#include "zel/run/startup.h"
#include "zel/run/stop_handlers.h"
#include "zel/stats/status_report.h"

const char* const kHelpText =
    "zel - Corvalinder Database Application\n"
    "  --status           print status\n"
    "  --map-name=NAME    change the name used to find the memory mapped file used\n"
    "                     to store the statistics data. This must be used to set a\n"
    "                     different name for each instance of more than one ZEL is\n"
    "                     running on the same machine.\n"
    "  --check            perform some tests on the config, tabledef and sql server\n"
    "  --check-types      check whether the data types in the sql server corresponds\n"
    "                     with the column definitions in the tabledef file.\n"
    "  --upgrade-db       execute ALTER TABLE on the sql server to add any missing\n"
    "                     columns (must be called with --check or --check-types)\n"
    "  --config=FNAME     read config from FNAME (default is 'zel.config' in the\n"
    "                     install directory [fetched from the registry])\n"
    "  --dbsuser=USER     use USER for the SQL Authentication instead of the details\n"
    "                     from the config file. The password will be prompted for.\n"
    "  --domainuser=USER  use USER for the Windows Authentication instead of the\n"
    "                     details from the config file. The format of USER is\n"
    "                     DOMAIN\\USERNAME, if only USERNAME then the local computer\n"
    "                     is used for DOMAIN. The password will be prompted for.\n"
    "  --import=FNAME     read SQL commands from FNAME and execute them. This is\n"
    "                     used to import sql dumps created with i.e mysqldump on\n"
    "                     incompatible SQL servers, or SQL servers without a good\n"
    "                     import application. Supports Gzipped files (.gz).\n"
    "                     If FNAME is \"-\" then stdin will be read instead of a file.\n"
    "  --help             show this screen\n"
    "\n";

namespace {

enum OptionKind { FLAG, VALUE };

struct Option {
    const char* name;
    OptionKind kind;
    const char* missing;  // error text when a VALUE option has no value
};

constexpr Option kOptions[] = {
    {"--daemon", FLAG, nullptr},
    {"--debug", FLAG, nullptr},
    {"--console", FLAG, nullptr},
    {"--silent", FLAG, nullptr},
    {"--config", VALUE, "Missing config filename\n"},
    {"--status", FLAG, nullptr},
    {"--check", FLAG, nullptr},
    {"--check-types", FLAG, nullptr},
    {"--help", FLAG, nullptr},
    {"--import", VALUE, "Missing filename for --import\n"},
    {"--upgrade-db", FLAG, nullptr},
    {"--dbsuser", VALUE, "Missing username\n"},
    {"--domainuser", VALUE, "Missing username\n"},
    {"--map-name", VALUE, "Missing name for --map-name\n"},
};

// Sets what one recognised option means. Returns false after --help.
bool apply_option(Config& config, const std::string& name, const char* value, FILE* out) {
    if (name == "--daemon") {
        config.daemon = 1;
        config.silent = 1;
    } else if (name == "--debug" || name == "--console") {
        config.daemon = 0;
    } else if (name == "--silent") {
        config.silent = 1;
    } else if (name == "--config") {
        config.config_path = value;
        config.config_path_given = true;
    } else if (name == "--status") {
        config.status_mode = 1;
    } else if (name == "--check") {
        config.check = 1;
    } else if (name == "--check-types") {
        config.check = 1;
        config.check_types = 1;
    } else if (name == "--help") {
        std::fputs(kHelpText, out);
        std::fflush(out);
        return false;
    } else if (name == "--import") {
        config.import_path = value;
        config.import_given = true;
    } else if (name == "--upgrade-db") {
        config.upgrade_db = 1;
    } else if (name == "--dbsuser") {
        config.dbs_user = value;
        config.dbs_user_given = true;
    } else if (name == "--domainuser") {
        config.domain_user_arg = value;
        config.domain_user_arg_given = true;
    } else if (name == "--map-name") {
        config.map_name = value;
    }
    return true;
}

// The console run: the start-up, then the console control handler and the wait for a
// console event, then the shutdown.
int console_run(Config& config) {
    int started = startup();
    if (started == STARTUP_ONE_SHOT_DONE) return 0;
    if (started != STARTUP_RUNNING) return 1;
    install_console_control_handler();
    wait_stop_semaphore();
    shutdown();
    // A further Ctrl+C at the key prompt below ends the program as it would any other.
    remove_console_control_handler();
    if (!config.daemon) press_any_key();
    return exit_code.load();
}

// A run as a service or from the console; the exit code.
int run_program(Config& config) {
    exit_code = 1;
    // Before any other thread exists, so that every thread inherits the blocked signals and
    // only the signal thread ever sees them.
    platform_block_stop_signals();
    platform_ignore_broken_pipe();
    if (!platform_signal_thread_start(route_console_event))
        log_message(LOG_LEVEL_PROBLEM,
                    "Could not start the signal thread: Ctrl+C and "
                    "termination requests end zel without a clean shutdown");
    int result;
    std::string error;
    switch (service_dispatcher(&error)) {
        case SERVICE_DISPATCH_NOT_A_SERVICE:
            result = console_run(config);
            break;
        case SERVICE_DISPATCH_RAN:
            if (service_startup_result() == STARTUP_RUNNING) {
                shutdown();
                if (!config.daemon) press_any_key();
            }
            // The service manager judges the run by the exit code: a service that started
            // and was stopped has done its job.
            result = service_startup_result() == STARTUP_ONE_SHOT_DONE || service_exit_code() == 0
                         ? 0
                         : 1;
            break;
        default:
            log_message(LOG_LEVEL_ERROR, "%s could not be started as a service: %s", kServiceName,
                        error.c_str());
            result = 1;
            break;
    }
    platform_signal_thread_stop();
    return result;
}

}  // namespace

int parse_command_line(int argc, char** argv, Config& config, FILE* out) {
    config.daemon = 0;
    config.silent = 0;
    config.status_mode = 0;
    config.check = 0;
    config.check_types = 0;
    config.upgrade_db = 0;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const char* equals = std::strchr(argument, '=');
        std::string name = equals ? std::string(argument, equals) : std::string(argument);
        const char* value = equals ? equals + 1 : nullptr;
        const Option* option = nullptr;
        for (const Option& known : kOptions) {
            if (name == known.name) {
                option = &known;
                break;
            }
        }
        if (!option) {
            std::fprintf(out, "unknown argument: '%s'\n", name.c_str());
            return COMMAND_LINE_EXIT_ERROR;
        }
        if (option->kind == VALUE) {
            // Only an option that takes a value consumes the next argument.
            if (!value && i + 1 < argc) value = argv[++i];
            // "--config=" names nothing either: saying so beats failing later on an empty name.
            if (!value || !*value) {
                std::fputs(option->missing, out);
                return COMMAND_LINE_EXIT_ERROR;
            }
        }
        if (!apply_option(config, name, value, out)) return COMMAND_LINE_EXIT_OK;
    }
    if (config.check || config.import_given) config.daemon = 0;
    set_config_defaults(config);
    return COMMAND_LINE_RUN;
}

int zel_main(int argc, char** argv) {
    Config& config = g_config;
    int parsed = parse_command_line(argc, argv, config, stdout);
    std::fflush(stdout);
    if (parsed != COMMAND_LINE_RUN) return parsed;
    if (config.status_mode) return print_status_report(config.map_name.c_str(), stdout);
    return run_program(config);
}

void press_any_key() {
    // In a background group of its terminal nobody could answer, and the terminal would
    // stop the process at the first touch.
    if (platform_console_in_background()) return;
    std::fputs("Press any key to continue...\n", stdout);
    std::fflush(stdout);
    ConsoleKeys keys;
    keys.read_key();
}

void read_password(const char* prompt, std::string* out) {
    out->clear();
    if (platform_console_in_background()) {
        log_message(LOG_LEVEL_PROBLEM,
                    "zel runs in the background of its terminal: no password can be typed at "
                    "'%s'; run it in the foreground",
                    prompt);
        return;
    }
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    ConsoleKeys keys;
    while (out->size() < 511) {
        int key = keys.read_key();
        // Enter arrives as 13 from a terminal; piped input ends its line with 10 or just ends.
        if (key < 0 || key == 13 || key == 10) break;
        out->push_back(static_cast<char>(key));
    }
    std::fputs("\n", stdout);
    std::fflush(stdout);
}
