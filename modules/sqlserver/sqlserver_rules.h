// sqlserver_rules.h - the SQL Server module's text and number rules: the connection
// string with its provider choice, the mapping of COM errors onto result codes, value
// texts, the column types in both directions and the quoting of literals.
//
// Pure functions over their arguments (the provider choice reads the registry through the
// function it is given), callable from any thread. The entry points in
// sqlserver_module.cpp call them; the unit tests call them directly too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "modules/sqlserver/ado_layer.h"
#include "zel_module.h"

namespace sqlserver {

// Whether a registry key under HKEY_LOCAL_MACHINE can be opened.
using KeyExists = bool (*)(const char* key_path);

// The newest installed provider, by the registry keys its setup leaves behind; "SQLOLEDB"
// (part of every Windows) when none is found.
const char* choose_provider(KeyExists key_exists);

// The connection string from the parameter block's server, database and credentials.
// key_exists is only asked when the server text names no provider.
std::string build_connection_string(const ZelModuleParams& params, KeyExists key_exists);

// The error code a failed connect or reconnect stores: the OLE DB error number for the
// provider's own range of HRESULTs, else -1.
int32_t connect_error_code(int32_t hresult);

// The server's error number of a deadlock victim.
constexpr int32_t kDeadlockVictim = 1205;
// Whether a failed call was the server choosing this transaction as a deadlock victim,
// by the native error number or, when the provider gave none, by its description.
bool is_deadlock(const AdoError& error, const std::string& text);

// The result code of a failed execute; `text` is the error text stored for it.
int32_t execute_result(const AdoError& error, const std::string& text);
// The status of a failed query: as execute, except that an integrity violation (which a
// query cannot cause) counts as any other error.
int32_t query_status(const AdoError& error, const std::string& text);

// The text of a query value: none for NULL, "%f" for float, currency and decimal values,
// the integer in decimal, other values as the layer converted them.
std::optional<std::string> value_text(const AdoValue& value);
// A description field as a number; false for NULL or a text that is not a number.
bool value_number(const AdoValue& value, int64_t* number);

// The table-definition type of an INFORMATION_SCHEMA.columns row.
std::string map_data_type(const std::string& data_type, std::optional<int64_t> max_length,
                          std::optional<int64_t> precision, std::optional<int64_t> scale);
// Its size text; none when the type has no size.
std::optional<std::string> map_size(std::optional<int64_t> max_length,
                                    std::optional<int64_t> precision,
                                    std::optional<int64_t> scale,
                                    std::optional<int64_t> datetime_precision);

// The column's type and nullability in this server's dialect ("numeric(20,0) NOT NULL").
// One function for both sides of the start-up comparison.
std::string render_column_type(const char* type, const char* size, bool nullable,
                               uint32_t server_version);

// The national string literal of a value cut to max_chars characters (0: no limit).
std::string quote_value(const char* value, uint64_t max_chars);

// UTF-8 to UTF-16. Invalid UTF-8 is refused rather than silently replaced: a statement
// that would reach the server altered is better not sent.
bool utf8_to_utf16(const char* text, std::u16string* out);

// Leading decimal number of a text ("15.0.2000.5" -> 15); 0 when it has none.
int64_t leading_number(const char* text);

}  // namespace sqlserver
