// sqlserver_rules.cpp - see sqlserver_rules.h. No state; no locks.
#include "modules/sqlserver/sqlserver_rules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modules/common/utf8_limit.h"

namespace sqlserver {

namespace {

struct ProviderKey {
    const char* key;
    const char* provider;
};

// Newest first: the first key that opens names the provider.
constexpr ProviderKey kProviders[] = {
    {"SOFTWARE\\Microsoft\\Microsoft SQL Server\\MSOLEDBSQL\\CurrentVersion", "MSOLEDBSQL"},
    {"SOFTWARE\\Microsoft\\Microsoft SQL Server\\SQLNCLI13\\CurrentVersion", "SQLNCLI13"},
    {"SOFTWARE\\Microsoft\\Microsoft SQL Server\\SQLNCLI12\\CurrentVersion", "SQLNCLI12"},
    {"SOFTWARE\\Microsoft\\Microsoft SQL Server\\SQLNCLI11\\CurrentVersion", "SQLNCLI11"},
    {"SOFTWARE\\Microsoft\\Microsoft SQL Server\\SQLNCLI10\\CurrentVersion", "SQLNCLI10"},
    {"SOFTWARE\\Microsoft\\Microsoft SQL Native Client\\CurrentVersion\\CurrentVersion", "SQLNCLI"},
};

bool contains(const char* text, const char* part) {
    return text && std::strstr(text, part) != nullptr;
}

const char* or_empty(const char* text) {
    return text ? text : "";
}

// HRESULTs that mean the session with the server is gone (or was never usable).
bool is_lost_connection(int32_t hresult) {
    switch (static_cast<uint32_t>(hresult)) {
    case 0x80004005u:  // E_FAIL: the provider's answer to a broken link
    case 0x80040E4Du:  // DB_SEC_E_AUTH_FAILED
    case 0x80040E69u:
    case 0x80040E74u:
    case 0x80040E75u:
    case 0x80040E97u:
        return true;
    default:
        return false;
    }
}

int32_t error_result(const AdoError& error, const std::string& text, bool integrity_fails) {
    // A deadlock victim's transaction has been rolled back by the server: the caller must
    // run the batch again, whatever HRESULT the provider wrapped the error in.
    if (is_deadlock(error, text)) return ZEL_RESULT_RERUN;
    if (integrity_fails && error.hresult == kHrIntegrity) return ZEL_RESULT_FAILED;
    if (is_lost_connection(error.hresult)) return ZEL_RESULT_LOST;
    // The server rejects commands while it shuts down; they fail as command errors.
    if (error.hresult == kHrErrorsInCommand && text.find("SHUTDOWN") != std::string::npos)
        return ZEL_RESULT_LOST;
    return ZEL_RESULT_REJECTED;
}

std::string format_int(int64_t number) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(number));
    return text;
}

// The size rule: "(size)" when a size is given and its leading number is not 0.
void append_size(std::string* out, const char* size) {
    if (size && *size && leading_number(size) != 0) {
        *out += '(';
        *out += size;
        *out += ')';
    }
}

}  // namespace

int64_t leading_number(const char* text) {
    if (!text) return 0;
    return std::strtoll(text, nullptr, 10);
}

const char* choose_provider(KeyExists key_exists) {
    for (const ProviderKey& entry : kProviders)
        if (key_exists(entry.key)) return entry.provider;
    return "SQLOLEDB";
}

std::string build_connection_string(const ZelModuleParams& params, KeyExists key_exists) {
    const char* server = or_empty(params.db_server);
    std::string text;
    if (!contains(server, "Provider=")) {
        text += "Provider=";
        text += choose_provider(key_exists);
        text += ';';
    }
    if (!contains(server, "Data Source=")) text += "Data Source=";
    text += server;
    if (text.empty() || text.back() != ';') text += ';';
    if (!contains(server, "Initial Catalog=")) {
        text += "Initial Catalog=";
        text += or_empty(params.dbname);
        text += ';';
    }
    if (params.db_username && params.db_password) {
        text += "uid=";
        text += params.db_username;
        text += ";pwd=";
        text += params.db_password;
        text += ';';
    } else {
        // Without both credentials the process's Windows identity logs on.
        text += "Trusted_Connection=Yes;";
    }
    return text;
}

int32_t connect_error_code(int32_t hresult) {
    uint32_t code = static_cast<uint32_t>(hresult);
    if (code >= 0x80040200u && code <= 0x8004FFFFu) return static_cast<int32_t>((code & 0xFFFFu) - 0x200u);
    return -1;
}

bool is_deadlock(const AdoError& error, const std::string& text) {
    if (error.native_error == kDeadlockVictim) return true;
    if (error.native_error != 0) return false;
    return text.find("deadlock victim") != std::string::npos ||
           text.find("deadlocked on") != std::string::npos;
}

int32_t execute_result(const AdoError& error, const std::string& text) {
    return error_result(error, text, true);
}

int32_t query_status(const AdoError& error, const std::string& text) {
    return error_result(error, text, false);
}

std::optional<std::string> value_text(const AdoValue& value) {
    switch (value.kind) {
    case AdoValue::Null:
        return std::nullopt;
    case AdoValue::Float:
    case AdoValue::Currency:
    case AdoValue::Decimal: {
        // "%f" of a large double can run to 300+ digits: size the text by what it needs.
        int length = std::snprintf(nullptr, 0, "%f", value.number);
        std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
        std::snprintf(text.data(), text.size() + 1, "%f", value.number);
        return text;
    }
    case AdoValue::Integer:
        return format_int(value.integer);
    case AdoValue::Text:
        return value.text;
    }
    return std::nullopt;
}

bool value_number(const AdoValue& value, int64_t* number) {
    switch (value.kind) {
    case AdoValue::Integer:
        *number = value.integer;
        return true;
    case AdoValue::Float:
    case AdoValue::Currency:
    case AdoValue::Decimal:
        *number = static_cast<int64_t>(value.number);
        return true;
    case AdoValue::Text: {
        char* end = nullptr;
        long long parsed = std::strtoll(value.text.c_str(), &end, 10);
        if (end == value.text.c_str()) return false;
        *number = parsed;
        return true;
    }
    case AdoValue::Null:
        break;
    }
    return false;
}

std::string map_data_type(const std::string& data_type, std::optional<int64_t> max_length,
                          std::optional<int64_t> precision, std::optional<int64_t> scale) {
    if (data_type == "float") return "double";
    if (data_type == "text" || data_type == "ntext") return "mediumtext";
    if (data_type == "nchar") return "char";
    // varchar(max) and nvarchar(max) report the length -1.
    if ((data_type == "nvarchar" || data_type == "varchar") && max_length && *max_length == -1)
        return "mediumtext";
    if (data_type == "nvarchar") return "varchar";
    if (data_type == "numeric") {
        // Wide integers are written as numeric(20,0) on this server (no unsigned types).
        if (precision && *precision >= 10 && *precision <= 20 && scale && *scale == 0)
            return "bigint";
        return "decimal";
    }
    return data_type;
}

std::optional<std::string> map_size(std::optional<int64_t> max_length,
                                    std::optional<int64_t> precision,
                                    std::optional<int64_t> scale,
                                    std::optional<int64_t> datetime_precision) {
    if (precision) {
        if (scale) return format_int(*precision) + "," + format_int(*scale);
        return format_int(*precision);
    }
    if (max_length && *max_length != -1) return format_int(*max_length);
    if (datetime_precision) return format_int(*datetime_precision);
    return std::nullopt;
}

std::string render_column_type(const char* type, const char* size, bool nullable,
                               uint32_t server_version) {
    std::string kind = or_empty(type);
    bool has_size = size && *size;
    std::string out;
    if (kind == "double") {
        out = "float";
        append_size(&out, size);
    } else if (kind == "date") {
        // date and time arrived with server version 10; older servers keep them as text.
        out = server_version >= 10 ? "date" : "char(10)";
        append_size(&out, size);
    } else if (kind == "time") {
        out = server_version >= 10 ? "time" : "char(8)";
        append_size(&out, size);
    } else if (kind == "longtext" || kind == "mediumtext" || kind == "text") {
        out = "varchar(max)";
    } else if (kind == "bigint") {
        // Unsigned 64-bit values need 20 digits: bigint would overflow.
        out = "numeric";
        if (!has_size)
            out += "(20,0)";
        else if (!std::strchr(size, ','))
            out += std::string("(") + size + ",0)";
        else
            append_size(&out, size);
    } else if (kind == "decimal" || kind == "numeric") {
        if (has_size) {
            int64_t digits = leading_number(size);
            const char* comma = std::strchr(size, ',');
            int64_t decimals = comma ? leading_number(comma + 1) : 0;
            if (digits > 38) digits = 38;
            if (decimals > 38) decimals = 38;
            out = "numeric(" + format_int(digits) + "," + format_int(decimals) + ")";
        } else {
            out = "numeric";
        }
    } else {
        out = kind;
        append_size(&out, size);
    }
    out += nullable ? " NULL" : " NOT NULL";
    return out;
}

std::string quote_value(const char* value, uint64_t max_chars) {
    size_t length = std::strlen(value);
    size_t keep = zel_utf8_limit(value, length, max_chars, nullptr);
    std::string out;
    out.reserve(2 * keep + 4);
    out += "N'";
    for (size_t i = 0; i < keep; ++i) {
        if (value[i] == '\'') out += '\'';
        out += value[i];
    }
    out += '\'';
    return out;
}

bool utf8_to_utf16(const char* text, std::u16string* out) {
    out->clear();
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        uint32_t code;
        int extra;
        if (*p < 0x80) {
            code = *p;
            extra = 0;
        } else if ((*p & 0xE0) == 0xC0) {
            code = *p & 0x1F;
            extra = 1;
        } else if ((*p & 0xF0) == 0xE0) {
            code = *p & 0x0F;
            extra = 2;
        } else if ((*p & 0xF8) == 0xF0) {
            code = *p & 0x07;
            extra = 3;
        } else {
            return false;
        }
        ++p;
        for (int i = 0; i < extra; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) return false;
            code = (code << 6) | (*p & 0x3F);
        }
        // Overlong forms, surrogates and values past the last code point are not UTF-8.
        static constexpr uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(code));
        }
    }
    return true;
}

}  // namespace sqlserver
