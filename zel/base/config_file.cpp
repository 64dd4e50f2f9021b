// config_file.cpp - reading the configuration file into g_config.
//
// Runs on the main thread before the other threads exist, so it writes g_config freely.
// The file is small and read once (twice when the first place has no file); nothing here
// is on a hot path.
#include "zel/base/config_file.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/registry.h"
#include "zel/base/config.h"
#include "zel/base/log.h"

namespace {

enum Section {
    SECTION_NONE,
    SECTION_CORVALINDER,
    SECTION_DATABASE,
    SECTION_APPLICATION,
    SECTION_LOG
};

constexpr const char* kSectionNames[] = {"Corvalinder", "Database", "Application", "Log"};
constexpr const char* kInstallKeys[] = {"Software\\Corvalinder\\ZEL",
                                        "Software\\Wow6432Node\\Corvalinder\\ZEL"};

// Decimal conversion that stops at the first non-digit (a text that is no number reads as
// 0), saturated to the member's range instead of wrapping.
int32_t to_int32(const char* value) {
    long long number = std::strtoll(value, nullptr, 10);
    if (number > INT32_MAX) return INT32_MAX;
    if (number < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(number);
}

// Unsigned sizes and limits: a negative number reads as 0 rather than as a huge size.
uint32_t to_uint32(const char* value) {
    long long number = std::strtoll(value, nullptr, 10);
    if (number < 0) return 0;
    if (number > static_cast<long long>(UINT32_MAX)) return UINT32_MAX;
    return static_cast<uint32_t>(number);
}

// 0/1 settings keep the low 8 bits of the number written.
uint8_t to_byte(const char* value) {
    return static_cast<uint8_t>(to_int32(value));
}

int time_text_length_for(const char* value) {
    switch (to_int32(value)) {
        case 1:
            return 8;
        case 2:
            return 12;
        default:
            return 15;
    }
}

void apply_corvalinder(Config& config, const char* key, const char* value) {
    if (std::strcmp(key, "username") == 0) {
        config.feed_username = value;
    } else if (std::strcmp(key, "password") == 0) {
        config.feed_password = value;
    } else if (std::strcmp(key, "server") == 0) {
        config.feed_server = value;
    } else if (std::strcmp(key, "reconnectinterval") == 0) {
        config.reconnectinterval = to_int32(value);
    } else if (std::strcmp(key, "instrumenthashsize") == 0) {
        config.instrumenthashsize = to_uint32(value);
    } else if (std::strcmp(key, "queuehashsize") == 0) {
        config.queuehashsize = to_uint32(value);
    } else if (std::strcmp(key, "insrefs") == 0) {
        config.insrefs = value;
    } else {
        // The file can only switch a request off; the table definitions switch it on.
        for (const RequestSwitch& request : kRequestSwitches) {
            if (std::strcmp(key, request.key) == 0) {
                if (std::strcmp(value, "0") == 0) config.*request.flag = -1;
                break;
            }
        }
    }
}

void apply_database(Config& config, const char* key, const char* value) {
    struct Text {
        const char* key;
        char* Config::*slot;
    };
    static const Text kParams[] = {
        {"server", &Config::db_server},
        {"port", &Config::db_port},
        {"username", &Config::db_username},
        {"password", &Config::db_password},
        {"connectionstring", &Config::connectionstring},
        {"dbname", &Config::dbname},
        {"ssl_key", &Config::ssl_key},
        {"ssl_cert", &Config::ssl_cert},
        {"ssl_ca", &Config::ssl_ca},
        {"ssl_capath", &Config::ssl_capath},
        {"ssl_cipher", &Config::ssl_cipher},
    };
    for (const Text& param : kParams) {
        if (std::strcmp(key, param.key) == 0) {
            Config::set_param(config.*param.slot, value);
            return;
        }
    }
    if (std::strcmp(key, "instance") == 0) {
        config.module_file = value;
    } else if (std::strcmp(key, "updateinterval") == 0) {
        // A negative interval would put an item's due time before its queue time.
        config.updateinterval = std::max<int32_t>(0, to_int32(value));
    } else if (std::strcmp(key, "queuememorylimit") == 0) {
        config.queuememorylimit = to_uint32(value);
    } else if (std::strcmp(key, "stopdraintime") == 0) {
        config.stopdraintime = std::max<int32_t>(0, to_int32(value));
    } else if (std::strcmp(key, "domainuser") == 0) {
        config.domain_user = value;
    } else if (std::strcmp(key, "domainpassword") == 0) {
        config.domain_password = value;
    } else if (std::strcmp(key, "domain") == 0) {
        config.domain = value;
    } else if (std::strcmp(key, "keepdeleted") == 0) {
        config.keepdeleted = to_int32(value);
    } else if (std::strcmp(key, "checkdatabase") == 0) {
        config.checkdatabase = to_byte(value);
    } else if (std::strcmp(key, "localtime") == 0) {
        config.localtime = to_byte(value);
    } else if (std::strcmp(key, "deletelimit") == 0) {
        // Unsigned 64-bit conversion: "-1" is the all-ones "no limit", as the default.
        config.deletelimit = std::strtoull(value, nullptr, 10);
    } else if (std::strcmp(key, "maxdeletes") == 0) {
        config.maxdeletes = to_uint32(value);
    } else if (std::strcmp(key, "answertimeout") == 0) {
        config.answer_timeout = to_uint32(value);
    } else if (std::strcmp(key, "transactions") == 0) {
        config.transactions = static_cast<int32_t>(std::min<uint32_t>(to_uint32(value), INT32_MAX));
    } else if (std::strcmp(key, "pipeline") == 0) {
        config.pipeline = to_int32(value) != 0 ? 1 : 0;
    } else if (std::strcmp(key, "aggtrades") == 0) {
        config.aggtrades = to_int32(value);
    } else if (std::strcmp(key, "quoteexspecial") == 0) {
        config.quoteexspecial = to_int32(value);
    } else if (std::strcmp(key, "ignoremillisec") == 0 || std::strcmp(key, "truncatetime") == 0) {
        config.time_text_length = time_text_length_for(value);
    }
}

void apply_application(Config& config, const char* key, const char* value) {
    if (std::strcmp(key, "tabledefinitions") == 0) config.tabledefinitions = value;
}

void apply_log(Config& config, const char* key, const char* value) {
    if (std::strcmp(key, "logsqlpath") == 0) {
        config.logsqlpath = value;
        // The file names are appended to the directory as they are.
        if (config.logsqlpath.back() != kPathSeparator) config.logsqlpath += kPathSeparator;
    } else if (std::strcmp(key, "facility") == 0) {
        config.facility = value;
    } else if (std::strcmp(key, "host") == 0) {
        config.syslog_host = value;
    } else if (std::strcmp(key, "debug") == 0) {
        config.debug = to_int32(value);
    }
}

// Whole-text comparison without regard to ASCII case.
bool same_text_ignoring_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

Section section_of(const char* text) {
    for (int i = 0; i < 4; ++i)
        if (same_text_ignoring_case(text, kSectionNames[i])) return static_cast<Section>(i + 1);
    return SECTION_NONE;
}

}  // namespace

int split_config_line(char* line, char** key, char** value) {
    *key = line;
    char* end = line;
    while (*end && !std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (!*end) return 0;
    *end++ = '\0';
    while (*end && std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (!*end) return 0;
    *value = end;
    return 1;
}

int read_config_file() {
    Config& config = g_config;
    FILE* file = std::fopen(config.config_path.c_str(), "r");
    if (!file) return -1;
    config.clear_params();
    config.maxdeletes = 10000;
    config.queuememorylimit = kDefaultQueueMemoryLimitMiB;
    config.stopdraintime = kDefaultStopDrainSeconds;
    Section section = SECTION_NONE;
    char buffer[1024];
    // A line longer than the buffer arrives as several pieces; each is read as a line.
    while (std::fgets(buffer, sizeof buffer, file)) {
        buffer[std::strcspn(buffer, "\n")] = '\0';
        buffer[std::strcspn(buffer, "\r")] = '\0';
        char* line = buffer;
        while (*line && std::isspace(static_cast<unsigned char>(*line)))
            ++line;
        if (!*line || *line == '#') continue;
        if (Section named = section_of(line); named != SECTION_NONE) {
            section = named;
            continue;
        }
        char* key;
        char* value;
        if (section == SECTION_NONE || !split_config_line(line, &key, &value)) continue;
        if (value[0] == '$') {
            // An unset variable leaves the text as written, "$" included.
            if (const char* variable = std::getenv(value + 1)) value = const_cast<char*>(variable);
        }
        // An environment variable may be set but empty; a key without a value is ignored.
        if (!*value) continue;
        switch (section) {
            case SECTION_CORVALINDER:
                apply_corvalinder(config, key, value);
                break;
            case SECTION_DATABASE:
                apply_database(config, key, value);
                break;
            case SECTION_APPLICATION:
                apply_application(config, key, value);
                break;
            case SECTION_LOG:
                apply_log(config, key, value);
                break;
            case SECTION_NONE:
                break;
        }
    }
    // A name that opens but cannot be read (a directory, an I/O error) is no configuration:
    // running on with what was read so far would run with settings nobody wrote.
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return -1;
    if (config.insrefs.empty()) config.insrefs = "*";
    return 1;
}

int read_registry_string(const char* key_path, const char* value_name, char** out) {
    return platform_registry_read_string(key_path, value_name, out);
}

std::string registry_config_path() {
    for (const char* key : kInstallKeys) {
        char* directory = nullptr;
        if (read_registry_string(key, "Install Directory", &directory) > 0) {
            // Appended as it is, without looking for a trailing separator.
            std::string path =
                std::string(directory) + kPathSeparator + "ZEL" + kPathSeparator + "zel.config";
            std::free(directory);
            return path;
        }
    }
    return "zel.config";
}

int load_configuration() {
    Config& config = g_config;
    if (!config.config_path_given) {
        config.config_path = "zel.config";
        if (read_config_file() == 1) return 1;
        config.config_path = registry_config_path();
    }
    if (read_config_file() == 1) return 1;
    log_message(LOG_LEVEL_ERROR, "Could not open config file '%s'", config.config_path.c_str());
    return -1;
}
