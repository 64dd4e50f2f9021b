/*
 * pg_schema.cpp - the PostgreSQL module's view of the schema: the column description from
 * information_schema, the column statements of the database check, and the server's version.
 *
 * zel calls these on its main thread, on connection 1, before the database threads start
 * (the start-up check and its repairs); nothing here is shared, so no lock is taken.
 */
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "modules/pgsql/pg_connection.h"
#include "modules/pgsql/pg_dialect.h"

using namespace zel_pg;

namespace {

void free_column(ColumnInfo* column) {
    std::free(column->table);
    std::free(column->column);
    std::free(column->type);
    std::free(column->size);
    std::free(column);
}

void free_columns(ColumnInfo* list) {
    while (list != nullptr) {
        ColumnInfo* next = list->next;
        free_column(list);
        list = next;
    }
}

char* copy_text(const char* text) {
    return strdup(text != nullptr ? text : "");
}

// One ColumnInfo from one row of the schema query (columns in the query's order); null when
// memory runs out.
ColumnInfo* make_column(PGresult* result, int row) {
    auto value = [&](int column) -> const char* {
        return PQgetisnull(result, row, column) ? nullptr : PQgetvalue(result, row, column);
    };
    auto* node = static_cast<ColumnInfo*>(std::calloc(1, sizeof(ColumnInfo)));
    if (node == nullptr) return nullptr;
    node->table = copy_text(value(0));
    node->column = copy_text(value(1));
    node->type = copy_text(vocabulary_type(value(2), value(4), value(5)));
    bool ok = node->table != nullptr && node->column != nullptr && node->type != nullptr;
    try {
        std::string size = column_size(value(3), value(4), value(5));
        if (ok && !size.empty()) {
            node->size = strdup(size.c_str());
            ok = node->size != nullptr;
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    const char* nullable = value(6);
    node->nullable = nullable != nullptr && std::strcmp(nullable, "YES") == 0;
    if (!ok) {
        free_column(node);
        return nullptr;
    }
    return node;
}

bool succeeded(DbConnection& conn, const std::string& statement) {
    return mod_executesql(&conn, statement.c_str()) >= 0;
}

}  // namespace

extern "C" {

uint8_t mod_add_column(DbConnection* conn, char* table_or_buffer, const char* column,
                       const char* type, const char* size, uint8_t nullable, uint8_t is_unsigned,
                       int32_t mode) {
    (void)is_unsigned;  // PostgreSQL has no unsigned types
    if (conn == nullptr || type == nullptr) return 0;
    if (mode != ZEL_COLUMN_RENDER && (table_or_buffer == nullptr || column == nullptr)) {
        set_error(*conn, "A column change needs a table and a column name", 0);
        return 0;
    }
    try {
        std::string text;
        switch (mode) {
            case ZEL_COLUMN_ADD:
                text =
                    std::string("ALTER TABLE ") + table_or_buffer + " ADD COLUMN " + column + " ";
                break;
            case ZEL_COLUMN_ALTER:
                text = std::string("ALTER TABLE ") + table_or_buffer + " ALTER COLUMN " + column +
                       " TYPE ";
                break;
            case ZEL_COLUMN_RENDER:
                break;
            default:
                set_error(*conn, "Unknown column operation", 0);
                return 0;
        }
        append_pg_type(text, type, size);

        if (mode == ZEL_COLUMN_ALTER) {
            // No USING clause: an explicit cast would silently cut values that no longer fit
            // a narrower type, where the server's own conversion refuses them.
            if (!succeeded(*conn, text)) return 0;
            text = std::string("ALTER TABLE ") + table_or_buffer + " ALTER COLUMN " + column +
                   (nullable ? " DROP NOT NULL" : " SET NOT NULL");
            return succeeded(*conn, text) ? 1 : 0;
        }

        text += nullable ? " NULL" : " NOT NULL";
        if (mode == ZEL_COLUMN_ADD) return succeeded(*conn, text) ? 1 : 0;

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

int32_t mod_get_info(DbConnection* conn, ServerInfo* info, uint32_t info_size) {
    if (conn == nullptr || info == nullptr || info_size < 16) return -1;
    if (!connection_ok(*conn)) {
        set_error(*conn, "Not connected to the database server", 0);
        return -1;
    }
    const int version = PQserverVersion(conn->server);
    if (conn->params != nullptr) conn->params->server_version = static_cast<uint32_t>(version);
    try {
        info->version = strdup(version_text(version).c_str());
    } catch (const std::bad_alloc&) {
        info->version = nullptr;
    }
    info->transaction_start = strdup("START TRANSACTION");
    return 1;
}

ColumnInfo* mod_get_databaseinfo(DbConnection* conn) {
    if (conn == nullptr) return nullptr;
    if (conn->database_name.empty()) {
        set_error(*conn, "Could not determine the name of the current connected database", 0);
        return nullptr;
    }
    if (conn->server == nullptr) {
        set_error(*conn, "Not connected to the database server", 0);
        return nullptr;
    }

    Result result;
    try {
        std::string name(2 * conn->database_name.size() + 1, '\0');
        name.resize(PQescapeStringConn(conn->server, name.data(), conn->database_name.c_str(),
                                       conn->database_name.size(), nullptr));
        const std::string query =
            "SELECT table_name,column_name,data_type,character_maximum_length,numeric_precision,"
            "numeric_scale,is_nullable FROM information_schema.columns WHERE table_catalog='" +
            name + "' AND table_schema='public'";
        result = run(*conn, query.c_str());
    } catch (const std::bad_alloc&) {
        set_error(*conn, "Out of memory while reading the database description", 0);
        return nullptr;
    }
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        const char* sqlstate =
            result != nullptr ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
        set_error(*conn, PQerrorMessage(conn->server), sqlstate_code(sqlstate));
        return nullptr;
    }
    const int rows = PQntuples(result.get());
    if (rows == 0) {
        set_error(*conn,
                  "Got 0 rows from the SQL-Server. Check that your dbsuser have SELECT rights on "
                  "the tables in the 'Corvalinder' database!",
                  0);
        return nullptr;
    }

    ColumnInfo* first = nullptr;
    ColumnInfo* last = nullptr;
    for (int row = 0; row < rows; ++row) {
        ColumnInfo* node = make_column(result.get(), row);
        if (node == nullptr) {
            free_columns(first);
            set_error(*conn, "Out of memory while reading the database description", 0);
            return nullptr;
        }
        node->previous = last;
        if (last == nullptr)
            first = node;
        else
            last->next = node;
        last = node;
    }
    return first;
}

void mod_free_databaseinfo(ColumnInfo* list) {
    free_columns(list);
}

}  // extern "C"
