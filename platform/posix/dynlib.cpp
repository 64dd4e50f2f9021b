// dynlib.cpp - dlopen, dlsym and dlclose.
//
// dlerror's text is consumed by the next dl call, so it is copied into a thread-local
// buffer at the moment of failure. The dl functions report no error number, only text; the
// number is derived here, where the text's wording is known, so that callers never parse it.
#include "platform/dynlib.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

thread_local char t_error[512] = "";
thread_local int t_error_code = 0;

// The kinds of a failed dlopen, told apart by the loader's wording. The phrases are
// searched in this order: "ELF" last, as the more precise ones also mention it.
int open_error_number(const char* text) {
    struct Phrase {
        const char* words;
        int number;
    };
    static const Phrase kPhrases[] = {
        {"No such file", ENOENT},     {"Permission denied", EACCES},
        {"Is a directory", EISDIR},   {"undefined symbol", ENOSYS},
        {"file too short", ENOEXEC},  {"invalid ELF header", ENOEXEC},
        {"wrong ELF class", ENOEXEC}, {"ELF", ENOEXEC},
    };
    for (const Phrase& phrase : kPhrases) {
        if (std::strstr(text, phrase.words) != nullptr) return phrase.number;
    }
    return EINVAL;
}

void clear_error() {
    t_error[0] = '\0';
    t_error_code = 0;
}

// `number` is the failure's kind when the call alone tells it (a symbol that is not
// exported); 0 asks for the kind to be read from the loader's text.
void remember_error(const char* fallback, int number) {
    const char* text = dlerror();
    std::snprintf(t_error, sizeof t_error, "%s", text ? text : fallback);
    t_error_code = number != 0 ? number : open_error_number(t_error);
}

}  // namespace

void* platform_library_open(const char* path) {
    clear_error();
    // RTLD_LOCAL: two modules never see each other's symbols; RTLD_NOW: a module with an
    // unresolved symbol fails here, where it can be reported, not in the middle of a run.
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library) remember_error("cannot open the library", 0);
    return library;
}

void* platform_library_symbol(void* library, const char* name) {
    clear_error();
    dlerror();
    void* address = dlsym(library, name);
    if (!address) remember_error("symbol not found", ENOSYS);
    return address;
}

bool platform_library_close(void* library) {
    clear_error();
    if (dlclose(library) == 0) return true;
    remember_error("cannot close the library", EINVAL);
    return false;
}

const char* platform_library_error() {
    return t_error;
}

int platform_library_error_code() {
    return t_error_code;
}
