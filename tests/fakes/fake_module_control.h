// fake_module_control.h - the test side of the recording database module (zel_fake_module).
//
// zel_fake_module is a real shared library that exports the 19 mod_ entry points, so a
// test loads it through the program's own loader (load_module with ZEL_FAKE_MODULE_PATH)
// and the code under test calls it through g_module exactly as it calls a real module.
// The test links the same library directly (target zel_fake_module) and steers it with the
// fake_ functions below; the loader's dlopen of the file finds the copy already in the
// process, so both sides share one state.
//
// What it records: every entry-point call, in the order the calls happened, with the
// number of the connection (1, 2, ... in mod_create order since the last fake_reset; 0
// for a null or unknown handle or a call without one), the text the call carried
// (statement, query, value, or the statement mod_add_column would run), and the result.
//
// What it answers (in this order of precedence):
//   1. A connection that was lost answers every mod_executesql and mod_querysql with
//      ZEL_RESULT_LOST until mod_reconnect succeeds.
//   2. Call-number rules (fake_on_call): the n-th statement (mod_executesql or
//      mod_querysql) of a connection, or of all connections together with connection 0.
//   3. Statement rules (fake_on_statement), first added first tried: substring, exact or
//      regular-expression match of the text; each rule applies `times` times (-1: always).
//      They apply to mod_executesql, mod_querysql and mod_add_column in modes 0 and 1.
//   4. Defaults: mod_executesql returns fake_set_default_rows (1); mod_querysql returns no
//      rows with status 0; mod_add_column succeeds.
// A FakeResult with lose_connection makes the call return ZEL_RESULT_LOST and sets the
// connection's status byte to 1 (unless a stop, 2, was requested); mod_reconnect then
// fails fake_fail_reconnects attempts before it succeeds, pausing fake_set_reconnect_wait_ms
// between attempts, and gives up once the status byte is 2 (mod_set_status).
//
// mod_add_value quotes like a plain SQL server: the value cut by zel_utf8_limit, in single
// quotes, inner quotes doubled. mod_add_column renders "type(size) [UNSIGNED ]NULL" or
// "... NOT NULL" in mode 2 and records "ALTER TABLE t ADD c <rendering>" (mode 0) or
// "ALTER TABLE t MODIFY c <rendering>" (mode 1).
//
// Threads: every function here and every entry point may be called from any thread at
// once (one lock inside; the status bytes are atomics and never wait for it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zel_module.h"

#if defined(_WIN32)
#define FAKE_EXPORT __declspec(dllexport)
#else
#define FAKE_EXPORT __attribute__((visibility("default")))
#endif

// One recorded call.
struct FakeCall {
    std::string entry;   // "mod_executesql", "mod_create", ...
    int connection = 0;  // 1.. in mod_create order; 0 for none
    std::string text;    // statement, query, value, add_column statement or rendering
    int64_t result = 0;  // the value returned; pointers: 1 non-null, 0 null; void calls: 0
};

enum class FakeMatch { Substring, Exact, Regex };

// A scripted answer.
struct FakeResult {
    // mod_executesql: rows affected (0 or more) or a ZEL_RESULT_ code. mod_querysql: the
    // status (a positive value reads as 0). mod_add_column: negative fails the call.
    int32_t code = 1;
    bool lose_connection = false;
    // mod_querysql rows, each with the same number of values; nullopt is SQL NULL.
    std::vector<std::vector<std::optional<std::string>>> rows;
    // The connection's error text and code after a failing answer.
    std::string error_text = "fake statement error";
    int32_t error_code = 0;
    // Pause before answering, without holding the fake's lock.
    int delay_ms = 0;
};

// One column of the database description that mod_get_databaseinfo returns.
struct FakeColumn {
    std::string table;
    std::string column;
    std::string type;
    std::optional<std::string> size;
    int32_t nullable = 1;
    int32_t is_unsigned = 0;
};

// Forgets calls, rules, connections and settings; back to the defaults above. Handles of
// earlier connections must not be used afterwards.
FAKE_EXPORT void fake_reset();
// Forgets the recorded calls only.
FAKE_EXPORT void fake_clear_calls();

FAKE_EXPORT void fake_on_statement(const std::string& pattern, const FakeResult& result,
                                   int times = -1, FakeMatch match = FakeMatch::Substring,
                                   int connection = 0);
FAKE_EXPORT void fake_on_call(int connection, uint64_t number, const FakeResult& result);
FAKE_EXPORT void fake_set_default_rows(int32_t rows);

FAKE_EXPORT void fake_fail_reconnects(int attempts);
FAKE_EXPORT void fake_set_reconnect_wait_ms(int milliseconds);
// mod_connect on `connection` (0: any) fails `times` times with this error text and code.
FAKE_EXPORT void fake_fail_connect(int connection, const std::string& text, int32_t code,
                                   int times = 1);

// mod_init's result (default 1; the init-failing variant of the library starts at 0).
FAKE_EXPORT void fake_set_init_result(int32_t result);
// mod_get_info: result (1 fills the record, -1 does not), the two texts (nullopt: null),
// and the server_version it writes into the parameter block.
FAKE_EXPORT void fake_set_info(int32_t result, std::optional<std::string> version,
                               std::optional<std::string> transaction_start,
                               uint32_t server_version = 0);
// mod_get_databaseinfo returns these columns (an empty list fails, as a real module does
// when it cannot read the schema); or fails with this error.
FAKE_EXPORT void fake_set_databaseinfo(const std::vector<FakeColumn>& columns);
FAKE_EXPORT void fake_fail_databaseinfo(const std::string& text, int32_t code);

// What was recorded.
FAKE_EXPORT std::vector<FakeCall> fake_calls();
// Whether a recorded call ran a data statement: a mod_executesql, or one statement of a
// mod_executebatch (recorded one call per statement, under that name).
inline bool fake_ran_statement(const FakeCall& call) {
    return call.entry == "mod_executesql" || call.entry == "mod_executebatch";
}
// Texts of mod_executesql, mod_executebatch and mod_querysql, in order; connection 0: all
// connections.
FAKE_EXPORT std::vector<std::string> fake_statements(int connection = 0);
// How many calls of an entry point (connection 0: on any connection or none).
FAKE_EXPORT size_t fake_count(const std::string& entry, int connection = 0);
// The handle of connection n (1..), or null.
FAKE_EXPORT DbConnection* fake_connection(int number);
// Connection n's status byte, whether it is connected, and how many reconnect attempts it
// has made since fake_reset.
FAKE_EXPORT uint8_t fake_status(int number);
FAKE_EXPORT bool fake_connected(int number);
FAKE_EXPORT int fake_reconnect_attempts(int number);
// The parameter block connection n was created with.
FAKE_EXPORT const ZelModuleParams* fake_params(int number);
// Result lists handed out by mod_querysql and not yet freed (mod_freeresult or mod_destroy
// free them; a further query appends its rows to the list and returns the whole of it, as
// the PostgreSQL module does), and description lists not yet handed back.
FAKE_EXPORT int fake_open_results();
FAKE_EXPORT int fake_open_databaseinfos();
