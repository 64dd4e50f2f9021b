// registry.cpp - the Windows registry under HKEY_LOCAL_MACHINE.
//
// Reads follow the program's rule: open the key for querying, ask for the value's size,
// allocate it, read it, and use the data as text whatever its type. One byte more than
// the value's size is allocated and set to zero, because a registry string need not carry
// its terminator.
#include "platform/registry.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

int platform_registry_read_string(const char* key_path, const char* name, char** out) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        RegCloseKey(key);
        return 0;
    }
    char* data = static_cast<char*>(std::calloc(size + 1, 1));
    if (!data) {
        RegCloseKey(key);
        return -1;
    }
    DWORD got = size;
    LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &got);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        std::free(data);
        return 0;
    }
    *out = data;
    return static_cast<int>(std::strlen(data) + 1);
}

bool platform_registry_write_string(const char* key_path, const char* name, const char* value) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                             static_cast<DWORD>(std::strlen(value) + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

std::string platform_registry_file() {
    return "HKEY_LOCAL_MACHINE";
}
