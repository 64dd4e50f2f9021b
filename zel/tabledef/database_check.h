// database_check.h - the comparison of the database's tables and columns with the table
// definitions, and the repair of what differs.
//
// The start-up runs it once on the main thread, on connection 1, after the table
// definitions are read and before any other thread exists (at every start when
// `checkdatabase` is 1, and alone in the check modes). Missing columns fail it: every
// statement of their kinds would fail. Columns whose definition differs (compared only with
// `check_types`) are warnings. With `check` and `upgrade_db` both set it adds and changes
// columns itself through the module. It reports through log_message; the start-up decides
// what a failure means for the run (the "System check failed" line, the key prompt,
// mod_exit).
#pragma once

#include "zel/modload/module_loader.h"

struct Config;
class TableDefinitions;

enum DatabaseCheckResult {
    DATABASE_CHECK_FAILED = 0,          // missing columns, a refused upgrade, no definitions
    DATABASE_CHECK_PASSED = 1,          // nothing missing, nothing changed
    DATABASE_CHECK_WARNINGS = 2,        // only changed definitions
    DATABASE_CHECK_NO_DESCRIPTION = -1  // the module could not describe the database
};

// Runs the check through `module` on `connection` and returns a DatabaseCheckResult. The
// database description is always handed back to the module before returning. On
// DATABASE_CHECK_NO_DESCRIPTION the reason has been logged ("Database check failed. Error:
// '%s', Code: %d").
int check_database(const DbModule& module, DbConnection* connection, const TableDefinitions& defs,
                   const Config& config);
