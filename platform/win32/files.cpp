// files.cpp - directories with CreateDirectoryA; standard input in binary mode.
#include "platform/files.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

bool platform_make_directory(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

// The C runtime reads standard input in text mode, which turns CR LF into LF and stops at a
// Ctrl+Z byte: a gzip stream read through it would be corrupted.
int platform_binary_standard_input() {
    _setmode(_fileno(stdin), _O_BINARY);
    return _fileno(stdin);
}
