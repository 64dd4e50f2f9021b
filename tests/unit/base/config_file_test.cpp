// The configuration file: line syntax, sections, every kind of key, $NAME values, the
// request switches, and where the file is found (current directory, then the registry).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "zel/base/config.h"
#include "zel/base/config_file.h"
#include "zel/base/log.h"

namespace fs = std::filesystem;

namespace {

// Each test starts from a Config as the program starts with.
void reset_config() {
    g_config.~Config();
    new (&g_config) Config();
}

// Each test works in a directory of its own, with g_config freshly defaulted as the
// command-line stage leaves it, and records what is logged.
class ConfigFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = fs::temp_directory_path() /
                     ("zel-config-" +
                      std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(directory_);
        fs::create_directories(directory_);
        previous_ = fs::current_path();
        fs::current_path(directory_);
        reset_config();
        set_config_defaults(g_config);
        g_config.silent = 1;
        log_set_observer(
            [](int level, const char* text, void* context) {
                static_cast<ConfigFileTest*>(context)->logged_.emplace_back(level, text);
            },
            this);
    }
    void TearDown() override {
        log_set_observer(nullptr, nullptr);
        fs::current_path(previous_);
        fs::remove_all(directory_);
        unsetenv("ZEL_REGISTRY");
    }
    std::string write(const std::string& name, const std::string& text) {
        std::ofstream(directory_ / name, std::ios::binary) << text;
        return (directory_ / name).string();
    }
    int read(const std::string& text) {
        g_config.config_path = write("test.config", text);
        return read_config_file();
    }

    fs::path directory_;
    fs::path previous_;
    std::vector<std::pair<int, std::string>> logged_;
};

TEST_F(ConfigFileTest, ReadsEveryKeyOfEverySection) {
    ASSERT_EQ(read("Corvalinder\n"
                   "username feeduser\n"
                   "password feedpw\n"
                   "server feed1:7000,feed2:7000\n"
                   "reconnectinterval 5\n"
                   "instrumenthashsize 2048\n"
                   "queuehashsize 512\n"
                   "insrefs 1 2 3\n"
                   "Database\n"
                   "instance ./dbdrv_pgsql.so\n"
                   "updateinterval 3\n"
                   "server db.example\n"
                   "port 5433\n"
                   "username dbuser\n"
                   "password dbpw\n"
                   "connectionstring host=x dbname=y\n"
                   "dbname marketdata\n"
                   "ssl_key k.pem\n"
                   "ssl_cert c.pem\n"
                   "ssl_ca ca.pem\n"
                   "ssl_capath /certs\n"
                   "ssl_cipher HIGH\n"
                   "domainuser svc\n"
                   "domainpassword svcpw\n"
                   "domain CORP\n"
                   "keepdeleted 0\n"
                   "checkdatabase 0\n"
                   "localtime 1\n"
                   "deletelimit 123456789012\n"
                   "maxdeletes 50\n"
                   "transactions 100\n"
                   "aggtrades 1\n"
                   "quoteexspecial 2\n"
                   "Application\n"
                   "tabledefinitions zel.tabledef\n"
                   "Log\n"
                   "logsqlpath sqllog\n"
                   "facility LOG_LOCAL0\n"
                   "host 10.1.2.3:5514\n"
                   "debug 1\n"),
              1);
    const Config& c = g_config;
    EXPECT_EQ(c.feed_username, "feeduser");
    EXPECT_EQ(c.feed_password, "feedpw");
    EXPECT_EQ(c.feed_server, "feed1:7000,feed2:7000");
    EXPECT_EQ(c.reconnectinterval, 5);
    EXPECT_EQ(c.instrumenthashsize, 2048u);
    EXPECT_EQ(c.queuehashsize, 512u);
    EXPECT_EQ(c.insrefs, "1 2 3");
    EXPECT_EQ(c.module_file, "./dbdrv_pgsql.so");
    EXPECT_EQ(c.updateinterval, 3);
    EXPECT_STREQ(c.db_server, "db.example");
    EXPECT_STREQ(c.db_port, "5433");
    EXPECT_STREQ(c.db_username, "dbuser");
    EXPECT_STREQ(c.db_password, "dbpw");
    EXPECT_STREQ(c.connectionstring, "host=x dbname=y");
    EXPECT_STREQ(c.dbname, "marketdata");
    EXPECT_STREQ(c.ssl_key, "k.pem");
    EXPECT_STREQ(c.ssl_cert, "c.pem");
    EXPECT_STREQ(c.ssl_ca, "ca.pem");
    EXPECT_STREQ(c.ssl_capath, "/certs");
    EXPECT_STREQ(c.ssl_cipher, "HIGH");
    EXPECT_EQ(c.domain_user, "svc");
    EXPECT_EQ(c.domain_password, "svcpw");
    EXPECT_EQ(c.domain, "CORP");
    EXPECT_EQ(c.keepdeleted, 0);
    EXPECT_EQ(c.checkdatabase, 0);
    EXPECT_EQ(c.localtime, 1);
    EXPECT_EQ(c.deletelimit, 123456789012u);
    EXPECT_EQ(c.maxdeletes, 50u);
    EXPECT_EQ(c.transactions, 100);
    EXPECT_EQ(c.aggtrades, 1);
    EXPECT_EQ(c.quoteexspecial, 2);
    EXPECT_EQ(c.tabledefinitions, "zel.tabledef");
    EXPECT_EQ(c.logsqlpath, "sqllog/");
    EXPECT_EQ(c.facility, "LOG_LOCAL0");
    EXPECT_EQ(c.syslog_host, "10.1.2.3:5514");  // split by the syslog set-up
    EXPECT_EQ(c.debug, 1);
}

TEST_F(ConfigFileTest, DefaultsOfTheReadItself) {
    g_config.maxdeletes = 7;
    ASSERT_EQ(read("# nothing but a comment\n"), 1);
    EXPECT_EQ(g_config.insrefs, "*");
    EXPECT_EQ(g_config.maxdeletes, 10000u);
    EXPECT_EQ(g_config.time_text_length, 15);
    EXPECT_EQ(g_config.keepdeleted, 1);
    EXPECT_EQ(g_config.checkdatabase, 1);
    EXPECT_EQ(g_config.deletelimit, UINT64_MAX);
}

TEST_F(ConfigFileTest, SectionLinesMatchTheWholeTextIgnoringCase) {
    ASSERT_EQ(read("dbname before-any-section\n"
                   "DATABASE\n"
                   "dbname upper\n"
                   "[Log]\n"
                   "dbname bracketed-keeps-database\n"
                   "Log \n"
                   "dbname trailing-blank-is-no-section\n"
                   "  application\n"
                   "dbname not-an-application-key\n"
                   "tabledefinitions defs.xml\n"),
              1);
    EXPECT_STREQ(g_config.dbname, "trailing-blank-is-no-section");
    EXPECT_EQ(g_config.tabledefinitions, "defs.xml");
}

TEST_F(ConfigFileTest, KeysBelongToTheirOwnSectionOnly) {
    ASSERT_EQ(read("Log\n"
                   "dbname wrong-section\n"
                   "tabledefinitions wrong-section\n"
                   "Corvalinder\n"
                   "server feed-host\n"
                   "Database\n"
                   "server db-host\n"
                   "facility wrong-section\n"
                   "Instance upper-case-key-is-unknown\n"),
              1);
    EXPECT_EQ(g_config.dbname, nullptr);
    EXPECT_TRUE(g_config.tabledefinitions.empty());
    EXPECT_EQ(g_config.feed_server, "feed-host");
    EXPECT_STREQ(g_config.db_server, "db-host");
    EXPECT_TRUE(g_config.facility.empty());
    EXPECT_TRUE(g_config.module_file.empty());
}

TEST_F(ConfigFileTest, ValuesRunToTheEndOfTheLineExactly) {
    ASSERT_EQ(read("Database\r\n"
                   "\t  password \t p@ss word  \r\n"
                   "username\n"
                   "dbname   \n"
                   "server a\rb\n"
                   "connectionstring x # not a comment\n"
                   "port 1\n"
                   "port 2\n"),
              1);
    EXPECT_STREQ(g_config.db_password, "p@ss word  ");
    EXPECT_EQ(g_config.db_username, nullptr);  // key without a value
    EXPECT_EQ(g_config.dbname, nullptr);       // only blanks after the key
    EXPECT_STREQ(g_config.db_server, "a");     // cut at the carriage return
    EXPECT_STREQ(g_config.connectionstring, "x # not a comment");
    EXPECT_STREQ(g_config.db_port, "2");  // the later line wins
}

TEST_F(ConfigFileTest, DollarValuesReadTheEnvironment) {
    setenv("ZEL_TEST_SECRET", "from-environment", 1);
    unsetenv("ZEL_TEST_UNSET");
    ASSERT_EQ(read("Database\n"
                   "password $ZEL_TEST_SECRET\n"
                   "username $ZEL_TEST_UNSET\n"
                   "dbname $\n"
                   "server x$ZEL_TEST_SECRET\n"),
              1);
    EXPECT_STREQ(g_config.db_password, "from-environment");
    EXPECT_STREQ(g_config.db_username, "$ZEL_TEST_UNSET");
    EXPECT_STREQ(g_config.dbname, "$");
    EXPECT_STREQ(g_config.db_server, "x$ZEL_TEST_SECRET");
    unsetenv("ZEL_TEST_SECRET");
}

TEST_F(ConfigFileTest, RequestSwitchesCanOnlyBeSwitchedOff) {
    g_config.requesttrades = 1;  // as if already turned on
    ASSERT_EQ(read("Corvalinder\n"
                   "requestnews 0\n"
                   "requestquotes 1\n"
                   "requestmbo 00\n"
                   "requesttrades 0\n"
                   "requestgreeks 0 \n"),
              1);
    EXPECT_EQ(g_config.requestnews, -1);
    EXPECT_EQ(g_config.requestquotes, 0);
    EXPECT_EQ(g_config.requestmbo, 0);  // not exactly "0"
    EXPECT_EQ(g_config.requesttrades, -1);
    EXPECT_EQ(g_config.requestgreeks, 0);  // "0 " is not exactly "0"
    for (const RequestSwitch& request : kRequestSwitches) {
        g_config.*request.flag = 0;
    }
    std::string all = "Corvalinder\n";
    for (const RequestSwitch& request : kRequestSwitches)
        all += std::string(request.key) + " 0\n";
    ASSERT_EQ(read(all), 1);
    for (const RequestSwitch& request : kRequestSwitches)
        EXPECT_EQ(g_config.*request.flag, -1) << request.key;
}

TEST_F(ConfigFileTest, NumbersStopAtTheFirstNonDigit) {
    ASSERT_EQ(read("Corvalinder\n"
                   "reconnectinterval 12abc\n"
                   "instrumenthashsize many\n"
                   "queuehashsize -5\n"
                   "Database\n"
                   "checkdatabase 257\n"
                   "localtime 256\n"
                   "updateinterval 99999999999\n"
                   "deletelimit -1\n"),
              1);
    EXPECT_EQ(g_config.reconnectinterval, 12);
    EXPECT_EQ(g_config.instrumenthashsize, 0u);
    EXPECT_EQ(g_config.queuehashsize, 0u);  // a negative size is no size
    EXPECT_EQ(g_config.checkdatabase, 1);   // low eight bits
    EXPECT_EQ(g_config.localtime, 0);
    EXPECT_EQ(g_config.updateinterval, INT32_MAX);
    EXPECT_EQ(g_config.deletelimit, UINT64_MAX);
}

TEST_F(ConfigFileTest, TimeTextLength) {
    const std::pair<const char*, int> cases[] = {{"truncatetime 2", 12},
                                                 {"ignoremillisec 1", 8},
                                                 {"truncatetime 3", 15},
                                                 {"ignoremillisec 0", 15}};
    for (const auto& [line, length] : cases) {
        g_config.time_text_length = 0;
        ASSERT_EQ(read(std::string("Database\n") + line + "\n"), 1);
        EXPECT_EQ(g_config.time_text_length, length) << line;
    }
}

TEST_F(ConfigFileTest, SqlLogDirectoryGetsOneSeparator) {
    ASSERT_EQ(read("Log\nlogsqlpath /var/log/zel\n"), 1);
    EXPECT_EQ(g_config.logsqlpath, "/var/log/zel/");
    ASSERT_EQ(read("Log\nlogsqlpath /var/log/zel/\n"), 1);
    EXPECT_EQ(g_config.logsqlpath, "/var/log/zel/");
}

TEST_F(ConfigFileTest, EveryReadStartsWithAnEmptyParameterBlock) {
    ASSERT_EQ(read("Database\ndbname first\nport 1\n"), 1);
    g_config.server_version = 150000;
    g_config.use_transactions = 1;
    ASSERT_EQ(read("Database\ndbname second\n"), 1);
    EXPECT_STREQ(g_config.dbname, "second");
    EXPECT_EQ(g_config.db_port, nullptr);
    EXPECT_EQ(g_config.server_version, 0u);
    EXPECT_EQ(g_config.use_transactions, 0u);
}

TEST_F(ConfigFileTest, LongLinesAreReadInPiecesOf1023) {
    // The second piece of an overlong line starts at character 1024 and reads as a line.
    std::string comment = "#" + std::string(1022, 'x');
    ASSERT_EQ(read("Database\n" + comment + "dbname from-second-piece\n"), 1);
    EXPECT_STREQ(g_config.dbname, "from-second-piece");
}

TEST_F(ConfigFileTest, SplitConfigLine) {
    char line[] = "key \t value with  blanks ";
    char* key;
    char* value;
    ASSERT_EQ(split_config_line(line, &key, &value), 1);
    EXPECT_STREQ(key, "key");
    EXPECT_STREQ(value, "value with  blanks ");
    char bare[] = "key";
    EXPECT_EQ(split_config_line(bare, &key, &value), 0);
    char blank[] = "key \t ";
    EXPECT_EQ(split_config_line(blank, &key, &value), 0);
}

TEST_F(ConfigFileTest, UnopenableFileLeavesConfigAlone) {
    Config::set_param(g_config.dbname, "kept");
    g_config.config_path = (directory_ / "missing.config").string();
    EXPECT_EQ(read_config_file(), -1);
    EXPECT_STREQ(g_config.dbname, "kept");
}

TEST_F(ConfigFileTest, DirectoryIsNoConfigurationFile) {
    fs::create_directories(directory_ / "zel.config");
    g_config.config_path_given = true;
    g_config.config_path = (directory_ / "zel.config").string();
    EXPECT_EQ(load_configuration(), -1);
    ASSERT_EQ(logged_.size(), 1u);
    EXPECT_EQ(logged_[0].second, "Could not open config file '" + g_config.config_path + "'");
}

TEST_F(ConfigFileTest, GivenNameIsUsedUnchangedAndItsAbsenceIsLogged) {
    write("zel.config", "Database\ndbname from-current-directory\n");
    g_config.config_path = "elsewhere.config";
    g_config.config_path_given = true;
    EXPECT_EQ(load_configuration(), -1);
    ASSERT_EQ(logged_.size(), 1u);
    EXPECT_EQ(logged_[0].first, LOG_LEVEL_ERROR);
    EXPECT_EQ(logged_[0].second, "Could not open config file 'elsewhere.config'");
    EXPECT_EQ(g_config.dbname, nullptr);
}

TEST_F(ConfigFileTest, CurrentDirectoryComesFirst) {
    write("zel.config", "Database\ndbname from-current-directory\n");
    setenv("ZEL_REGISTRY",
           write("registry", "[HKLM\\Software\\Corvalinder\\ZEL]\nInstall Directory=/nowhere\n")
               .c_str(),
           1);
    EXPECT_EQ(load_configuration(), 1);
    EXPECT_EQ(g_config.config_path, "zel.config");
    EXPECT_STREQ(g_config.dbname, "from-current-directory");
}

TEST_F(ConfigFileTest, RegistryInstallDirectoryIsTheSecondPlace) {
    fs::create_directories(directory_ / "install" / "ZEL");
    write("install/ZEL/zel.config", "Database\ndbname from-install-directory\n");
    setenv("ZEL_REGISTRY",
           write("registry", "[hklm\\SOFTWARE\\corvalinder\\zel]\ninstall directory=" +
                                 (directory_ / "install").string() + "\n")
               .c_str(),
           1);
    EXPECT_EQ(load_configuration(), 1);
    EXPECT_EQ(g_config.config_path, (directory_ / "install" / "ZEL" / "zel.config").string());
    EXPECT_STREQ(g_config.dbname, "from-install-directory");
}

TEST_F(ConfigFileTest, RegistryFallsBackToTheWow6432NodeKey) {
    setenv("ZEL_REGISTRY",
           write("registry",
                 "[HKLM\\Software\\Wow6432Node\\Corvalinder\\ZEL]\nInstall Directory=/opt/x\n")
               .c_str(),
           1);
    EXPECT_EQ(registry_config_path(), "/opt/x/ZEL/zel.config");
    // The directory is taken as written, trailing separator and all.
    setenv("ZEL_REGISTRY",
           write("registry", "[HKLM\\Software\\Corvalinder\\ZEL]\nInstall Directory=/opt/y/\n")
               .c_str(),
           1);
    EXPECT_EQ(registry_config_path(), "/opt/y//ZEL/zel.config");
}

TEST_F(ConfigFileTest, WithoutRegistryTheNameIsZelConfigAgain) {
    setenv("ZEL_REGISTRY", (directory_ / "no-registry").string().c_str(), 1);
    EXPECT_EQ(load_configuration(), -1);
    EXPECT_EQ(g_config.config_path, "zel.config");
    ASSERT_FALSE(logged_.empty());
    EXPECT_EQ(logged_.back().second, "Could not open config file 'zel.config'");
}

}  // namespace
