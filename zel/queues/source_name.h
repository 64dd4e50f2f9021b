// source_name.h - the file name (without its folders) of the current source file, for the
// diagnostic lines that name the place they were written from ("File:%s Line:%d").
#pragma once

constexpr const char* source_base_name(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return base;
}

#define ZEL_SOURCE_NAME (source_base_name(__FILE__))
