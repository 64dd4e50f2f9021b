/*
 * odbc_schema.cpp - the ODBC module's view of the schema: the column description from the
 * driver's catalog, and the column statements of the database check.
 *
 * zel calls these on its main thread, on connection 1, before the database threads start
 * (the start-up check and its repairs); nothing here is shared, so no lock is taken.
 */
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "modules/odbc/odbc_connection.h"

using namespace zel_odbc;

namespace {

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

void free_columns(ColumnInfo* list) {
    while (list != nullptr) {
        ColumnInfo* next = list->next;
        std::free(list->table);
        std::free(list->column);
        std::free(list->type);
        std::free(list->size);
        std::free(list);
        list = next;
    }
}

// One integer of the current catalog row; false (with *present false) for NULL.
bool read_number(DbConnection& conn, SQLUSMALLINT column, SQLSMALLINT c_type, void* value,
                 bool* present) {
    SQLLEN indicator = 0;
    if (!succeeded(SQLGetData(conn.stmt, column, c_type, value, 0, &indicator))) return false;
    *present = indicator != SQL_NULL_DATA;
    return true;
}

// The statement or text of mod_add_column, built by mode; empty for an unknown mode.
std::string column_statement(const DbConnection& conn, const char* table, const char* column,
                             const char* type, const char* size, bool nullable, bool is_unsigned,
                             int32_t mode) {
    std::string text;
    if (mode == ZEL_COLUMN_ADD) {
        text = std::string("ALTER TABLE ") + table + " ADD " + column + " ";
    } else if (mode == ZEL_COLUMN_ALTER) {
        text = std::string("ALTER TABLE ") + table +
               (conn.kind == kind_mysql ? " MODIFY COLUMN " : " ALTER COLUMN ") + column + " ";
    }
    text +=
        column_type_text(conn.kind, conn.version, type, size, is_unsigned, mode == ZEL_COLUMN_ADD);
    text += nullable ? " NULL" : " NOT NULL";
    return text;
}

// PostgreSQL changes a column's type and its nullability in two clauses of their own; the
// one-clause form of the other servers is a syntax error there.
bool alter_postgresql_column(DbConnection& conn, const char* table, const char* column,
                             const char* type, const char* size, bool nullable) {
    std::string text = std::string("ALTER TABLE ") + table + " ALTER COLUMN " + column + " TYPE " +
                       column_type_text(conn.kind, conn.version, type, size, false, false);
    if (mod_executesql(&conn, text.c_str()) < 0) return false;
    text = std::string("ALTER TABLE ") + table + " ALTER COLUMN " + column +
           (nullable ? " DROP NOT NULL" : " SET NOT NULL");
    return mod_executesql(&conn, text.c_str()) >= 0;
}

}  // namespace

extern "C" {

uint8_t mod_add_column(DbConnection* conn, char* table_or_buffer, const char* column,
                       const char* type, const char* size, uint8_t nullable, uint8_t is_unsigned,
                       int32_t mode) {
    if (conn == nullptr) return 0;
    if (mode != ZEL_COLUMN_ADD && mode != ZEL_COLUMN_ALTER && mode != ZEL_COLUMN_RENDER) {
        set_error(*conn, "Unknown column operation", 0);
        return 0;
    }
    if (mode != ZEL_COLUMN_RENDER && (table_or_buffer == nullptr || column == nullptr)) {
        set_error(*conn, "A column change needs a table and a column name", 0);
        return 0;
    }
    try {
        if (mode == ZEL_COLUMN_ALTER && conn->kind == kind_postgresql)
            return alter_postgresql_column(*conn, table_or_buffer, column, type, size,
                                           nullable != 0)
                       ? 1
                       : 0;
        const std::string text = column_statement(*conn, table_or_buffer, column, type, size,
                                                  nullable != 0, is_unsigned != 0, mode);
        if (mode != ZEL_COLUMN_RENDER) return mod_executesql(conn, text.c_str()) >= 0 ? 1 : 0;
        if (table_or_buffer == nullptr) return 0;
        size_t length = text.size();
        if (length > ZEL_COLUMN_TEXT_SIZE - 1) length = ZEL_COLUMN_TEXT_SIZE - 1;
        std::memcpy(table_or_buffer, text.data(), length);
        table_or_buffer[length] = '\0';
        return 1;
    } catch (const std::bad_alloc&) {
        set_error(*conn, "Out of memory while building a column statement", 0);
        return 0;
    }
}

ColumnInfo* mod_get_databaseinfo(DbConnection* conn) {
    if (conn == nullptr) return nullptr;
    clear_error(*conn);
    if (conn->stmt == SQL_NULL_HSTMT) {
        set_error(*conn, "Not connected to the database server", 0);
        return nullptr;
    }
    SQLFreeStmt(conn->stmt, SQL_CLOSE);
    if (!succeeded(SQLColumnsW(conn->stmt, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0))) {
        diagnose(*conn, SQL_HANDLE_STMT, conn->stmt);
        return nullptr;
    }

    ColumnInfo* first = nullptr;
    ColumnInfo* last = nullptr;
    try {
        std::string table, column, type_name;
        for (;;) {
            SQLRETURN rc = SQLFetch(conn->stmt);
            if (rc == SQL_NO_DATA) break;
            bool null_table = false, null_column = false, null_type = false;
            SQLINTEGER size = 0;
            SQLSMALLINT digits = 0, nullable = 0;
            bool has_size = false, has_digits = false, has_nullable = false;
            // A catalog that cannot be read to its end gives no description: the check
            // would otherwise report the unread columns as missing.
            if (!succeeded(rc) || read_text(*conn, 3, &table, &null_table) != 1 ||
                read_text(*conn, 4, &column, &null_column) != 1 ||
                read_text(*conn, 6, &type_name, &null_type) != 1 ||
                !read_number(*conn, 7, SQL_C_SLONG, &size, &has_size) ||
                !read_number(*conn, 9, SQL_C_SSHORT, &digits, &has_digits) ||
                !read_number(*conn, 11, SQL_C_SSHORT, &nullable, &has_nullable)) {
                if (succeeded(rc) && conn->has_error) {
                    // read_text has diagnosed already
                } else {
                    diagnose(*conn, SQL_HANDLE_STMT, conn->stmt);
                }
                free_columns(first);
                SQLFreeStmt(conn->stmt, SQL_CLOSE);
                return nullptr;
            }
            if (null_table || null_column || null_type || table.empty() || column.empty() ||
                type_name.empty())
                continue;

            DescribedColumn described =
                describe_column(conn->kind, type_name.c_str(), has_size, size, has_digits, digits);
            auto* node = static_cast<ColumnInfo*>(std::calloc(1, sizeof(ColumnInfo)));
            if (node == nullptr) throw std::bad_alloc();
            node->previous = last;
            if (last == nullptr)
                first = node;
            else
                last->next = node;
            last = node;
            node->table = strdup(table.c_str());
            node->column = strdup(column.c_str());
            node->type = strdup(described.type.c_str());
            if (!described.size.empty()) node->size = strdup(described.size.c_str());
            if (node->table == nullptr || node->column == nullptr || node->type == nullptr ||
                (!described.size.empty() && node->size == nullptr))
                throw std::bad_alloc();
            node->nullable = has_nullable && nullable == SQL_NULLABLE ? 1 : 0;
            node->is_unsigned = described.is_unsigned ? 1 : 0;
        }
    } catch (const std::bad_alloc&) {
        free_columns(first);
        SQLFreeStmt(conn->stmt, SQL_CLOSE);
        set_error(*conn, "Out of memory while reading the database description", 0);
        return nullptr;
    }
    SQLFreeStmt(conn->stmt, SQL_CLOSE);
    if (first == nullptr)
        set_error(*conn, "The driver described no columns: check the user's rights on the tables",
                  0);
    return first;
}

void mod_free_databaseinfo(ColumnInfo* list) {
    free_columns(list);
}

}  // extern "C"
