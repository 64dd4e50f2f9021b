// dynlib.h - loading a shared library at run time and finding its entry points.
//
// Used by the module loader (zel/modload) on the main thread. The error text belongs to
// the calling thread and stays valid until its next call here.
#pragma once

// Opens the library file; nullptr on failure (see platform_library_error). A name without a
// directory goes to the system's library search, which must not include the current
// directory (a library planted there would be loaded under the module's name).
void* platform_library_open(const char* path);
// The address of an exported symbol; nullptr when the library does not export it.
void* platform_library_symbol(void* library, const char* name);
// Closes a library opened above; returns true on success.
bool platform_library_close(void* library);
// The text of the last failure of the calling thread ("" when none).
const char* platform_library_error();
// The system's error code of that failure: GetLastError on Windows; 0 where the system
// reports its loader failures as text only (POSIX), which the caller then reads itself.
int platform_library_error_code();
