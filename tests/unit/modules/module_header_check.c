/*
 * module_header_check.c - include/zel_module.h compiled as C.
 *
 * Modules may be written in C, so the header must compile as C, and its records must have
 * the same layout in both languages: the C++ test compares these numbers with its own.
 */
#include <stddef.h>

#include "zel_module.h"

/* Referencing a function type of every kind proves the typedefs are valid C. */
static mod_add_column_fn g_add_column_type_check;
static mod_querysql_fn g_querysql_type_check;

size_t zel_c_layout(int which) {
    (void)g_add_column_type_check;
    (void)g_querysql_type_check;
    switch (which) {
        case 0:
            return sizeof(ZelModuleParams);
        case 1:
            return offsetof(ZelModuleParams, ssl_cipher);
        case 2:
            return offsetof(ZelModuleParams, server_version);
        case 3:
            return offsetof(ZelModuleParams, use_transactions);
        case 4:
            return sizeof(ResultValue);
        case 5:
            return offsetof(ResultValue, value);
        case 6:
            return sizeof(ColumnInfo);
        case 7:
            return offsetof(ColumnInfo, nullable);
        case 8:
            return offsetof(ColumnInfo, is_unsigned);
        case 9:
            return sizeof(ServerInfo);
        case 10:
            return offsetof(ServerInfo, transaction_start);
        case 11:
            return ZEL_COLUMN_TEXT_SIZE;
        default:
            return 0;
    }
}

/* The numbered constants as C sees them, in a fixed order. */
int zel_c_constant(int which) {
    static const int constants[] = {
        ZEL_RESULT_FAILED,    ZEL_RESULT_LOST,         ZEL_RESULT_RERUN, ZEL_RESULT_REJECTED,
        ZEL_STATUS_CONNECTED, ZEL_STATUS_RECONNECTING, ZEL_STATUS_STOP,  ZEL_COLUMN_ADD,
        ZEL_COLUMN_ALTER,     ZEL_COLUMN_RENDER,
    };
    return which >= 0 && which < (int)(sizeof constants / sizeof constants[0]) ? constants[which]
                                                                               : 0;
}
