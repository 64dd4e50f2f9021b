// sql_log.h - control of the SQL log file beyond sql_log_write (zel/base/log.h).
#pragma once

// Closes the open SQL log file, if any; the next statement opens the file of its day again.
// Safe while the database threads write (it takes the SQL log's lock). Used at shutdown
// and by tests that remove the directory.
void sql_log_close();
