// sqlserver_execute.cpp - the SQL Server module's statements: execute, query with its
// value texts, quoting, column definitions, server information and the database
// description from INFORMATION_SCHEMA.columns.
//
// Each entry point runs on the thread that owns its DbConnection (zel's main thread for
// the check calls, a database thread otherwise) and touches only that connection.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "modules/sqlserver/sqlserver_connection.h"
#include "modules/sqlserver/sqlserver_rules.h"

namespace sqlserver {

namespace {

char* copy_text(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

bool append_value(DbConnection* conn, const AdoValue& value) {
    auto* node = static_cast<ResultValue*>(std::calloc(1, sizeof(ResultValue)));
    if (!node) return false;
    if (std::optional<std::string> text = value_text(value)) {
        node->value = copy_text(*text);
        if (!node->value) {
            std::free(node);
            return false;
        }
    }
    if (conn->tail)
        conn->tail->next = node;
    else
        conn->head = node;
    conn->tail = node;
    return true;
}

// Reads all rows of an open record set into the connection's result list.
bool read_rows(DbConnection* conn, AdoRecordset* records, AdoError* error) {
    int64_t count = 0;
    if (!records->record_count(&count, error)) return false;
    if (count == 0) return true;
    bool eof = false;
    while (records->at_end(&eof, error) && !eof) {
        int32_t fields = 0;
        if (!records->field_count(&fields, error)) return false;
        for (int32_t i = 0; i < fields; ++i) {
            AdoValue value;
            if (!records->field_by_position(i, &value, error)) return false;
            if (!append_value(conn, value)) {
                error->hresult = static_cast<int32_t>(0x8007000E);  // E_OUTOFMEMORY
                error->has_description = true;
                error->description = "Out of memory reading a query result";
                return false;
            }
        }
        if (!records->move_next(error)) return false;
    }
    return eof;
}

std::optional<int64_t> number_field(AdoRecordset* records, const char* name, bool* ok, AdoError* error) {
    AdoValue value;
    if (!records->field_by_name(name, &value, error)) {
        *ok = false;
        return std::nullopt;
    }
    int64_t number = 0;
    if (!value_number(value, &number)) return std::nullopt;
    return number;
}

std::string text_field(AdoRecordset* records, const char* name, bool* ok, AdoError* error) {
    AdoValue value;
    if (!records->field_by_name(name, &value, error)) {
        *ok = false;
        return {};
    }
    return value_text(value).value_or(std::string());
}

void free_columns(ColumnInfo* list) {
    while (list) {
        ColumnInfo* next = list->next;
        std::free(list->table);
        std::free(list->column);
        std::free(list->type);
        std::free(list->size);
        std::free(list);
        list = next;
    }
}

// One ColumnInfo from the current row; null with *ok false when a field cannot be read.
ColumnInfo* read_column(AdoRecordset* records, bool* ok, AdoError* error) {
    std::string table = text_field(records, "TABLE_NAME", ok, error);
    std::string column = text_field(records, "COLUMN_NAME", ok, error);
    std::string data_type = text_field(records, "DATA_TYPE", ok, error);
    std::optional<int64_t> max_length = number_field(records, "CHARACTER_MAXIMUM_LENGTH", ok, error);
    std::optional<int64_t> precision = number_field(records, "NUMERIC_PRECISION", ok, error);
    std::optional<int64_t> scale = number_field(records, "NUMERIC_SCALE", ok, error);
    std::optional<int64_t> datetime_precision = number_field(records, "DATETIME_PRECISION", ok, error);
    std::string nullable = text_field(records, "IS_NULLABLE", ok, error);
    if (!*ok) return nullptr;
    auto* node = static_cast<ColumnInfo*>(std::calloc(1, sizeof(ColumnInfo)));
    if (!node) return nullptr;
    node->table = copy_text(table);
    node->column = copy_text(column);
    node->type = copy_text(map_data_type(data_type, max_length, precision, scale));
    if (std::optional<std::string> size = map_size(max_length, precision, scale, datetime_precision))
        node->size = copy_text(*size);
    node->nullable = nullable == "YES" ? 1 : 0;
    return node;
}

}  // namespace

void free_result(DbConnection* conn) {
    ResultValue* node = conn->head;
    while (node) {
        ResultValue* next = node->next;
        std::free(node->value);
        std::free(node);
        node = next;
    }
    conn->head = conn->tail = nullptr;
}

int32_t execute_statement(DbConnection* conn, const char* text) {
    clear_error(conn);
    if (!convert_statement(conn, text)) return ZEL_RESULT_FAILED;
    if (!ensure_thread_ready(conn)) return ZEL_RESULT_REJECTED;
    if (!conn->ado) {
        // No object since the last connect failed to make one: only a reconnect helps.
        set_error(conn, "Not connected", kHrPointer);
        return ZEL_RESULT_LOST;
    }
    AdoError error;
    int32_t affected = 0;
    if (!conn->ado->execute(conn->wide, kExecuteNoRecords, &affected, &error)) {
        std::string message = error_text_of(error, "Unknown error in execute");
        set_error(conn, message, error.hresult != 0 ? error.hresult : -1);
        return execute_result(error, message);
    }
    if (affected <= 0) {
        set_error(conn, "Affected rows:0", 0);
        return 0;
    }
    return affected;
}

}  // namespace sqlserver

using namespace sqlserver;

extern "C" {

int32_t mod_executesql(DbConnection* conn, const char* statement) {
    if (!conn) return -1;
    return execute_statement(conn, statement);
}

ResultValue* mod_querysql(DbConnection* conn, const char* query, int32_t* status) {
    int32_t ignored = 0;
    if (!status) status = &ignored;
    if (!conn) {
        *status = ZEL_RESULT_FAILED;
        return nullptr;
    }
    clear_error(conn);
    free_result(conn);
    *status = 0;
    if (!convert_statement(conn, query)) return nullptr;
    if (!ensure_thread_ready(conn)) {
        *status = ZEL_RESULT_REJECTED;
        return nullptr;
    }
    if (!conn->ado) {
        set_error(conn, "Not connected", kHrPointer);
        *status = ZEL_RESULT_LOST;
        return nullptr;
    }
    AdoError error;
    std::unique_ptr<AdoRecordset> records = conn->ado->create_recordset(&error);
    bool open = false;
    bool ok = records && records->open(conn->wide, kOpenForwardOnly, kLockReadOnly, kCmdText, &error) &&
              records->is_open(&open, &error);
    if (ok && !open) return nullptr;  // the statement returned no rows set
    ok = ok && read_rows(conn, records.get(), &error) && records->close(&error);
    if (!ok) {
        // A half-read result is not handed out: the caller sees the failure alone.
        free_result(conn);
        std::string message = error_text_of(error, "Unknown query error");
        set_error(conn, message, error.hresult != 0 ? error.hresult : ZEL_RESULT_REJECTED);
        *status = query_status(error, message);
        return nullptr;
    }
    return conn->head;
}

void mod_freeresult(DbConnection* conn) {
    if (conn) free_result(conn);
}

const char* mod_add_value(DbConnection* conn, const char* value, uint64_t max_chars) {
    if (!conn || !value) return nullptr;
    conn->scratch = quote_value(value, max_chars);
    return conn->scratch.c_str();
}

uint8_t mod_add_column(DbConnection* conn, char* table_or_buffer, const char* column, const char* type,
                       const char* size, uint8_t nullable, uint8_t is_unsigned, int32_t mode) {
    (void)is_unsigned;  // the server has no unsigned types
    if (!conn) return 0;
    uint32_t version = conn->params ? conn->params->server_version : 0;
    std::string definition = render_column_type(type, size, nullable != 0, version);
    if (mode == ZEL_COLUMN_RENDER) {
        if (!table_or_buffer) return 255;
        std::snprintf(table_or_buffer, ZEL_COLUMN_TEXT_SIZE, "%s", definition.c_str());
        return 1;
    }
    if ((mode != ZEL_COLUMN_ADD && mode != ZEL_COLUMN_ALTER) || !table_or_buffer || !column) {
        set_error(conn, "Invalid column change request", -1);
        return 255;
    }
    conn->scratch = std::string("ALTER TABLE ") + table_or_buffer +
                    (mode == ZEL_COLUMN_ADD ? " ADD " : " ALTER COLUMN ") + column + " " + definition;
    clear_error(conn);
    if (!convert_statement(conn, conn->scratch.c_str())) return 255;
    if (!ensure_thread_ready(conn)) return 255;
    AdoError error;
    int32_t affected = 0;
    if (!conn->ado || !conn->ado->execute(conn->wide, kCmdText, &affected, &error)) {
        if (!conn->ado) error.hresult = kHrPointer;
        set_error(conn, error_text_of(error, "Unknown alter table error"),
                  error.hresult != 0 ? error.hresult : -1);
        return 255;
    }
    return 1;
}

int32_t mod_get_info(DbConnection* conn, ServerInfo* info, uint32_t info_size) {
    if (!conn) return -1;
    if (!info || info_size < sizeof(ServerInfo)) return 0;
    int32_t status = 0;
    ResultValue* first = mod_querysql(conn, "SELECT SERVERPROPERTY('productversion')", &status);
    if (first && first->value) {
        info->version = copy_text(first->value);
        if (conn->params) conn->params->server_version = static_cast<uint32_t>(leading_number(first->value));
    } else {
        info->version = nullptr;
        if (conn->params) conn->params->server_version = 0;
    }
    info->transaction_start = copy_text("BEGIN TRANSACTION");
    free_result(conn);
    return 1;
}

ColumnInfo* mod_get_databaseinfo(DbConnection* conn) {
    if (!conn) return nullptr;
    clear_error(conn);
    if (!ensure_thread_ready(conn)) return nullptr;
    AdoError error;
    std::u16string source;
    utf8_to_utf16("INFORMATION_SCHEMA.columns", &source);
    std::unique_ptr<AdoRecordset> records;
    if (conn->ado)
        records = conn->ado->create_recordset(&error);
    else
        error.hresult = kHrPointer;
    bool ok = records && records->open(source, kOpenStatic, kLockReadOnly, kCmdTable, &error);
    ColumnInfo* first = nullptr;
    ColumnInfo* last = nullptr;
    bool eof = false;
    while (ok && records->at_end(&eof, &error) && !eof) {
        ColumnInfo* node = read_column(records.get(), &ok, &error);
        if (!node) {
            if (ok) {
                error.hresult = static_cast<int32_t>(0x8007000E);  // E_OUTOFMEMORY
                error.has_description = true;
                error.description = "Out of memory reading the database description";
            }
            ok = false;
            break;
        }
        node->previous = last;
        if (last)
            last->next = node;
        else
            first = node;
        last = node;
        ok = records->move_next(&error);
    }
    ok = ok && eof && records->close(&error);
    if (!ok) {
        free_columns(first);
        std::string message = error_text_of(error, "Unknown error in check database");
        std::printf("error: %s\n", message.c_str());
        set_error(conn, message, error.hresult != 0 ? error.hresult : -1);
        return nullptr;
    }
    return first;
}

void mod_free_databaseinfo(ColumnInfo* list) {
    free_columns(list);
}

}  // extern "C"
