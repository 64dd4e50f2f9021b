// files.h - the few file-system calls that standard C and C++ do not offer as the program
// needs them.
#pragma once

// The separator between a directory and a file name on this platform.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Creates one directory level; true when it was created (an existing one gives false).
bool platform_make_directory(const char* path);
