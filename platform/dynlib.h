// dynlib.h - loading a shared library at run time and finding its entry points.
//
// Used by the module loader (zel/modload) on the main thread. The error text and code
// belong to the calling thread and stay valid until its next call here.
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
// The system's error number of that failure, 0 when none. Every platform classifies its
// own failures here, so callers never read the text to tell them apart: GetLastError's
// code on Windows; on POSIX, whose loader reports failures as text only, the errno value
// of the same kind of failure (ENOENT missing, EACCES not readable, EISDIR a directory,
// ENOEXEC no usable library, ENOSYS a symbol missing, EINVAL anything else).
int platform_library_error_code();
