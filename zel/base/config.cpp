// config.cpp - the Config record: its parameter-block texts, the request switch table and
// the defaults that the command-line stage sets.
//
// Everything here runs on the main thread before any other thread starts (see config.h).
#include "zel/base/config.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zel/base/message_kinds.h"

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
    {"requestbasicdata", &Config::requestbasicdata, "4", {KIND_BASIC_DATA}},
    {"requestquotes", &Config::requestquotes, "1", {KIND_QUOTE, KIND_DIFFERENCES}},
    {"requestquotesbbo", &Config::requestquotesbbo, "26", {KIND_QUOTE_BBO}},
    {"requestquoteex", &Config::requestquoteex, "27", {KIND_QUOTE_EX, KIND_DIFFERENCES}},
    {"requestperformance", &Config::requestperformance, "12", {KIND_PERFORMANCE, KIND_DIFFERENCES}},
    {"requestorderbooks",
     &Config::requestorderbooks,
     "3",
     {KIND_BID_LEVEL, KIND_ASK_LEVEL, KIND_ORDER_BOOK}},
    {"requestcorporateactions", &Config::requestcorporateactions, "9", {KIND_CORPORATE_ACTION}},
    {"requestpricehistory",
     &Config::requestpricehistory,
     "5",
     {KIND_PRICE_HISTORY, KIND_ADJUSTED_HISTORY}},
    {"requesttradestate", &Config::requesttradestate, "10", {KIND_BASIC_DATA}},
    {"requesttrades", &Config::requesttrades, "2", {KIND_TRADE}},
    {"requestfundamentals", &Config::requestfundamentals, "11", {KIND_FUNDAMENTALS}},
    {"requestkeyratios", &Config::requestkeyratios, "13", {KIND_KEY_RATIOS}},
    {"requestnoii", &Config::requestnoii, "16", {KIND_NOII}},
    {"requestestimates",
     &Config::requestestimates,
     "14 15",
     {KIND_ESTIMATES_20, KIND_ESTIMATES_21}},
    {"requestl10n", &Config::requestl10n, "17", {KIND_L10N}},
    {"requestnews", &Config::requestnews, "0 8", {KIND_NEWS}},
    {"requestci", &Config::requestci, "18 19", {KIND_CI_26, KIND_CI_27}},
    {"requestpriip", &Config::requestpriip, "20", {KIND_PRIIP}},
    {"requestmifid", &Config::requestmifid, "21 22", {KIND_MIFID_34, KIND_MIFID_35}},
    {"requestmappings", &Config::requestmappings, "23", {KIND_IDENTIFIER_LIST_KEYED}},
    {"requestgreeks", &Config::requestgreeks, "25", {KIND_GREEKS}},
    {"requestmbo", &Config::requestmbo, "24", {KIND_MBO}},
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
