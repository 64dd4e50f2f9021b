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

// The descriptor of standard input, set to deliver its bytes unchanged (no line-end or
// end-of-file translation), for readers that take a descriptor.
int platform_binary_standard_input();
