// dynlib.cpp - dlopen, dlsym and dlclose.
//
// dlerror's text is consumed by the next dl call, so it is copied into a thread-local
// buffer at the moment of failure.
#include "platform/dynlib.h"

#include <dlfcn.h>

#include <cstdio>

namespace {

thread_local char t_error[512] = "";

void remember_error(const char* fallback) {
    const char* text = dlerror();
    std::snprintf(t_error, sizeof t_error, "%s", text ? text : fallback);
}

}  // namespace

void* platform_library_open(const char* path) {
    t_error[0] = '\0';
    // RTLD_LOCAL: two modules never see each other's symbols; RTLD_NOW: a module with an
    // unresolved symbol fails here, where it can be reported, not in the middle of a run.
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library) remember_error("cannot open the library");
    return library;
}

void* platform_library_symbol(void* library, const char* name) {
    t_error[0] = '\0';
    dlerror();
    void* address = dlsym(library, name);
    if (!address) remember_error("symbol not found");
    return address;
}

bool platform_library_close(void* library) {
    t_error[0] = '\0';
    if (dlclose(library) == 0) return true;
    remember_error("cannot close the library");
    return false;
}

const char* platform_library_error() {
    return t_error;
}

int platform_library_error_code() {
    return 0;
}
