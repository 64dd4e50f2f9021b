// registry.h - the machine-wide settings store (install directory, product name, counter
// registration), kept in a small text file on POSIX.
//
// The file holds sections of the form "[HKLM\Software\Corvalinder\ZEL]" followed by
// "name=value" lines; blank lines and lines starting with '#' or ';' are ignored. Key paths
// and value names are compared without regard to case, as the registry does; values are
// taken as written up to the end of the line. The file is ZEL_REGISTRY from the
// environment, or zel/registry in the system configuration directory of the install prefix
// (/etc for a /usr install, /usr/local/etc by default). Called on the main thread
// (start-up, one-shot modes) and by installers; writes replace the file in one rename.
#pragma once

#include <string>

// Reads value `name` of `key_path` under the local machine's root ("Software\..."). On
// success *out receives a malloc'ed copy of the text and the result is its size with the
// terminator (at least 1); otherwise the result is 0 (no such key or value) or -1 (the
// registry file cannot be read) and *out is untouched.
int platform_registry_read_string(const char* key_path, const char* name, char** out);
// Sets value `name` of `key_path`, creating the file, the key and the value as needed.
// Returns true on success.
bool platform_registry_write_string(const char* key_path, const char* name, const char* value);
// Whether key `key_path` exists under the local machine's root (a key that can be opened
// for querying; on POSIX, a section of that name in the file). Used to detect installed
// software by the keys its setup leaves.
bool platform_registry_key_exists(const char* key_path);
// The registry file in use.
std::string platform_registry_file();
