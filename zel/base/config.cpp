// config.cpp - the Config record: its parameter-block texts, the request switch table and
// the defaults that the command-line stage sets.
//
// Everything here runs on the main thread before any other thread starts (see config.h).
#include "zel/base/config.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

Config g_config;

Config::Config() : ZelModuleParams{}, map_name(kDefaultMapName) {
    answer_timeout = 30;
}

Config::~Config() {
    clear_params();
}

void Config::set_param(char*& slot, const char* value) {
    std::free(slot);
    slot = value ? strdup(value) : nullptr;
}

void Config::clear_params() {
    char** texts[] = {&db_username, &db_password,      &dbname,    &db_server,
                      &db_port,     &connectionstring, &ssl_key,   &ssl_cert,
                      &ssl_ca,      &ssl_capath,       &ssl_cipher};
    for (char** text : texts)
        set_param(*text, nullptr);
    server_version = 0;
    use_transactions = 0;
    answer_timeout = 30;
}

// The order is the order of the classes in the feed request; the class numbers belong to
// the feed server.
const RequestSwitch kRequestSwitches[22] = {
    {"requestbasicdata", &Config::requestbasicdata, "4", {6}},
    {"requestquotes", &Config::requestquotes, "1", {2, 254}},
    {"requestquotesbbo", &Config::requestquotesbbo, "26", {39}},
    {"requestquoteex", &Config::requestquoteex, "27", {40, 254}},
    {"requestperformance", &Config::requestperformance, "12", {18, 254}},
    {"requestorderbooks", &Config::requestorderbooks, "3", {14, 15, 251}},
    {"requestcorporateactions", &Config::requestcorporateactions, "9", {11}},
    {"requestpricehistory", &Config::requestpricehistory, "5", {4, 252}},
    {"requesttradestate", &Config::requesttradestate, "10", {6}},
    {"requesttrades", &Config::requesttrades, "2", {1}},
    {"requestfundamentals", &Config::requestfundamentals, "11", {16}},
    {"requestkeyratios", &Config::requestkeyratios, "13", {19}},
    {"requestnoii", &Config::requestnoii, "16", {22}},
    {"requestestimates", &Config::requestestimates, "14 15", {20, 21}},
    {"requestl10n", &Config::requestl10n, "17", {32}},
    {"requestnews", &Config::requestnews, "0 8", {13}},
    {"requestci", &Config::requestci, "18 19", {26, 27}},
    {"requestpriip", &Config::requestpriip, "20", {33}},
    {"requestmifid", &Config::requestmifid, "21 22", {34, 35}},
    {"requestmappings", &Config::requestmappings, "23", {248}},
    {"requestgreeks", &Config::requestgreeks, "25", {37}},
    {"requestmbo", &Config::requestmbo, "24", {38}},
};

void set_config_defaults(Config& config) {
    config.keepdeleted = 1;
    config.checkdatabase = 1;
    config.deletelimit = UINT64_MAX;
    config.instrumenthashsize = 100000;
    config.queuehashsize = 100000;
    config.time_text_length = 15;
    if (config.map_name.empty()) config.map_name = kDefaultMapName;
}
