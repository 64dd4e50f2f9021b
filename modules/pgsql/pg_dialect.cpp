/*
 * pg_dialect.cpp - the PostgreSQL module's text rules (see pg_dialect.h).
 *
 * Called by the module's entry points on the thread that owns the connection, and by the
 * unit tests. Pure functions: no state, no locks.
 */
#include "modules/pgsql/pg_dialect.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zel_pg {

namespace {

bool is_set(const char* text) {
    return text != nullptr && *text != '\0';
}

// libpq reads a quoted value up to the next unescaped quote; a quote or backslash inside a
// password or a path must be escaped, or the value would end early and the rest would be
// read as further keywords.
void append_keyword(std::string& out, const char* keyword, const char* value) {
    if (!is_set(value)) return;
    out += keyword;
    out += "='";
    for (const char* p = value; *p; ++p) {
        if (*p == '\'' || *p == '\\') out += '\\';
        out += *p;
    }
    out += "' ";
}

// A comma-separated list (hosts, ports) with the blanks around each element dropped:
// "db1, db2" in a configuration file means the hosts db1 and db2, while libpq would take
// " db2" as a host name of its own and fail to resolve it.
void append_list_keyword(std::string& out, const char* keyword, const char* value) {
    if (!is_set(value)) return;
    std::string list;
    const char* p = value;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        const char* end = p;
        while (*end != '\0' && *end != ',') ++end;
        const char* last = end;
        while (last > p && (last[-1] == ' ' || last[-1] == '\t')) --last;
        list.append(p, last);
        if (*end == '\0') break;
        list += ',';
        p = end + 1;
    }
    append_keyword(out, keyword, list.c_str());
}

// The size rule: "(size)" unless there is no size or its leading number is 0.
void append_size(std::string& out, const char* size) {
    if (!is_set(size) || std::strtol(size, nullptr, 10) == 0) return;
    out += '(';
    out += size;
    out += ')';
}

bool equals(const char* a, const char* b) {
    return a != nullptr && std::strcmp(a, b) == 0;
}

bool sqlstate_class(const char* sqlstate, const char* cls) {
    return sqlstate[0] == cls[0] && sqlstate[0] != '\0' && sqlstate[1] == cls[1];
}

}  // namespace

// 10 s for a connect; a silent link is noticed after about a minute (30 s idle, then 3
// probes 10 s apart), and data the server does not acknowledge for 60 s ends the connection.
// zel only writes, so a server that takes no writes (a standby, a demoted primary) is of no
// use to it: libpq passes over such a server to the next host of the list, and with a
// single host the connect fails with that reason and the reconnect loop tries again.
const ConnectSetting kConnectDefaults[] = {
    {"connect_timeout", "10"},
    {"keepalives", "1"},
    {"keepalives_idle", "30"},
    {"keepalives_interval", "10"},
    {"keepalives_count", "3"},
    {"tcp_user_timeout", "60000"},
    {"target_session_attrs", "read-write"},
};
const size_t kConnectDefaultCount = sizeof kConnectDefaults / sizeof kConnectDefaults[0];

int64_t connect_timeout_ms(const char* value) {
    if (!is_set(value)) return 0;
    char* end = nullptr;
    long seconds = std::strtol(value, &end, 10);
    if (end == value || seconds <= 0) return 0;
    if (seconds < 2) seconds = 2;
    if (seconds > 86400) seconds = 86400;
    return static_cast<int64_t>(seconds) * 1000;
}

std::string conninfo_problem(const char* libpq_message) {
    struct Phrase {
        const char* words;
        const char* said;
    };
    static const Phrase kPhrases[] = {
        {"unterminated quoted string", "a quoted value is not closed"},
        {"missing \"=\"", "a word is not followed by \"=\""},
        {"invalid connection option", "it names a setting libpq does not know"},
        {"invalid URI", "it is not a valid URI"},
        {"in URI", "it is not a valid URI"},
        {"invalid percent-encoded", "it holds an invalid percent-encoded character"},
        {"out of memory", "out of memory"},
    };
    if (libpq_message != nullptr) {
        for (const Phrase& phrase : kPhrases) {
            if (std::strstr(libpq_message, phrase.words) != nullptr) return phrase.said;
        }
    }
    return "libpq cannot read it";
}

namespace {

// The elements of a comma-separated libpq list, as libpq splits it (no blanks dropped).
std::vector<std::string> split_list(const char* value) {
    std::vector<std::string> out;
    if (value == nullptr) return out;
    const char* p = value;
    for (;;) {
        const char* end = std::strchr(p, ',');
        if (end == nullptr) {
            out.emplace_back(p);
            return out;
        }
        out.emplace_back(p, end);
        p = end + 1;
    }
}

}  // namespace

std::vector<HostAttempt> host_attempts(const char* host, const char* hostaddr, const char* port) {
    const std::vector<std::string> hosts = split_list(host);
    const std::vector<std::string> addrs = split_list(hostaddr);
    const std::vector<std::string> ports = split_list(port);
    const size_t count = std::max(hosts.size(), addrs.size());
    if (count <= 1) return {};
    if ((!hosts.empty() && hosts.size() != count) || (!addrs.empty() && addrs.size() != count) ||
        (ports.size() > 1 && ports.size() != count))
        return {};
    std::vector<HostAttempt> out(count);
    for (size_t i = 0; i < count; ++i) {
        HostAttempt& one = out[i];
        if (!hosts.empty()) one.host = hosts[i];
        if (!addrs.empty()) one.hostaddr = addrs[i];
        if (!ports.empty()) one.port = ports.size() == 1 ? ports[0] : ports[i];
        one.label = !one.host.empty() ? one.host : !one.hostaddr.empty() ? one.hostaddr : "default host";
        if (!one.port.empty()) one.label += ":" + one.port;
    }
    return out;
}

std::string build_conninfo(const ZelModuleParams& params) {
    std::string out;
    append_list_keyword(out, "host", params.db_server);
    append_list_keyword(out, "port", params.db_port);
    append_keyword(out, "dbname", params.dbname);
    append_keyword(out, "user", params.db_username);
    append_keyword(out, "password", params.db_password);
    append_keyword(out, "sslkey", params.ssl_key);
    append_keyword(out, "sslcert", params.ssl_cert);
    append_keyword(out, "sslrootcert", params.ssl_ca);
    return out;
}

void append_pg_type(std::string& out, const char* type, const char* size) {
    if (equals(type, "bigint")) {
        // Unsigned 64-bit values do not fit PostgreSQL's bigint, so the vocabulary's bigint
        // is a numeric wide enough for them.
        if (!is_set(size)) {
            out += "numeric(20,0)";
        } else if (std::strchr(size, ',') != nullptr) {
            out += "numeric";
            append_size(out, size);
        } else {
            out += "numeric(";
            out += size;
            out += ",0)";
        }
        return;
    }
    if (equals(type, "time")) {
        out += "time without time zone";
        return;
    }
    if (equals(type, "datetime")) {
        // A datetime carries a date; a time column would silently drop it.
        out += "timestamp without time zone";
        return;
    }
    if (equals(type, "double"))
        out += "double precision";
    else if (equals(type, "decimal"))
        out += "numeric";
    else if (equals(type, "char"))
        out += "character";
    else if (equals(type, "varchar"))
        out += "character varying";
    else if (equals(type, "mediumtext"))
        out += "text";
    else if (equals(type, "int"))
        out += "integer";
    else if (type != nullptr)
        out += type;
    append_size(out, size);
}

const char* vocabulary_type(const char* data_type, const char* numeric_precision,
                            const char* numeric_scale) {
    if (data_type == nullptr) return "";
    if (equals(data_type, "time without time zone")) return "time";
    if (equals(data_type, "timestamp without time zone")) return "datetime";
    if (equals(data_type, "text")) return "mediumtext";
    if (equals(data_type, "character varying")) return "varchar";
    if (equals(data_type, "character")) return "char";
    if (equals(data_type, "double precision")) return "double";
    if (equals(data_type, "numeric")) {
        long precision =
            is_set(numeric_precision) ? std::strtol(numeric_precision, nullptr, 10) : 0;
        if (precision >= 10 && precision <= 20 && equals(numeric_scale, "0")) return "bigint";
        return "decimal";
    }
    if (equals(data_type, "integer")) return "int";
    return data_type;
}

std::string column_size(const char* character_maximum_length, const char* numeric_precision,
                        const char* numeric_scale) {
    if (is_set(character_maximum_length)) return character_maximum_length;
    if (!is_set(numeric_precision)) return {};
    std::string size = numeric_precision;
    if (is_set(numeric_scale)) {
        size += ',';
        size += numeric_scale;
    }
    return size;
}

int32_t sqlstate_code(const char* sqlstate) {
    if (sqlstate == nullptr) return 0;
    int32_t code = 0;
    for (const char* p = sqlstate; *p >= '0' && *p <= '9' && code < 100000000; ++p)
        code = code * 10 + (*p - '0');
    return code;
}

int32_t classify_failure(Origin origin, const char* sqlstate, bool connection_ok) {
    const int32_t unknown = connection_ok ? ZEL_RESULT_REJECTED : ZEL_RESULT_LOST;
    if (sqlstate == nullptr || sqlstate[0] == '\0') {
        if (origin == Origin::execute) return connection_ok ? ZEL_RESULT_FAILED : ZEL_RESULT_LOST;
        return unknown;
    }
    if (sqlstate_class(sqlstate, "08")) return ZEL_RESULT_LOST;
    // A read-only transaction refusing a write: the server is a standby, or a primary that
    // was demoted under the open connection. A rerun on the same connection fails the same
    // way for ever; a new connection lets the host list find the writable server.
    if (std::strcmp(sqlstate, "25006") == 0) return ZEL_RESULT_LOST;
    if (sqlstate_class(sqlstate, "22")) return ZEL_RESULT_REJECTED;
    if (sqlstate_class(sqlstate, "23"))
        // A query that breaks a constraint is reported as rejected, not as a failed row.
        return origin == Origin::execute ? ZEL_RESULT_FAILED : ZEL_RESULT_REJECTED;
    if (sqlstate_class(sqlstate, "25") || sqlstate_class(sqlstate, "40")) return ZEL_RESULT_RERUN;
    if (std::strcmp(sqlstate, "57014") == 0 || std::strcmp(sqlstate, "55P03") == 0 ||
        sqlstate_class(sqlstate, "53"))
        return ZEL_RESULT_RERUN;
    if (sqlstate_class(sqlstate, "42")) return ZEL_RESULT_REJECTED;
    return unknown;
}

std::string version_text(int version) {
    char text[64];
    long v = version;
    std::snprintf(text, sizeof text, "%ld.%ld.%ld", v / 10000, v / 100 % 100, v % 100);
    return text;
}

}  // namespace zel_pg
