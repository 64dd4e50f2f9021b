// Command-line parsing: value forms, consumed arguments, error texts and exit codes, the
// help text, and the flags and defaults that parsing leaves in Config.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "zel/base/config.h"
#include "zel/run/command_line.h"

namespace {

struct Parsed {
    int result;
    std::string output;
};

// Parses into a fresh Config and captures what the parser prints.
Parsed parse(Config& config, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "zel");
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    FILE* out = std::tmpfile();
    int result = parse_command_line(static_cast<int>(arguments.size()), argv.data(), config, out);
    std::string text;
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;)
        text.push_back(static_cast<char>(c));
    std::fclose(out);
    return {result, text};
}

const char kExpectedHelp[] =
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

TEST(CommandLineHelp, PrintsTheHelpTextExactlyAndStopsAtOnce) {
    Config config;
    Parsed parsed = parse(config, {"--status", "--help", "--no-such-option"});
    EXPECT_EQ(parsed.result, COMMAND_LINE_EXIT_OK);
    EXPECT_EQ(parsed.output, kExpectedHelp);
}

TEST(CommandLineValues, ValueAfterEqualsLeavesTheNextArgumentAlone) {
    Config config;
    Parsed parsed = parse(config, {"--config=my.config", "--check"});
    ASSERT_EQ(parsed.result, COMMAND_LINE_RUN);
    EXPECT_EQ(config.config_path, "my.config");
    EXPECT_TRUE(config.config_path_given);
    EXPECT_EQ(config.check, 1);
    EXPECT_EQ(config.check_types, 0);
}

TEST(CommandLineValues, ValueAsNextArgumentIsConsumed) {
    Config config;
    ASSERT_EQ(parse(config, {"--config", "my.config", "--check"}).result, COMMAND_LINE_RUN);
    EXPECT_EQ(config.config_path, "my.config");
    EXPECT_EQ(config.check, 1);

    Config import;
    ASSERT_EQ(parse(import, {"--import", "--check"}).result, COMMAND_LINE_RUN);
    EXPECT_EQ(import.import_path, "--check");  // consumed as the value, not an option
    EXPECT_EQ(import.check, 0);

    Config both;
    ASSERT_EQ(parse(both, {"--import=dump.sql.gz", "--check-types", "--map-name", "Local\\second"})
                  .result,
              COMMAND_LINE_RUN);
    EXPECT_EQ(both.import_path, "dump.sql.gz");
    EXPECT_TRUE(both.import_given);
    EXPECT_EQ(both.check, 1);
    EXPECT_EQ(both.check_types, 1);
    EXPECT_EQ(both.map_name, "Local\\second");
}

TEST(CommandLineValues, ValueSplitsAtTheFirstEqualsOnly) {
    Config config;
    ASSERT_EQ(parse(config, {"--dbsuser=sa=admin", "--domainuser=CORP\\ops"}).result,
              COMMAND_LINE_RUN);
    EXPECT_EQ(config.dbs_user, "sa=admin");
    EXPECT_TRUE(config.dbs_user_given);
    EXPECT_EQ(config.domain_user_arg, "CORP\\ops");
    EXPECT_TRUE(config.domain_user_arg_given);
}

TEST(CommandLineValues, FlagIgnoresAValueAfterEquals) {
    Config config;
    ASSERT_EQ(parse(config, {"--status=no", "--upgrade-db=1"}).result, COMMAND_LINE_RUN);
    EXPECT_EQ(config.status_mode, 1);
    EXPECT_EQ(config.upgrade_db, 1);
}

TEST(CommandLineErrors, MissingValuesNameTheOption) {
    struct Case {
        std::vector<std::string> arguments;
        const char* message;
    };
    const Case cases[] = {
        {{"--check", "--config"}, "Missing config filename\n"},
        {{"--config="}, "Missing config filename\n"},
        {{"--import"}, "Missing filename for --import\n"},
        {{"--dbsuser"}, "Missing username\n"},
        {{"--domainuser"}, "Missing username\n"},
        {{"--map-name"}, "Missing name for --map-name\n"},
    };
    for (const Case& c : cases) {
        Config config;
        Parsed parsed = parse(config, c.arguments);
        EXPECT_EQ(parsed.result, COMMAND_LINE_EXIT_ERROR) << c.arguments.back();
        EXPECT_EQ(parsed.output, c.message) << c.arguments.back();
    }
}

TEST(CommandLineErrors, UnknownOptionIsNamedWithoutItsValue) {
    Config config;
    Parsed parsed = parse(config, {"--check", "--colour=blue", "--help"});
    EXPECT_EQ(parsed.result, COMMAND_LINE_EXIT_ERROR);
    EXPECT_EQ(parsed.output, "unknown argument: '--colour'\n");

    Config upper;
    EXPECT_EQ(parse(upper, {"--HELP"}).output, "unknown argument: '--HELP'\n");
    Config bare;
    EXPECT_EQ(parse(bare, {"status"}).output, "unknown argument: 'status'\n");
}

TEST(CommandLineModes, CheckAndImportForceInteractiveButKeepSilent) {
    Config check;
    ASSERT_EQ(parse(check, {"--daemon", "--check"}).result, COMMAND_LINE_RUN);
    EXPECT_EQ(check.daemon, 0);
    EXPECT_EQ(check.silent, 1);

    Config import;
    ASSERT_EQ(parse(import, {"--daemon", "--import=-"}).result, COMMAND_LINE_RUN);
    EXPECT_EQ(import.daemon, 0);
    EXPECT_EQ(import.import_path, "-");

    Config daemon;
    ASSERT_EQ(parse(daemon, {"--daemon"}).result, COMMAND_LINE_RUN);
    EXPECT_EQ(daemon.daemon, 1);
    EXPECT_EQ(daemon.silent, 1);

    Config console;
    ASSERT_EQ(parse(console, {"--daemon", "--console"}).result, COMMAND_LINE_RUN);
    EXPECT_EQ(console.daemon, 0);
    EXPECT_EQ(console.silent, 1);
}

TEST(CommandLineModes, FlagsAreClearedAndDefaultsSetByEveryParse) {
    Config config;
    config.daemon = config.silent = config.status_mode = config.check = 1;
    config.check_types = config.upgrade_db = 1;
    config.keepdeleted = 7;
    ASSERT_EQ(parse(config, {}).result, COMMAND_LINE_RUN);
    EXPECT_EQ(config.daemon + config.silent + config.status_mode + config.check +
                  config.check_types + config.upgrade_db,
              0);
    EXPECT_EQ(config.keepdeleted, 1);
    EXPECT_EQ(config.checkdatabase, 1);
    EXPECT_EQ(config.deletelimit, UINT64_MAX);
    EXPECT_EQ(config.instrumenthashsize, 100000u);
    EXPECT_EQ(config.queuehashsize, 100000u);
    EXPECT_EQ(config.time_text_length, 15);
    EXPECT_EQ(config.map_name, kDefaultMapName);
    EXPECT_FALSE(config.config_path_given);
}

TEST(CommandLineModes, ErrorStopsBeforeLaterOptionsAreApplied) {
    Config config;
    Parsed parsed = parse(config, {"--bogus", "--status"});
    EXPECT_EQ(parsed.result, COMMAND_LINE_EXIT_ERROR);
    EXPECT_EQ(config.status_mode, 0);
}

// Feeds `keys` to standard input for the password prompt and captures what it prints.
std::string password_from(const std::string& keys, std::string* printed) {
    std::string path = ::testing::TempDir() + "zel-password-keys";
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(keys.data(), 1, keys.size(), file);
    std::fclose(file);
    EXPECT_NE(std::freopen(path.c_str(), "rb", stdin), nullptr);
    ::testing::internal::CaptureStdout();
    std::string password;
    read_password("Enter SQL password: ", &password);
    *printed = ::testing::internal::GetCapturedStdout();
    std::remove(path.c_str());
    return password;
}

TEST(PasswordEntry, KeepsEveryKeyUntilEnter) {
    std::string printed;
    EXPECT_EQ(password_from("pa ss\b\x7fw\rnext line\r", &printed), "pa ss\b\x7fw");
    EXPECT_EQ(printed, "Enter SQL password: \n");
    EXPECT_EQ(password_from("piped\nrest", &printed), "piped");
    EXPECT_EQ(password_from("no end of line", &printed), "no end of line");
}

TEST(PasswordEntry, EmptyEntryMeansNoPassword) {
    std::string printed;
    EXPECT_EQ(password_from("\r", &printed), "");
    EXPECT_EQ(password_from("", &printed), "");
}

TEST(PasswordEntry, StopsAfter511Characters) {
    std::string printed;
    std::string password = password_from(std::string(600, 'k') + "\r", &printed);
    EXPECT_EQ(password, std::string(511, 'k'));
}

}  // namespace
