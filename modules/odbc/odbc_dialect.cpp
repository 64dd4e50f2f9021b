/*
 * odbc_dialect.cpp - the ODBC module's text rules (see odbc_dialect.h).
 *
 * Called by the module's entry points on the thread that owns the connection, and by the
 * unit tests. Pure functions: no state, no locks.
 */
#include "modules/odbc/odbc_dialect.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zel_odbc {

namespace {

bool is_set(const char* text) {
    return text != nullptr && *text != '\0';
}

bool same(const char* a, const char* b) {
    return a != nullptr && std::strcmp(a, b) == 0;
}

int lower(int c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

bool equal_nocase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (lower(static_cast<unsigned char>(*a)) != lower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

bool same_nocase(const std::string& a, const char* b) {
    return equal_nocase(a.c_str(), b);
}

// The size rule: "(size)" unless there is no size or its leading number is 0.
void append_size(std::string& out, const char* size) {
    if (!is_set(size) || std::strtol(size, nullptr, 10) == 0) return;
    out += '(';
    out += size;
    out += ')';
}

// bigint is stored as a 20-digit numeric where the server has no unsigned 64-bit type.
void append_bigint_size(std::string& out, const char* size) {
    if (!is_set(size)) {
        out += "(20,0)";
    } else if (std::strchr(size, ',') == nullptr) {
        out += '(';
        out += size;
        out += ",0)";
    } else {
        append_size(out, size);
    }
}

void append_sqlserver_type(std::string& out, const ServerVersion& version, const char* type,
                           const char* size, bool add) {
    if (same(type, "double")) {
        out += "[float]";
        append_size(out, size);
    } else if (same(type, "date")) {
        out += version.major < 10 ? "[char](10)" : "[date]";
        append_size(out, size);
    } else if (same(type, "time")) {
        if (version.major <= 9) {
            out += "[char](8)";
        } else {
            out += "[time]";
            append_size(out, size);
        }
    } else if (same(type, "longtext") || same(type, "mediumtext") || same(type, "text")) {
        out += "[nvarchar](max)";
    } else if (same(type, "varchar") && add) {
        out += "[nvarchar]";
        append_size(out, size);
    } else if (same(type, "bigint")) {
        out += "[numeric]";
        append_bigint_size(out, size);
    } else if (same(type, "decimal") || same(type, "numeric")) {
        out += "[numeric]";
        if (is_set(size)) {
            long precision = std::strtol(size, nullptr, 10);
            const char* comma = std::strchr(size, ',');
            long scale = comma != nullptr ? std::strtol(comma + 1, nullptr, 10) : 0;
            if (precision > 38) precision = 38;
            if (scale > 38) scale = 38;
            char text[48];
            std::snprintf(text, sizeof text, "(%ld,%ld)", precision, scale);
            out += text;
        }
    } else {
        out += '[';
        out += type;
        out += ']';
        append_size(out, size);
    }
}

void append_postgresql_type(std::string& out, const char* type, const char* size) {
    static const struct {
        const char* from;
        const char* to;
    } names[] = {{"mediumtext", "text"}, {"time", "time without time zone"},
                 {"int", "integer"},     {"double", "double precision"},
                 {"char", "character"},  {"varchar", "character varying"},
                 // A datetime carries a date; a time column would silently drop it.
                 {"datetime", "timestamp without time zone"}};
    if (same(type, "bigint")) {
        out += "numeric";
        append_bigint_size(out, size);
        return;
    }
    const char* written = type;
    for (const auto& name : names)
        if (same(type, name.from)) written = name.to;
    out += written;
    append_size(out, size);
}

// One key=value pair of an ODBC connection string, with where it lies in the text.
struct Attribute {
    std::string key;
    size_t value_start = 0, value_end = 0;
};

// Finds key (any case) among the connection string's attributes. Values in braces may hold
// semicolons, so the walk follows the braces rather than splitting the text.
bool find_attribute(const std::string& text, const char* key, Attribute* found) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eq = text.find('=', pos);
        if (eq == std::string::npos) return false;
        Attribute attr;
        attr.key = text.substr(pos, eq - pos);
        while (!attr.key.empty() && attr.key.front() == ' ')
            attr.key.erase(0, 1);
        while (!attr.key.empty() && attr.key.back() == ' ')
            attr.key.pop_back();
        size_t end = eq + 1;
        if (end < text.size() && text[end] == '{') {
            size_t close = text.find('}', end);
            end = close == std::string::npos ? text.size() : close + 1;
        }
        end = text.find(';', end);
        if (end == std::string::npos) end = text.size();
        attr.value_start = eq + 1;
        attr.value_end = end;
        if (same_nocase(attr.key, key)) {
            *found = attr;
            return true;
        }
        pos = end + 1;
    }
    return false;
}

void append_attribute(std::string& text, const char* attribute) {
    if (!text.empty() && text.back() != ';') text += ';';
    text += attribute;
}

}  // namespace

ServerKind kind_from_dbms_name(const char* dbms_name) {
    if (dbms_name == nullptr) return kind_other;
    if (equal_nocase(dbms_name, "MySQL") || equal_nocase(dbms_name, "MariaDB")) return kind_mysql;
    if (equal_nocase(dbms_name, "Microsoft SQL Server")) return kind_sqlserver;
    if (equal_nocase(dbms_name, "PostgreSQL")) return kind_postgresql;
    return kind_other;
}

ServerVersion parse_version(const char* version_text) {
    ServerVersion version;
    if (is_set(version_text))
        std::sscanf(version_text, "%d.%d.%d", &version.major, &version.minor, &version.patch);
    return version;
}

int32_t classify_sqlstate(const char* sqlstate) {
    if (sqlstate == nullptr) return -4;
    auto in_class = [&](const char* cls) {
        return sqlstate[0] == cls[0] && sqlstate[0] != '\0' && sqlstate[1] == cls[1];
    };
    if (in_class("08")) return -2;
    if (in_class("23")) return -1;
    if (in_class("25") || in_class("40")) return -3;
    if (std::strncmp(sqlstate, "XA100", 5) == 0 || std::strncmp(sqlstate, "XA102", 5) == 0 ||
        std::strncmp(sqlstate, "XA106", 5) == 0)
        return -3;
    if (std::strncmp(sqlstate, "HYT00", 5) == 0) return -2;
    return -4;
}

int32_t classify_sqlite_failure(int32_t native_code) {
    switch (native_code & 0xFF) {  // the primary code; extended codes keep it in the low byte
        case 19:
            return -1;
        case 5:
        case 6:
            return -3;
        default:
            return -4;
    }
}

bool driver_is_narrow(const char* dbms_name) {
    return dbms_name != nullptr && equal_nocase(dbms_name, "SQLite");
}

bool narrow_calls_preferred(ServerKind kind, const std::string& connection_string) {
    if (kind != kind_mysql) return false;
    Attribute attr;
    if (!find_attribute(connection_string, "CHARSET", &attr)) return true;
    std::string charset =
        connection_string.substr(attr.value_start, attr.value_end - attr.value_start);
    while (!charset.empty() && charset.back() == ' ')
        charset.pop_back();
    while (!charset.empty() && charset.front() == ' ')
        charset.erase(0, 1);
    return same_nocase(charset, "utf8mb4") || same_nocase(charset, "utf8") ||
           same_nocase(charset, "utf8mb3");
}

std::string with_utf8_charset(const std::string& connection_string) {
    std::string text = connection_string;
    Attribute attr;
    if (!find_attribute(text, "CHARSET", &attr)) append_attribute(text, "CHARSET=utf8mb4;");
    return text;
}

size_t quote_value(ServerKind kind, const char* text, size_t n, char* out) {
    size_t pos = 0;
    if (kind == kind_sqlserver) out[pos++] = 'N';
    if (kind == kind_postgresql) out[pos++] = 'E';
    out[pos++] = '\'';
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (kind == kind_mysql) {
            // Only what a string literal needs. '%' and '_' are special in LIKE patterns
            // alone; in a literal "\%" stays two characters, so escaping them would store
            // a backslash that was never in the value.
            const char* escape = nullptr;
            switch (c) {
                case '\b':
                    escape = "\\b";
                    break;
                case '\t':
                    escape = "\\t";
                    break;
                case '\n':
                    escape = "\\n";
                    break;
                case '\r':
                    escape = "\\r";
                    break;
                case '\x1a':
                    escape = "\\Z";
                    break;
                case '"':
                    escape = "\\\"";
                    break;
                case '\'':
                    escape = "\\'";
                    break;
                case '\\':
                    escape = "\\\\";
                    break;
                default:
                    break;
            }
            if (escape != nullptr) {
                out[pos++] = escape[0];
                out[pos++] = escape[1];
                continue;
            }
        } else if (c == '\'' || (kind == kind_postgresql && c == '\\')) {
            out[pos++] = c;
        }
        out[pos++] = c;
    }
    out[pos++] = '\'';
    out[pos] = '\0';
    return pos;
}

std::string column_type_text(ServerKind kind, const ServerVersion& version, const char* type,
                             const char* size, bool is_unsigned, bool add) {
    std::string out;
    if (type == nullptr) type = "";
    switch (kind) {
        case kind_sqlserver:
            append_sqlserver_type(out, version, type, size, add);
            break;
        case kind_mysql:
            out += type;
            if (!(same(type, "time") && version.number() <= 50603)) append_size(out, size);
            if (is_unsigned) out += " UNSIGNED";
            break;
        case kind_postgresql:
            append_postgresql_type(out, type, size);
            break;
        default:
            out += type;
            append_size(out, size);
            break;
    }
    return out;
}

DescribedColumn describe_column(ServerKind kind, const char* type_name, bool has_size, int32_t size,
                                bool has_digits, int32_t digits) {
    DescribedColumn column;
    column.type = type_name != nullptr ? type_name : "";
    for (char& c : column.type)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    std::string& type = column.type;
    bool named = true;  // a rule of the server's kind gave the type its name

    // A driver that hands back the declared type as written ("decimal(18,4)", as SQLite's
    // does) knows the size only from there; its size and digits columns are guesses.
    std::string declared_size;
    const size_t open = type.find('(');
    if (open != std::string::npos) {
        const size_t close = type.find(')', open);
        for (size_t i = open + 1; i < (close == std::string::npos ? type.size() : close); ++i)
            if (type[i] != ' ') declared_size += type[i];
        std::string rest = close == std::string::npos ? "" : type.substr(close + 1);
        type.erase(open);
        while (!type.empty() && type.back() == ' ')
            type.pop_back();
        type += rest;
    }

    switch (kind) {
        case kind_sqlserver:
            if (type == "text" || type == "ntext") {
                type = "mediumtext";
                has_size = has_digits = false;
            } else if (type == "nchar") {
                type = "char";
            } else if (type == "nvarchar" || type == "varchar") {
                if (!has_size || size == 0 || size > 65535) {
                    type = "mediumtext";
                    has_size = has_digits = false;
                } else {
                    type = "varchar";
                }
            } else if (type == "numeric") {
                if (has_size && size >= 10 && size <= 20) {
                    if (has_digits && digits != 0) {
                        type = "decimal";
                    } else {
                        type = "bigint";
                        has_digits = false;
                    }
                } else {
                    type = "decimal";
                }
            } else if (type == "time") {
                size = has_digits ? digits : 0;
                has_size = true;
                has_digits = false;
            } else {
                named = false;
            }
            break;
        case kind_mysql: {
            const size_t cut = type.find(" unsigned");
            if (cut != std::string::npos) {
                type.erase(cut);
                column.is_unsigned = true;
            }
            // A plain "decimal" is signed: only the " unsigned" in the type name says
            // otherwise, or the check would ask to change every decimal column for ever.
            if (type == "time") {
                size = 6;
                has_size = true;
                has_digits = false;
            } else if (type == "bigint") {
                has_size = has_digits = false;
            } else {
                named = type == "decimal";
            }
            break;
        }
        case kind_postgresql:
            if (type == "bpchar") {
                type = "char";
            } else if (type == "numeric") {
                if (has_size && size > 20) {
                    type = "decimal";
                } else if (has_digits && digits != 0) {
                    type = "decimal";
                } else {
                    type = "bigint";
                    has_digits = false;
                }
            } else if (type == "text") {
                has_size = has_digits = false;
            } else if (type == "int4") {
                type = "int";
            } else if (type == "int2") {
                type = "smallint";
            } else if (type == "float8") {
                type = "double";
                has_size = has_digits = false;
            } else if (type == "time") {
                size = has_digits ? digits : 0;
                has_size = true;
                has_digits = false;
            } else if (type == "timestamp") {
                // The driver's short name for what the server and its own module call
                // "timestamp without time zone"; the precision is the server's default.
                type = "timestamp without time zone";
                has_size = has_digits = false;
            } else {
                named = false;
            }
            break;
        default:
            named = false;
            break;
    }
    if (!named) {
        if (type == "float" || type == "double") {
            type = "double";
            has_size = has_digits = false;
        } else if (type == "integer") {
            type = "int";
        }
    }

    if (!declared_size.empty()) {
        column.size = declared_size;
    } else if (has_size) {
        char text[48];
        if (has_digits)
            std::snprintf(text, sizeof text, "%d,%d", static_cast<int>(size),
                          static_cast<int>(digits));
        else
            std::snprintf(text, sizeof text, "%d", static_cast<int>(size));
        column.size = text;
    }
    return column;
}

std::string connection_string_for(ServerKind kind, const std::string& configured) {
    std::string text = configured;
    Attribute attr;
    if (kind == kind_mysql) {
        const unsigned long wanted = mysql_option_found_rows | mysql_option_multi_statements;
        if (find_attribute(text, "OPTION", &attr)) {
            std::string value = text.substr(attr.value_start, attr.value_end - attr.value_start);
            unsigned long flags = std::strtoul(value.c_str(), nullptr, 10);
            if ((flags & wanted) != wanted)
                text.replace(attr.value_start, attr.value_end - attr.value_start,
                             std::to_string(flags | wanted));
        } else {
            append_attribute(text, ("OPTION=" + std::to_string(wanted) + ";").c_str());
        }
    } else if (kind == kind_postgresql) {
        // psqlODBC's rollback level 2: the driver sets a savepoint before each statement of
        // a transaction and returns to it when the statement fails. Its short key is A1.
        if (!find_attribute(text, "Protocol", &attr) && !find_attribute(text, "A1", &attr))
            append_attribute(text, "Protocol=7.4-2;");
    }
    return text;
}

bool mysql_statement_joinable(const char* text) {
    if (text == nullptr) return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
        ++p;
    size_t word = 0;
    while ((p[word] >= 'A' && p[word] <= 'Z') || (p[word] >= 'a' && p[word] <= 'z'))
        ++word;
    const std::string first(p, word);
    if (!same_nocase(first, "INSERT") && !same_nocase(first, "UPDATE") &&
        !same_nocase(first, "DELETE") && !same_nocase(first, "REPLACE"))
        return false;
    if (p[word] == '_' || (p[word] >= '0' && p[word] <= '9') ||
        static_cast<unsigned char>(p[word]) >= 0x80)
        return false;  // a longer name that only begins with the word
    // The server's own reading of the text: backslash escapes inside '...' and "...",
    // none inside `...`; a doubled quote closes and reopens, which needs no case of its own.
    char quote = '\0';
    for (p += word; *p != '\0'; ++p) {
        const char c = *p;
        if (quote != '\0') {
            if (c == '\\' && quote != '`') {
                if (p[1] == '\0') return false;
                ++p;
            } else if (c == quote) {
                quote = '\0';
            }
            continue;
        }
        if (c == '\'' || c == '"' || c == '`') {
            quote = c;
        } else if (c == ';' || c == '#' || (c == '-' && p[1] == '-') || (c == '/' && p[1] == '*')) {
            // A separator of its own would shift every answer after it; a comment could hide
            // the ';' that joins the next statement. Such a statement is sent alone.
            return false;
        }
    }
    return quote == '\0';
}

}  // namespace zel_odbc
