// config_file.h - the configuration file: where it is, how its lines read, what each key
// sets in g_config.
//
// Called on the main thread by the start-up (and by the plain run of the entry point)
// after the command line has been read and before any other thread starts.
#pragma once

#include <string>

// Reads g_config.config_path into g_config. Returns -1 when the file cannot be opened
// (g_config untouched) or read (a directory, an I/O error), else 1. Malformed lines and
// unknown keys are skipped in silence.
int read_config_file();

// Splits one key line in place: *key is the text up to the first white space, *value the
// rest after the run of white space that follows, exactly as written. Returns 0 when the
// line has no value (nothing after the key but white space), else 1.
int split_config_line(char* line, char** key, char** value);

// Reads a text value under the local machine's registry root into a malloc'ed copy.
// Returns its size with terminator (at least 1), or 0 / -1 when it cannot be read.
int read_registry_string(const char* key_path, const char* value_name, char** out);

// The file used when --config is not given and ./zel.config cannot be opened: the install
// directory from the registry followed by "/ZEL/zel.config", or "zel.config" when the
// registry names none.
std::string registry_config_path();

// Finds and reads the configuration: the --config name; otherwise "zel.config" in the
// current directory, then registry_config_path(). Leaves the name used in
// g_config.config_path. When the file cannot be opened, logs at level 2 "Could not open
// config file '%s'" and returns -1; returns 1 when it was read.
int load_configuration();
