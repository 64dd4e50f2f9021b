// module_loader.h - the DbModule table: the loaded database module's 19 entry points.
//
// The start-up sequence calls load_module once on the main thread, before any connection
// exists; every later database call of the program goes through g_module. The table is
// written only by load_module and unload_module, both on the main thread while no database
// thread runs, and read without a lock in between. The library handle is kept here, by the
// loader, not in Config: nothing but the loader opens or releases it.
#pragma once

#include "zel_module.h"

// The 19 entry points in slot order (slot 0 mod_init ... slot 18 mod_reconnect).
struct DbModule {
    mod_init_fn mod_init;
    mod_exit_fn mod_exit;
    mod_connect_fn mod_connect;
    mod_disconnect_fn mod_disconnect;
    mod_getlasterror_fn mod_getlasterror;
    mod_geterrorstring_fn mod_geterrorstring;
    mod_executesql_fn mod_executesql;
    mod_add_value_fn mod_add_value;
    mod_create_fn mod_create;
    mod_destroy_fn mod_destroy;
    mod_get_status_fn mod_get_status;
    mod_set_status_fn mod_set_status;
    mod_get_databaseinfo_fn mod_get_databaseinfo;
    mod_querysql_fn mod_querysql;
    mod_freeresult_fn mod_freeresult;
    mod_free_databaseinfo_fn mod_free_databaseinfo;
    mod_add_column_fn mod_add_column;
    mod_get_info_fn mod_get_info;
    mod_reconnect_fn mod_reconnect;
};

static_assert(sizeof(DbModule) == 19 * sizeof(void (*)()), "DbModule holds exactly the 19 slots");

// The process-wide table; all slots are null while no module is bound.
extern DbModule g_module;

// The optional batch entry point (zel_module.h, convention 11), bound beside the table by
// load_module when the module exports it; null otherwise, and then statements go one by
// one through mod_executesql. Written and read under the same rules as g_module.
extern mod_executebatch_fn g_module_executebatch;

// Loads the module file, binds the 19 entry points and calls mod_init. Returns 1, or -1
// after logging why at level 2. A name without a directory is looked for in the current
// directory first and otherwise left to the system's library search. On failure every
// slot stays null; a library that was opened stays open until unload_module (the
// start-up ends the process anyway).
int load_module(const char* file);

// Releases the library (after mod_exit, which is the caller's) and clears every slot.
// Does nothing when no library is open.
void unload_module();

// Whether a library is open (bound or not).
bool module_loaded();
