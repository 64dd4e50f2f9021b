// files.cpp - directories with CreateDirectoryA.
#include "platform/files.h"

#include <windows.h>

bool platform_make_directory(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}
