// registry_key.cpp - whether a key exists under HKEY_LOCAL_MACHINE (the SQL Server
// module detects installed providers this way). Stateless; any thread.
#include "platform/registry.h"

#include <windows.h>

bool platform_registry_key_exists(const char* key_path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}
