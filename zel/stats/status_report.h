// status_report.h - the --status report: the counters of a running (or past) zel, read
// from its shared block by name.
//
// Called on the main thread of a separate `zel --status` process.
#pragma once

#include <cstdio>

// Prints the report for the block named `map_name` to `out` and returns the process exit
// code: 0 when printed, 1 when the block exists but cannot be read (the reason is printed).
// A block that does not exist reads as zeros and is not created.
int print_status_report(const char* map_name, FILE* out);
