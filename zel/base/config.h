// config.h - Config, the one process-wide settings record.
//
// Filled by the command line (command_line.cpp) and the configuration file (config_file.cpp)
// on the main thread before any other thread starts; read without locks afterwards. The few
// members that change while the threads run say so and say what guards them.
//
// The leading part is the module parameter block of include/zel_module.h: Config derives
// from ZelModuleParams, so `module_params()` is the address handed to mod_create. Those
// texts are malloc'ed C strings owned by Config (the module keeps their addresses); the
// other texts are std::string, empty when the setting is absent (a configuration value is
// never empty: a key without a value is ignored).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "zel_module.h"

struct FieldDef;

struct Config : ZelModuleParams {
    Config();
    ~Config();
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    ZelModuleParams* module_params() { return this; }
    // Replaces one parameter-block text with a malloc'ed copy (nullptr clears it).
    static void set_param(char*& slot, const char* value);
    // Clears the whole parameter block to null and zero, freeing its texts.
    void clear_params();

    // Feed and program settings.
    std::string feed_server;
    std::string module_file;
    std::string feed_username;
    std::string feed_password;
    std::string insrefs;
    std::string facility;
    std::string syslog_host;
    std::string logsqlpath;
    std::string domain;
    std::string domain_user;
    std::string domain_password;

    // Command-line and run-time members.
    std::string domain_user_arg;
    // The logged-on account's token (platform/account.h); -1 when none. Written by the
    // start-up before the threads start, closed by the shutdown after they have ended.
    intptr_t logon_token = -1;
    std::string config_path;
    std::string tabledefinitions;
    std::string dbs_user;
    std::string import_path;
    std::string map_name;
    bool config_path_given = false;  // --config was on the command line
    bool dbs_user_given = false;
    bool domain_user_arg_given = false;
    bool import_given = false;

    // Filled while the table definitions are read.
    std::string reset_list_quotes;       // kind 2
    std::string reset_list_noii;         // kind 22
    std::string reset_list_greeks;       // kind 37
    std::string reset_list_quotes_bbo;   // kind 39
    std::vector<const FieldDef*> calc_keyratio_fields;  // kind-19 FieldDefs with calc set
    uint64_t tabledef_version = 0;
    // Written by the feed thread when the feed announces its template version, read by the
    // status-row writer of queue 2's database thread.
    std::atomic<uint64_t> feed_template_version{0};

    // Numeric settings.
    uint64_t deletelimit = 0;
    uint32_t instrumenthashsize = 0;
    uint32_t queuehashsize = 0;
    uint32_t maxdeletes = 0;
    int32_t reconnectinterval = 0;
    int32_t updateinterval = 0;
    int32_t keepdeleted = 0;
    int32_t transactions = 0;
    // 1: the database threads send their statements in batches when the module has the
    // batch entry point (statement_batch.h); 0: one statement at a time, waiting for each.
    int32_t pipeline = 1;
    int32_t time_text_length = 0;
    int32_t debug = 0;
    int32_t quoteexspecial = 0;
    int32_t aggtrades = 0;
    uint8_t checkdatabase = 0;
    uint8_t localtime = 0;
    int32_t syslog_port = 514;  // from an optional ":port" after the syslog host
    // Ceiling of the memory the queued updates may hold, in MiB (0: none); above it the
    // feed thread stops reading until the queues drain below three quarters of it.
    uint32_t queuememorylimit = 0;
    // Seconds a stop goes on writing what is queued before it ends the database threads
    // (0: they end after their current pass).
    int32_t stopdraintime = 0;

    // Flags.
    int32_t syslog_enabled = 0;
    int32_t status_mode = 0;
    int32_t daemon = 0;
    int32_t silent = 0;
    int32_t check = 0;
    int32_t check_types = 0;
    int32_t upgrade_db = 0;

    // Request switches, tri-state: 0 not requested, 1 requested because the table
    // definitions map the kind, -1 switched off by the configuration file.
    int32_t requestbasicdata = 0;
    int32_t requestquotes = 0;
    int32_t requestquotesbbo = 0;
    int32_t requestquoteex = 0;
    int32_t requestperformance = 0;
    int32_t requestorderbooks = 0;
    int32_t requestcorporateactions = 0;
    int32_t requestpricehistory = 0;
    int32_t requesttradestate = 0;
    int32_t requesttrades = 0;
    int32_t requestfundamentals = 0;
    int32_t requestkeyratios = 0;
    int32_t requestnoii = 0;
    int32_t requestestimates = 0;
    int32_t requestl10n = 0;
    int32_t requestnews = 0;
    int32_t requestci = 0;
    int32_t requestpriip = 0;
    int32_t requestmifid = 0;
    int32_t requestmappings = 0;
    int32_t requestgreeks = 0;
    int32_t requestmbo = 0;

    // A request switch counts as in force when the table definitions map its kinds and
    // the configuration did not switch it off.
    static bool in_force(int32_t flag) { return flag == 1; }
};

// One request switch: the configuration key, the classes it asks the feed for, and the
// message kinds of the table definitions that turn it on. Listed in the order in which
// the feed request names its classes.
struct RequestSwitch {
    const char* key;
    int32_t Config::*flag;
    const char* classes;        // class numbers separated by single blanks
    uint8_t kinds[3];           // message kinds that switch it on; 0 ends the list
};

// The 22 request switches in feed-request order.
extern const RequestSwitch kRequestSwitches[22];

// The process-wide record.
extern Config g_config;

// Program version, shown by --status, at start-up and in the client identification.
inline constexpr const char* kZelVersion = "0.9.55";
inline constexpr const char* kDefaultMapName = "Global\\Corvalinder Database Application Perfcounters";

// Defaults that the reading of the file sets before its lines (see docs/configuration.md).
inline constexpr uint32_t kDefaultQueueMemoryLimitMiB = 2048;
inline constexpr int32_t kDefaultStopDrainSeconds = 30;

// Sets the defaults that do not come from the file (run by the command-line stage).
void set_config_defaults(Config& config);
