// fake_module.cpp - the recording database module for tests (zel_fake_module).
//
// Implements the 19 mod_ entry points over scripted answers and records every call; the
// test steers it through fake_module_control.h, where the answering rules are described.
// All state below is guarded by g_lock, except each connection's status byte, which the
// stop handler and the supervisor touch from other threads without waiting (as in every
// module). Scripted delays and reconnect pauses happen outside the lock, so four database
// threads keep running side by side.
//
// Built several times from this one file: the full fake, and broken variants for the
// loader's tests (FAKE_OMIT_RECONNECT, FAKE_OMIT_FREE_DATABASEINFO, FAKE_INIT_RESULT=0),
// and one without the optional batch entry point (FAKE_OMIT_EXECUTEBATCH).
#include "fake_module_control.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

#include "modules/common/utf8_limit.h"
#include "zel_module.h"

#ifndef FAKE_INIT_RESULT
#define FAKE_INIT_RESULT 1
#endif

struct DbConnection {
    int number = 0;
    ZelModuleParams* params = nullptr;
    std::atomic<uint8_t> status{ZEL_STATUS_CONNECTED};
    bool connected = false;
    bool lost = false;
    bool destroyed = false;
    std::string error_text;
    bool has_error_text = false;
    int32_t error_code = 0;
    ResultValue* result = nullptr;
    std::string scratch;
    uint64_t statements = 0;
    int reconnect_attempts = 0;
    std::vector<std::string> batch_errors;  // error texts of the last mod_executebatch
};

namespace {

struct StatementRule {
    std::string pattern;
    std::regex regex;
    FakeMatch match;
    int connection;
    int times;  // -1: always
    FakeResult result;
};

struct CallRule {
    int connection;
    uint64_t number;
    FakeResult result;
};

struct ConnectFailure {
    int connection;
    std::string text;
    int32_t code;
    int times;
};

struct State {
    std::vector<FakeCall> calls;
    std::vector<std::unique_ptr<DbConnection>> connections;
    std::vector<StatementRule> statement_rules;
    std::vector<CallRule> call_rules;
    std::vector<ConnectFailure> connect_failures;
    uint64_t statements = 0;
    int32_t default_rows = 1;
    int reconnect_failures = 0;
    int reconnect_wait_ms = 0;
    int32_t init_result = FAKE_INIT_RESULT;
    int32_t info_result = 1;
    std::optional<std::string> info_version = std::string("Fake server 1.0");
    std::optional<std::string> info_transaction_start = std::string("BEGIN");
    uint32_t info_server_version = 0;
    std::vector<FakeColumn> columns;
    std::string databaseinfo_error = "no database description scripted";
    int32_t databaseinfo_code = 0;
    int open_databaseinfos = 0;
};

std::mutex g_lock;
State g_state;  // guarded by g_lock

int number_of(DbConnection* conn) {
    return conn != nullptr ? conn->number : 0;
}

void record(const char* entry, DbConnection* conn, std::string text, int64_t result) {
    g_state.calls.push_back(FakeCall{entry, number_of(conn), std::move(text), result});
}

// Texts handed across the boundary are malloc'ed, as the caller frees them with free().
char* copy_text(const std::string& text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void set_error(DbConnection* conn, const std::string& text, int32_t code) {
    conn->error_text = text;
    conn->has_error_text = true;
    conn->error_code = code;
}

void free_result(DbConnection* conn) {
    ResultValue* node = conn->result;
    while (node != nullptr) {
        ResultValue* next = node->next;
        std::free(node->value);
        std::free(node);
        node = next;
    }
    conn->result = nullptr;
}

bool matches(const StatementRule& rule, int connection, const std::string& text) {
    if (rule.connection != 0 && rule.connection != connection) return false;
    if (rule.times == 0) return false;
    switch (rule.match) {
        case FakeMatch::Substring:
            return text.find(rule.pattern) != std::string::npos;
        case FakeMatch::Exact:
            return text == rule.pattern;
        case FakeMatch::Regex:
            return std::regex_search(text, rule.regex);
    }
    return false;
}

// The scripted answer for one statement, or nullopt for the default. `counted` says the
// text is a statement that call-number rules count (executesql, querysql).
std::optional<FakeResult> answer(DbConnection* conn, const std::string& text, bool counted) {
    if (counted) {
        uint64_t own = ++conn->statements;
        uint64_t overall = ++g_state.statements;
        for (const CallRule& rule : g_state.call_rules) {
            if ((rule.connection == conn->number && rule.number == own) ||
                (rule.connection == 0 && rule.number == overall))
                return rule.result;
        }
    }
    for (StatementRule& rule : g_state.statement_rules) {
        if (matches(rule, conn->number, text)) {
            if (rule.times > 0) --rule.times;
            return rule.result;
        }
    }
    return std::nullopt;
}

void lose(DbConnection* conn, const FakeResult& result) {
    conn->lost = true;
    conn->connected = false;
    set_error(conn, result.error_text, result.error_code);
    uint8_t expected = ZEL_STATUS_CONNECTED;
    conn->status.compare_exchange_strong(expected, ZEL_STATUS_RECONNECTING);
}

void pause(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DbConnection* find_connection(int number) {
    if (number < 1 || static_cast<size_t>(number) > g_state.connections.size()) return nullptr;
    return g_state.connections[static_cast<size_t>(number) - 1].get();
}

std::string render(const char* type, const char* size, uint8_t nullable, uint8_t is_unsigned) {
    std::string text = type;
    if (size != nullptr && size[0] != '\0') {
        text += '(';
        text += size;
        text += ')';
    }
    if (is_unsigned) text += " UNSIGNED";
    text += nullable ? " NULL" : " NOT NULL";
    return text;
}

}  // namespace

// ---- Entry points ----------------------------------------------------------------------

int32_t mod_init(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    record("mod_init", nullptr, {}, g_state.init_result);
    return g_state.init_result;
}

int32_t mod_exit(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    record("mod_exit", nullptr, {}, 1);
    return 1;
}

DbConnection* mod_create(ZelModuleParams* params) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto conn = std::make_unique<DbConnection>();
    conn->params = params;
    conn->number = static_cast<int>(g_state.connections.size()) + 1;
    g_state.connections.push_back(std::move(conn));
    DbConnection* created = g_state.connections.back().get();
    record("mod_create", created, {}, 1);
    return created;
}

int32_t mod_destroy(DbConnection* conn) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (conn == nullptr) {
        record("mod_destroy", nullptr, {}, -1);
        return -1;
    }
    free_result(conn);
    conn->connected = false;
    conn->destroyed = true;
    record("mod_destroy", conn, {}, 1);
    return 1;
}

int32_t mod_connect(DbConnection* conn) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (conn == nullptr) {
        record("mod_connect", nullptr, {}, 0);
        return 0;
    }
    conn->error_text.clear();
    conn->has_error_text = false;
    conn->error_code = 0;
    for (ConnectFailure& failure : g_state.connect_failures) {
        if ((failure.connection == 0 || failure.connection == conn->number) && failure.times != 0) {
            if (failure.times > 0) --failure.times;
            set_error(conn, failure.text, failure.code);
            record("mod_connect", conn, {}, 0);
            return 0;
        }
    }
    conn->connected = true;
    conn->lost = false;
    record("mod_connect", conn, {}, 1);
    return 1;
}

int32_t mod_disconnect(DbConnection* conn) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (conn == nullptr) {
        record("mod_disconnect", nullptr, {}, 0);
        return 0;
    }
    conn->connected = false;
    record("mod_disconnect", conn, {}, 1);
    return 1;
}

#ifndef FAKE_OMIT_RECONNECT
void mod_reconnect(DbConnection* conn) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        record("mod_reconnect", conn, {}, 0);
    }
    if (conn == nullptr) return;
    // Only a connection that is not stopping starts retrying; the exchange keeps a stop
    // request that arrives at this moment from being overwritten.
    uint8_t current = conn->status.load();
    do {
        if (current == ZEL_STATUS_STOP) return;
    } while (!conn->status.compare_exchange_weak(current, ZEL_STATUS_RECONNECTING));

    while (conn->status.load() == ZEL_STATUS_RECONNECTING) {
        int wait_ms = 0;
        {
            std::lock_guard<std::mutex> hold(g_lock);
            ++conn->reconnect_attempts;
            if (g_state.reconnect_failures > 0) {
                --g_state.reconnect_failures;
                set_error(conn, "fake reconnect failed", -2);
                wait_ms = g_state.reconnect_wait_ms;
            } else {
                conn->connected = true;
                conn->lost = false;
                uint8_t expected = ZEL_STATUS_RECONNECTING;
                conn->status.compare_exchange_strong(expected, ZEL_STATUS_CONNECTED);
                return;
            }
        }
        if (wait_ms > 0)
            pause(wait_ms);
        else
            std::this_thread::yield();
    }
}
#endif

int32_t mod_getlasterror(DbConnection* conn) {
    std::lock_guard<std::mutex> hold(g_lock);
    int32_t code = conn != nullptr ? conn->error_code : -1;
    record("mod_getlasterror", conn, {}, code);
    return code;
}

const char* mod_geterrorstring(DbConnection* conn) {
    // Read from the supervisor too: each thread gets a copy of its own (zel_module.h).
    thread_local std::string copy;
    std::lock_guard<std::mutex> hold(g_lock);
    const char* text = conn != nullptr && conn->has_error_text ? conn->error_text.c_str() : nullptr;
    record("mod_geterrorstring", conn, {}, text != nullptr ? 1 : 0);
    if (text == nullptr) return nullptr;
    copy = text;
    return copy.c_str();
}

// g_lock held. The answer to one statement on `conn`, for mod_executesql and each statement
// of mod_executebatch alike: -2 on a lost connection, else the scripted or default result,
// losing the connection or setting the error as the script says. *scripted is the rule that
// applied, if any (its pause is the caller's, taken without the lock).
static int32_t answer_statement(DbConnection* conn, const std::string& text,
                                std::optional<FakeResult>* scripted) {
    if (conn->lost) return ZEL_RESULT_LOST;
    *scripted = answer(conn, text, true);
    int32_t code = *scripted ? (*scripted)->code : g_state.default_rows;
    if (*scripted && (*scripted)->lose_connection) {
        lose(conn, **scripted);
        return ZEL_RESULT_LOST;
    }
    if (code < 0)
        set_error(conn, *scripted ? (*scripted)->error_text : FakeResult{}.error_text,
                  *scripted ? (*scripted)->error_code : 0);
    return code;
}

int32_t mod_executesql(DbConnection* conn, const char* statement) {
    std::optional<FakeResult> scripted;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (conn == nullptr || statement == nullptr) {
            record("mod_executesql", conn, statement != nullptr ? statement : "",
                   ZEL_RESULT_FAILED);
            return ZEL_RESULT_FAILED;
        }
        std::string text = statement;
        int32_t code = answer_statement(conn, text, &scripted);
        record("mod_executesql", conn, std::move(text), code);
        if (!scripted || scripted->delay_ms == 0) return code;
        scripted->code = code;
    }
    pause(scripted->delay_ms);
    return scripted->code;
}

#ifndef FAKE_OMIT_EXECUTEBATCH
// Each statement is answered by the same rules as mod_executesql, recorded under
// "mod_executebatch", and the batch stops after the first negative answer.
int32_t mod_executebatch(DbConnection* conn, const char* const* statements, int32_t count,
                         ZelBatchResult* results) {
    int delay_ms = 0;
    int32_t ran = 0;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (conn == nullptr || statements == nullptr || results == nullptr || count < 0) {
            record("mod_executebatch", conn, "", ZEL_RESULT_FAILED);
            return -1;
        }
        conn->batch_errors.assign(static_cast<size_t>(count), std::string());
        for (; ran < count; ++ran) {
            std::string text = statements[ran] != nullptr ? statements[ran] : "";
            std::optional<FakeResult> scripted;
            int32_t code = answer_statement(conn, text, &scripted);
            if (scripted) delay_ms += scripted->delay_ms;
            ZelBatchResult& out = results[ran];
            out.result = code;
            out.error_code = code <= 0 ? conn->error_code : 0;
            out.error = nullptr;
            if (code <= 0 && conn->has_error_text) {
                conn->batch_errors[static_cast<size_t>(ran)] = conn->error_text;
                out.error = conn->batch_errors[static_cast<size_t>(ran)].c_str();
            }
            record("mod_executebatch", conn, std::move(text), code);
            if (code < 0) {
                ++ran;
                break;
            }
        }
    }
    pause(delay_ms);
    return ran;
}
#endif

ResultValue* mod_querysql(DbConnection* conn, const char* query, int32_t* status) {
    std::optional<FakeResult> scripted;
    ResultValue* first = nullptr;
    int32_t code = 0;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (conn == nullptr || query == nullptr) {
            if (status != nullptr) *status = ZEL_RESULT_FAILED;
            record("mod_querysql", conn, query != nullptr ? query : "", ZEL_RESULT_FAILED);
            return nullptr;
        }
        // A result not handed back stays, and the new rows are appended to it, as the
        // PostgreSQL module does: a caller that misses a mod_freeresult reads the old rows
        // first here as it would on a real server.
        std::string text = query;
        if (conn->lost) {
            code = ZEL_RESULT_LOST;
        } else {
            scripted = answer(conn, text, true);
            if (scripted && scripted->lose_connection) {
                lose(conn, *scripted);
                code = ZEL_RESULT_LOST;
            } else if (scripted) {
                code = scripted->code > 0 ? 0 : scripted->code;
                if (code < 0) {
                    set_error(conn, scripted->error_text, scripted->error_code);
                } else {
                    // Row-major list, built back to front.
                    for (auto row = scripted->rows.rbegin(); row != scripted->rows.rend(); ++row) {
                        for (auto value = row->rbegin(); value != row->rend(); ++value) {
                            auto* node =
                                static_cast<ResultValue*>(std::malloc(sizeof(ResultValue)));
                            node->value = *value ? copy_text(**value) : nullptr;
                            node->next = first;
                            first = node;
                        }
                    }
                    ResultValue** end = &conn->result;
                    while (*end != nullptr)
                        end = &(*end)->next;
                    *end = first;
                }
            }
        }
        first = code >= 0 ? conn->result : nullptr;
        record("mod_querysql", conn, std::move(text), code);
    }
    if (scripted && scripted->delay_ms > 0) pause(scripted->delay_ms);
    if (status != nullptr) *status = code;
    return first;
}

void mod_freeresult(DbConnection* conn) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (conn != nullptr) free_result(conn);
    record("mod_freeresult", conn, {}, 0);
}

const char* mod_add_value(DbConnection* conn, const char* value, uint64_t max_chars) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (conn == nullptr || value == nullptr) {
        record("mod_add_value", conn, value != nullptr ? value : "", 0);
        return nullptr;
    }
    size_t length = std::strlen(value);
    int overrun = 0;
    size_t keep = zel_utf8_limit(value, length, max_chars, &overrun);
    conn->scratch.assign(1, '\'');
    for (size_t i = 0; i < keep; ++i) {
        if (value[i] == '\'') conn->scratch += '\'';
        conn->scratch += value[i];
    }
    conn->scratch += '\'';
    record("mod_add_value", conn, value, 1);
    return conn->scratch.c_str();
}

uint8_t mod_get_status(DbConnection* conn) {
    uint8_t status = conn != nullptr ? conn->status.load() : 0;
    std::lock_guard<std::mutex> hold(g_lock);
    record("mod_get_status", conn, {}, status);
    return status;
}

void mod_set_status(DbConnection* conn, int32_t status) {
    if (conn != nullptr) conn->status.store(static_cast<uint8_t>(status & 0xFF));
    std::lock_guard<std::mutex> hold(g_lock);
    record("mod_set_status", conn, std::to_string(status & 0xFF), 0);
}

ColumnInfo* mod_get_databaseinfo(DbConnection* conn) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (conn == nullptr) {
        record("mod_get_databaseinfo", nullptr, {}, 0);
        return nullptr;
    }
    if (g_state.columns.empty()) {
        set_error(conn, g_state.databaseinfo_error, g_state.databaseinfo_code);
        record("mod_get_databaseinfo", conn, {}, 0);
        return nullptr;
    }
    ColumnInfo* first = nullptr;
    ColumnInfo* last = nullptr;
    for (const FakeColumn& column : g_state.columns) {
        auto* node = static_cast<ColumnInfo*>(std::calloc(1, sizeof(ColumnInfo)));
        node->table = copy_text(column.table);
        node->column = copy_text(column.column);
        node->type = copy_text(column.type);
        node->size = column.size ? copy_text(*column.size) : nullptr;
        node->nullable = column.nullable;
        node->is_unsigned = column.is_unsigned;
        node->previous = last;
        if (last != nullptr)
            last->next = node;
        else
            first = node;
        last = node;
    }
    ++g_state.open_databaseinfos;
    record("mod_get_databaseinfo", conn, {}, 1);
    return first;
}

#ifndef FAKE_OMIT_FREE_DATABASEINFO
void mod_free_databaseinfo(ColumnInfo* list) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (list != nullptr) --g_state.open_databaseinfos;
    while (list != nullptr) {
        ColumnInfo* next = list->next;
        std::free(list->table);
        std::free(list->column);
        std::free(list->type);
        std::free(list->size);
        std::free(list);
        list = next;
    }
    record("mod_free_databaseinfo", nullptr, {}, 0);
}
#endif

uint8_t mod_add_column(DbConnection* conn, char* table_or_buffer, const char* column,
                       const char* type, const char* size, uint8_t nullable, uint8_t is_unsigned,
                       int32_t mode) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (conn == nullptr || type == nullptr || mode < ZEL_COLUMN_ADD || mode > ZEL_COLUMN_RENDER) {
        record("mod_add_column", conn, {}, 0);
        return 0;
    }
    std::string rendering = render(type, size, nullable, is_unsigned);
    if (mode == ZEL_COLUMN_RENDER) {
        if (table_or_buffer != nullptr) {
            size_t copied = rendering.size() < ZEL_COLUMN_TEXT_SIZE ? rendering.size()
                                                                    : ZEL_COLUMN_TEXT_SIZE - 1;
            std::memcpy(table_or_buffer, rendering.data(), copied);
            table_or_buffer[copied] = '\0';
        }
        record("mod_add_column", conn, std::move(rendering), 1);
        return 1;
    }
    if (table_or_buffer == nullptr || column == nullptr) {
        record("mod_add_column", conn, {}, 0);
        return 0;
    }
    std::string statement = std::string("ALTER TABLE ") + table_or_buffer +
                            (mode == ZEL_COLUMN_ADD ? " ADD " : " MODIFY ") + column + " " +
                            rendering;
    std::optional<FakeResult> scripted = answer(conn, statement, false);
    uint8_t result = 1;
    if (scripted && scripted->code < 0) {
        set_error(conn, scripted->error_text, scripted->error_code);
        result = 0;
    }
    record("mod_add_column", conn, std::move(statement), result);
    return result;
}

int32_t mod_get_info(DbConnection* conn, ServerInfo* info, uint32_t info_size) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (conn == nullptr || info == nullptr || info_size < sizeof(ServerInfo) ||
        g_state.info_result == -1) {
        record("mod_get_info", conn, {}, -1);
        return -1;
    }
    info->version = g_state.info_version ? copy_text(*g_state.info_version) : nullptr;
    info->transaction_start =
        g_state.info_transaction_start ? copy_text(*g_state.info_transaction_start) : nullptr;
    if (conn->params != nullptr) conn->params->server_version = g_state.info_server_version;
    record("mod_get_info", conn, {}, g_state.info_result);
    return g_state.info_result;
}

// ---- Control ---------------------------------------------------------------------------

void fake_reset() {
    std::lock_guard<std::mutex> hold(g_lock);
    for (auto& conn : g_state.connections)
        free_result(conn.get());
    g_state = State{};
}

void fake_clear_calls() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.calls.clear();
}

void fake_on_statement(const std::string& pattern, const FakeResult& result, int times,
                       FakeMatch match, int connection) {
    StatementRule rule{pattern, {}, match, connection, times, result};
    if (match == FakeMatch::Regex) rule.regex = std::regex(pattern);
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.statement_rules.push_back(std::move(rule));
}

void fake_on_call(int connection, uint64_t number, const FakeResult& result) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.call_rules.push_back(CallRule{connection, number, result});
}

void fake_set_default_rows(int32_t rows) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.default_rows = rows;
}

void fake_fail_reconnects(int attempts) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.reconnect_failures = attempts;
}

void fake_set_reconnect_wait_ms(int milliseconds) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.reconnect_wait_ms = milliseconds;
}

void fake_fail_connect(int connection, const std::string& text, int32_t code, int times) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.connect_failures.push_back(ConnectFailure{connection, text, code, times});
}

void fake_set_init_result(int32_t result) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.init_result = result;
}

void fake_set_info(int32_t result, std::optional<std::string> version,
                   std::optional<std::string> transaction_start, uint32_t server_version) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.info_result = result;
    g_state.info_version = std::move(version);
    g_state.info_transaction_start = std::move(transaction_start);
    g_state.info_server_version = server_version;
}

void fake_set_databaseinfo(const std::vector<FakeColumn>& columns) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.columns = columns;
}

void fake_fail_databaseinfo(const std::string& text, int32_t code) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.columns.clear();
    g_state.databaseinfo_error = text;
    g_state.databaseinfo_code = code;
}

std::vector<FakeCall> fake_calls() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_state.calls;
}

std::vector<std::string> fake_statements(int connection) {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<std::string> texts;
    for (const FakeCall& call : g_state.calls) {
        if ((call.entry == "mod_executesql" || call.entry == "mod_querysql" ||
             call.entry == "mod_executebatch") &&
            (connection == 0 || call.connection == connection))
            texts.push_back(call.text);
    }
    return texts;
}

size_t fake_count(const std::string& entry, int connection) {
    std::lock_guard<std::mutex> hold(g_lock);
    size_t count = 0;
    for (const FakeCall& call : g_state.calls) {
        if (call.entry == entry && (connection == 0 || call.connection == connection)) ++count;
    }
    return count;
}

DbConnection* fake_connection(int number) {
    std::lock_guard<std::mutex> hold(g_lock);
    return find_connection(number);
}

uint8_t fake_status(int number) {
    std::lock_guard<std::mutex> hold(g_lock);
    DbConnection* conn = find_connection(number);
    return conn != nullptr ? conn->status.load() : 0;
}

bool fake_connected(int number) {
    std::lock_guard<std::mutex> hold(g_lock);
    DbConnection* conn = find_connection(number);
    return conn != nullptr && conn->connected;
}

int fake_reconnect_attempts(int number) {
    std::lock_guard<std::mutex> hold(g_lock);
    DbConnection* conn = find_connection(number);
    return conn != nullptr ? conn->reconnect_attempts : 0;
}

const ZelModuleParams* fake_params(int number) {
    std::lock_guard<std::mutex> hold(g_lock);
    DbConnection* conn = find_connection(number);
    return conn != nullptr ? conn->params : nullptr;
}

int fake_open_results() {
    std::lock_guard<std::mutex> hold(g_lock);
    int open = 0;
    for (const auto& conn : g_state.connections)
        open += conn->result != nullptr ? 1 : 0;
    return open;
}

int fake_open_databaseinfos() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_state.open_databaseinfos;
}
