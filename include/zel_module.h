/*
 * zel_module.h - the contract between zel and a database module.
 *
 * A database module is a shared library that exports the 19 mod_ entry points declared
 * below, and may export one optional more (convention 11). zel loads it by file name at
 * start-up (zel/modload) and from then on
 * reaches the database only through these calls. Nothing C++ crosses this boundary.
 *
 * Conventions every module and every caller keeps:
 *
 *  1. Ownership. Texts and lists a module returns (mod_geterrorstring, mod_add_value,
 *     mod_querysql's ResultValue list) belong to the DbConnection and stay valid until the
 *     next call of the same kind on it (the query list: until mod_freeresult, see 10).
 *     Two things belong to the caller: the texts a module writes into a ServerInfo (free
 *     them with free()), and the ColumnInfo list of mod_get_databaseinfo, which the caller
 *     hands back whole with mod_free_databaseinfo.
 *  2. The parameter block (ZelModuleParams) is owned by zel. A module keeps its address,
 *     reads it again at every connect, never frees its texts, and writes only
 *     server_version (from mod_get_info).
 *  3. Threads. mod_init, mod_create, mod_connect, mod_get_info, the database check calls,
 *     mod_destroy and mod_exit run on zel's main thread while no database thread runs.
 *     During the run each DbConnection is used by exactly one database thread. The only
 *     cross-thread calls are mod_set_status (stop handler) and mod_get_status
 *     (supervisor), which touch the status byte alone, and mod_geterrorstring (the
 *     supervisor names the error of a connection that is down while its thread retries):
 *     a module makes that read safe, for example by handing each calling thread a copy
 *     of its own that stays valid until that thread's next mod_geterrorstring.
 *  4. A null DbConnection never crashes a module: every entry point then returns its
 *     failure value: mod_getlasterror -1, mod_get_status 0, pointers NULL, mod_connect,
 *     mod_disconnect and mod_add_column 0, mod_executesql and mod_get_info -1,
 *     mod_destroy -1 or 0, mod_querysql NULL with a negative status. (The null module,
 *     which has no connection object, follows its own table.)
 *  5. Result codes of mod_executesql and of mod_querysql's status are ZEL_RESULT_* below:
 *     0 or more is success (for mod_executesql, the rows affected).
 *  6. mod_reconnect blocks until the connection is back or the status byte becomes
 *     ZEL_STATUS_STOP; it sets ZEL_STATUS_RECONNECTING while it retries, waiting one
 *     second between attempts. Both of its changes of the status byte (to
 *     RECONNECTING at the start, to CONNECTED on success) are compare-and-exchange, so
 *     that a ZEL_STATUS_STOP stored meanwhile by the stop handler is never overwritten.
 *  7. mod_add_value limits the value to a number of UTF-8 characters (0: no limit) with
 *     zel_utf8_limit (modules/common/utf8_limit.h, target zel_module_common), then
 *     returns a complete quoted SQL literal (the empty literal when a character of the
 *     value runs past its end).
 *  8. mod_add_column in mode ZEL_COLUMN_RENDER writes at most ZEL_COLUMN_TEXT_SIZE bytes
 *     (terminator included) into the caller's buffer, cutting the text if it must.
 *  9. Statement texts are UTF-8 and NUL-terminated.
 * 10. Query results are handed back. A caller calls mod_freeresult after every
 *     mod_querysql, whether it succeeded or not, before its next query on the connection.
 *     Modules differ in what they do with a list that was not handed back: one appends
 *     the next query's rows to it and returns the whole list (the PostgreSQL module),
 *     another drops it (the ODBC module); a caller relies on neither. zel's builders hold
 *     their rows in a QueryResult (zel/sql/query_result.h), which hands them back when it
 *     goes out of scope, and the recording test module appends, so a missed hand-back
 *     shows in the unit tests as stale rows.
 * 11. One more entry point is optional: mod_executebatch, declared at the end. A module
 *     without it works as before: zel then sends every statement on its own through
 *     mod_executesql. A module with it receives several statements at once, so that it can
 *     send them to the server without waiting for each answer. It runs them in order and
 *     fills one ZelBatchResult per statement that ran; it stops after the first statement
 *     whose result is negative (those after it are not run: the caller sends them again or
 *     gives them up), and then its mod_geterrorstring and mod_getlasterror describe that
 *     statement. Each result has mod_executesql's meaning for that statement alone, and the
 *     error text and code of a result of 0 or less are what mod_geterrorstring and
 *     mod_getlasterror would have said right after that statement (the texts belong to the
 *     connection until its next mod_executebatch or mod_executesql). Inside a transaction a
 *     failing statement fails alone, as with mod_executesql. zel never sends COMMIT or
 *     ROLLBACK through it; the statement that opens a transaction (ServerInfo's
 *     transaction_start) may come first in a batch, and the statements behind it then run
 *     inside that transaction. A module may send them together; when the opening
 *     statement fails, it reports that result and runs nothing behind it.
 */
#ifndef ZEL_MODULE_H
#define ZEL_MODULE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ZEL_MODULE_EXPORT __declspec(dllexport)
#else
#define ZEL_MODULE_EXPORT __attribute__((visibility("default")))
#endif

/* Result codes of mod_executesql and of the status output of mod_querysql. */
enum {
    ZEL_RESULT_FAILED = -1,     /* constraint or integrity violation, or an invalid call */
    ZEL_RESULT_LOST = -2,       /* the connection to the server is lost */
    ZEL_RESULT_RERUN = -3,      /* the server rolled the transaction back: run it again */
    ZEL_RESULT_REJECTED = -4    /* any other statement error (data, syntax, ...) */
};

/* The connection status byte. */
enum {
    ZEL_STATUS_CONNECTED = 0,    /* connected, or never disturbed */
    ZEL_STATUS_RECONNECTING = 1, /* lost; mod_reconnect is retrying */
    ZEL_STATUS_STOP = 2          /* stop requested; no further reconnect attempts */
};

/* Modes of mod_add_column. */
enum {
    ZEL_COLUMN_ADD = 0,    /* execute the statement that adds the column */
    ZEL_COLUMN_ALTER = 1,  /* execute the statement that changes type and nullability */
    ZEL_COLUMN_RENDER = 2  /* only write the type-and-nullability text into the buffer */
};

/* Size of the buffer a caller passes to mod_add_column in ZEL_COLUMN_RENDER mode. */
#define ZEL_COLUMN_TEXT_SIZE 256

/* The module parameter block: the leading members of zel's Config, in this order and with
 * these widths. Absent texts are NULL. */
typedef struct ZelModuleParams {
    char* db_username;
    char* db_password;
    char* dbname;
    char* db_server;
    char* db_port;
    char* connectionstring;
    char* ssl_key;
    char* ssl_cert;
    char* ssl_ca;
    char* ssl_capath;
    char* ssl_cipher;
    uint32_t server_version;   /* written by mod_get_info; 0 when unknown */
    uint32_t use_transactions; /* 1 when zel groups statements in transactions */
    uint32_t answer_timeout;   /* seconds a module waits for the server's answer to one
                                * statement before it takes the connection as lost (a hung
                                * server or a frozen network); 0: no limit */
} ZelModuleParams;

/* One value of a query result; R rows of K columns are R*K nodes in row-major order.
 * value is NULL for SQL NULL (and, in some modules, for an empty text). */
typedef struct ResultValue {
    struct ResultValue* next;
    char* value;
} ResultValue;

/* One column of the database description. The texts are owned by the node. */
typedef struct ColumnInfo {
    struct ColumnInfo* next;
    struct ColumnInfo* previous;
    char* table;
    char* column;
    char* type;  /* in the table-definition vocabulary: int, bigint, decimal, varchar, ... */
    char* size;  /* "len", "precision,scale" or NULL */
    int32_t nullable;
    int32_t is_unsigned;
} ColumnInfo;

/* Filled by mod_get_info; the texts are allocated with malloc and owned by the caller. */
typedef struct ServerInfo {
    char* version;           /* name and/or version for display, or NULL */
    char* transaction_start; /* statement that opens a transaction, or NULL */
} ServerInfo;

/* The opaque connection object of a module. */
typedef struct DbConnection DbConnection;

/* The 19 entry points, as function types (the loader binds them by name). */
typedef int32_t (*mod_init_fn)(void);
typedef int32_t (*mod_exit_fn)(void);
typedef int32_t (*mod_connect_fn)(DbConnection* conn);
typedef int32_t (*mod_disconnect_fn)(DbConnection* conn);
typedef int32_t (*mod_getlasterror_fn)(DbConnection* conn);
typedef const char* (*mod_geterrorstring_fn)(DbConnection* conn);
typedef int32_t (*mod_executesql_fn)(DbConnection* conn, const char* statement);
typedef const char* (*mod_add_value_fn)(DbConnection* conn, const char* value, uint64_t max_chars);
typedef DbConnection* (*mod_create_fn)(ZelModuleParams* params);
typedef int32_t (*mod_destroy_fn)(DbConnection* conn);
typedef uint8_t (*mod_get_status_fn)(DbConnection* conn);
typedef void (*mod_set_status_fn)(DbConnection* conn, int32_t status);
typedef ColumnInfo* (*mod_get_databaseinfo_fn)(DbConnection* conn);
typedef ResultValue* (*mod_querysql_fn)(DbConnection* conn, const char* query, int32_t* status);
typedef void (*mod_freeresult_fn)(DbConnection* conn);
typedef void (*mod_free_databaseinfo_fn)(ColumnInfo* list);
typedef uint8_t (*mod_add_column_fn)(DbConnection* conn, char* table_or_buffer, const char* column,
                                     const char* type, const char* size, uint8_t nullable,
                                     uint8_t is_unsigned, int32_t mode);
typedef int32_t (*mod_get_info_fn)(DbConnection* conn, ServerInfo* info, uint32_t info_size);
typedef void (*mod_reconnect_fn)(DbConnection* conn);

/* The outcome of one statement of mod_executebatch (convention 11). */
typedef struct ZelBatchResult {
    int32_t result;     /* as mod_executesql's: rows affected, or a ZEL_RESULT_ code */
    int32_t error_code; /* for a result of 0 or less: mod_getlasterror's code after it */
    const char* error;  /* for a result of 0 or less: mod_geterrorstring's text, or NULL */
} ZelBatchResult;

/* Returns how many statements ran (results[0..n) are filled), or -1 for an invalid call
 * (no connection, no statements, a negative count). */
typedef int32_t (*mod_executebatch_fn)(DbConnection* conn, const char* const* statements,
                                       int32_t count, ZelBatchResult* results);

/* Declarations a module compiles its definitions against. */
ZEL_MODULE_EXPORT int32_t mod_init(void);
ZEL_MODULE_EXPORT int32_t mod_exit(void);
ZEL_MODULE_EXPORT int32_t mod_connect(DbConnection* conn);
ZEL_MODULE_EXPORT int32_t mod_disconnect(DbConnection* conn);
ZEL_MODULE_EXPORT int32_t mod_getlasterror(DbConnection* conn);
ZEL_MODULE_EXPORT const char* mod_geterrorstring(DbConnection* conn);
ZEL_MODULE_EXPORT int32_t mod_executesql(DbConnection* conn, const char* statement);
ZEL_MODULE_EXPORT const char* mod_add_value(DbConnection* conn, const char* value, uint64_t max_chars);
ZEL_MODULE_EXPORT DbConnection* mod_create(ZelModuleParams* params);
ZEL_MODULE_EXPORT int32_t mod_destroy(DbConnection* conn);
ZEL_MODULE_EXPORT uint8_t mod_get_status(DbConnection* conn);
ZEL_MODULE_EXPORT void mod_set_status(DbConnection* conn, int32_t status);
ZEL_MODULE_EXPORT ColumnInfo* mod_get_databaseinfo(DbConnection* conn);
ZEL_MODULE_EXPORT ResultValue* mod_querysql(DbConnection* conn, const char* query, int32_t* status);
ZEL_MODULE_EXPORT void mod_freeresult(DbConnection* conn);
ZEL_MODULE_EXPORT void mod_free_databaseinfo(ColumnInfo* list);
ZEL_MODULE_EXPORT uint8_t mod_add_column(DbConnection* conn, char* table_or_buffer, const char* column,
                                         const char* type, const char* size, uint8_t nullable,
                                         uint8_t is_unsigned, int32_t mode);
ZEL_MODULE_EXPORT int32_t mod_get_info(DbConnection* conn, ServerInfo* info, uint32_t info_size);
ZEL_MODULE_EXPORT void mod_reconnect(DbConnection* conn);
/* Optional (convention 11). */
ZEL_MODULE_EXPORT int32_t mod_executebatch(DbConnection* conn, const char* const* statements,
                                           int32_t count, ZelBatchResult* results);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_MODULE_H */
