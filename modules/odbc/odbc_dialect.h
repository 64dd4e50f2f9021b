/*
 * odbc_dialect.h - the ODBC module's text rules, kept apart from the driver manager.
 *
 * The module talks to whatever server stands behind the driver and adapts a few texts to it:
 * how a value is quoted, how a table-definition type is written as a column type, how the
 * driver's column description maps back to the table-definition vocabulary, which SQLSTATE
 * means which result code, and which driver options the connection string must carry. All
 * of it is a pure function of its arguments, called by the entry points on the connection's
 * own thread and by the unit tests directly. No state, no locks.
 */
#ifndef ZEL_ODBC_DIALECT_H
#define ZEL_ODBC_DIALECT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zel_odbc {

// The kinds of server the module tells apart; the numbers are the ones the module keeps.
enum ServerKind : int32_t {
    kind_mysql = 0,
    kind_sqlserver = 1,
    kind_postgresql = 2,
    kind_other = 3
};

struct ServerVersion {
    int32_t major = 0, minor = 0, patch = 0;
    bool known() const { return major != 0 || minor != 0 || patch != 0; }
    int32_t number() const { return major * 10000 + minor * 100 + patch; }
};

// The kind for the driver's DBMS name, compared without regard to case.
ServerKind kind_from_dbms_name(const char* dbms_name);

// Major, minor and patch read from the driver's DBMS version text ("10.11.000019" ->
// 10, 11, 19); parts that are missing stay 0.
ServerVersion parse_version(const char* version_text);

// The result code for a failed call with this five-character SQLSTATE.
int32_t classify_sqlstate(const char* sqlstate);

// SQLite's driver reports every failure as HY000 and tells them apart only by SQLite's own
// result code: a constraint (19) is what class 23 means elsewhere, a database that stayed
// locked (5, 6) is a transaction to run again. Other codes give -4.
int32_t classify_sqlite_failure(int32_t native_code);

// True for a server whose driver on this platform has no wide-character entry points and
// takes UTF-8 through the narrow ones (the driver manager would hand it Latin-1 otherwise).
bool driver_is_narrow(const char* dbms_name);

// True when texts for a server of this kind are better handed to its driver as UTF-8
// through the narrow calls, given the connection string: MySQL and MariaDB, whose
// Connector/ODBC converts every wide text with a character-set converter opened and closed
// for that one call (an iconv_open per statement), while its narrow calls take the text as
// it is in the connection's character set. So only while that character set is UTF-8: no
// CHARSET in the connection string (the Unicode driver's default, utf8mb4) or utf8/utf8mb4.
// The caller decides whether the driver manager hands narrow calls through unchanged.
bool narrow_calls_preferred(ServerKind kind, const std::string& connection_string);

// The connection string with CHARSET=utf8mb4 added when it names no character set.
std::string with_utf8_charset(const std::string& connection_string);

// Writes the quoted literal of n bytes of text for a server of this kind into out, which
// must hold 2n + 4 bytes (the most any kind needs), and returns its length without the
// terminating NUL.
size_t quote_value(ServerKind kind, const char* text, size_t n, char* out);

// The column type for a table-definition type in the server's dialect, UNSIGNED included
// where the server has it, without the nullability. add is true when the text adds a
// column, which SQL Server writes differently for varchar.
std::string column_type_text(ServerKind kind, const ServerVersion& version, const char* type,
                             const char* size, bool is_unsigned, bool add);

// A column as the driver describes it, mapped to the table-definition vocabulary.
struct DescribedColumn {
    std::string type;
    std::string size;  // empty: no size
    bool is_unsigned = false;
};

// type_name as the driver wrote it (any case); has_size/has_digits false for NULL values of
// COLUMN_SIZE and DECIMAL_DIGITS.
DescribedColumn describe_column(ServerKind kind, const char* type_name, bool has_size, int32_t size,
                                bool has_digits, int32_t digits);

// The connection string with the driver options this module relies on for a server of this
// kind: found rows and multi statements on MySQL and MariaDB (an UPDATE that writes the
// stored values counts the row as matched; a batch goes out as one text), statement-level
// rollback on PostgreSQL (one failing statement does not abort the transaction). Options the
// configuration already sets are kept as they are, except that the found-rows and
// multi-statements bits are added to a configured OPTION value.
std::string connection_string_for(ServerKind kind, const std::string& configured);

// Connector/ODBC's option bits: matched rather than changed rows, and several statements in
// one text.
constexpr unsigned long mysql_option_found_rows = 2;
constexpr unsigned long mysql_option_multi_statements = 67108864;

// True when text may be joined with others by ';' into one text for a MySQL or MariaDB
// server: it begins with INSERT, UPDATE, DELETE or REPLACE (statements that return no rows,
// which the driver sends to the server as they are), every string literal and quoted name in
// it is closed, and outside them it holds no ';' and no comment. The server then splits the
// joined text exactly at the joins, and answers one result per statement.
bool mysql_statement_joinable(const char* text);

}  // namespace zel_odbc

#endif  // ZEL_ODBC_DIALECT_H
