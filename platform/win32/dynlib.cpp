// dynlib.cpp - LoadLibraryA, GetProcAddress and FreeLibrary.
//
// A name without a directory is left to the system's search (the program's own directory
// first), as the module is loaded by name. Forward slashes are turned into backslashes,
// which the loader documents as the only separator. The error text and code of the last
// failure are kept per thread, as GetLastError is.
#include "platform/dynlib.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

thread_local char t_error[512] = "";
thread_local int t_error_code = 0;

void remember_error(const char* what) {
    DWORD code = GetLastError();
    t_error_code = static_cast<int>(code);
    char text[400] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, sizeof text, nullptr);
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        text[--length] = '\0';
    std::snprintf(t_error, sizeof t_error, "%s: system error %lu%s%s", what,
                  static_cast<unsigned long>(code), length ? ", " : "", text);
}

void clear_error() {
    t_error[0] = '\0';
    t_error_code = 0;
}

}  // namespace

void* platform_library_open(const char* path) {
    clear_error();
    std::string name = path;
    for (char& c : name)
        if (c == '/') c = '\\';
    // No message box for a library that is missing its own dependencies: the loader
    // reports the failure in the log instead.
    UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // A bare name is searched in the program's directory and the system's, never in the
    // current directory, where anyone who can write there could plant a library.
    const bool bare = name.find('\\') == std::string::npos && name.find(':') == std::string::npos;
    HMODULE library = bare ? LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
                           : LoadLibraryA(name.c_str());
    if (!library) remember_error("cannot load the library");
    SetErrorMode(previous);
    return reinterpret_cast<void*>(library);
}

void* platform_library_symbol(void* library, const char* name) {
    clear_error();
    FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
    if (!address) remember_error("symbol not found");
    return reinterpret_cast<void*>(address);
}

bool platform_library_close(void* library) {
    clear_error();
    if (FreeLibrary(static_cast<HMODULE>(library))) return true;
    remember_error("cannot release the library");
    return false;
}

const char* platform_library_error() {
    return t_error;
}

int platform_library_error_code() {
    return t_error_code;
}
