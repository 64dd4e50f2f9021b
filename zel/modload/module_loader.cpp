// module_loader.cpp - opens the database module and fills the DbModule table.
//
// Runs on the main thread only (start-up and shutdown), so g_module and the library handle
// need no lock. The loader first checks that the file can be opened at all, then loads it,
// so that an operator reads "Failed to open" for a wrong path and "Failed to load" for a
// file that is there but is no usable library. The platform gives each failure an error
// number and a text: the number goes into the loader's message, the text onto the next line.
#include "zel/modload/module_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/dynlib.h"
#include "platform/files.h"
#include "zel/base/log.h"

DbModule g_module{};
mod_executebatch_fn g_module_executebatch = nullptr;

namespace {

void* g_library = nullptr;

// A bare name is left to the system's library search, which never looks in the current
// directory: a service started in a directory others can write to would otherwise load
// whatever library someone planted there under the module's name. A module beside the
// configuration is named with its path ("./dbdrv_pgsql.so" for the current directory).
std::string resolve(const char* file) {
    return file;
}

// Step 1: can the file be opened at all? A path is opened for reading; a bare name left to
// the system's search can only be probed by loading it, and that probe is released at once.
bool probe(const char* file, const std::string& path) {
    if (path.find('/') != std::string::npos || path.find(kPathSeparator) != std::string::npos) {
        std::FILE* handle = std::fopen(path.c_str(), "rb");
        if (handle == nullptr) {
            int error = errno;
            log_message(LOG_LEVEL_ERROR, "Failed to open modulefile: %s, error:%d", file, error);
            log_message(LOG_LEVEL_ERROR, "Module file %s: %s", file, std::strerror(error));
            return false;
        }
        std::fclose(handle);
        return true;
    }
    void* library = platform_library_open(path.c_str());
    if (library == nullptr) {
        const char* text = platform_library_error();
        log_message(LOG_LEVEL_ERROR, "Failed to open modulefile: %s, error:%d", file,
                    platform_library_error_code());
        log_message(LOG_LEVEL_ERROR, "Module file %s: %s", file, text);
        log_message(LOG_LEVEL_ERROR,
                    "A module file named without a directory is searched in the system's "
                    "library directories only; give its path (./%s for the current directory)",
                    file);
        return false;
    }
    platform_library_close(library);
    return true;
}

// One slot of the binding: the exported name and where its address goes.
struct Binding {
    const char* name;
    void (*store)(DbModule& module, void* address);
};

#define ZEL_BIND(entry)                                                                     \
    {                                                                                       \
#entry, [](DbModule & module,                                                       \
                   void* address) { module.entry = reinterpret_cast<entry##_fn>(address); } \
    }

// The order in which the names are looked up (it decides which missing name is reported
// when several are missing), which differs from the slot order of DbModule.
const Binding kBindings[] = {
    ZEL_BIND(mod_create),
    ZEL_BIND(mod_init),
    ZEL_BIND(mod_connect),
    ZEL_BIND(mod_destroy),
    ZEL_BIND(mod_disconnect),
    ZEL_BIND(mod_getlasterror),
    ZEL_BIND(mod_geterrorstring),
    ZEL_BIND(mod_executesql),
    ZEL_BIND(mod_exit),
    ZEL_BIND(mod_add_value),
    ZEL_BIND(mod_set_status),
    ZEL_BIND(mod_get_status),
    ZEL_BIND(mod_get_databaseinfo),
    ZEL_BIND(mod_free_databaseinfo),
    ZEL_BIND(mod_querysql),
    ZEL_BIND(mod_freeresult),
    ZEL_BIND(mod_get_info),
    ZEL_BIND(mod_add_column),
    ZEL_BIND(mod_reconnect),
};

#undef ZEL_BIND

// Entry points a module may leave out; a missing one leaves its slot null. Bound with the
// same lookup as the 19, into the same local table first.
struct OptionalBinding {
    const char* name;
    void (*store)(void* address);
};

const OptionalBinding kOptionalBindings[] = {
    {"mod_executebatch",
     [](void* address) {
         g_module_executebatch = reinterpret_cast<mod_executebatch_fn>(address);
     }},
};

static_assert(sizeof kBindings / sizeof kBindings[0] == 19, "every entry point is bound");

void report_missing(const char* file, const char* name) {
    const char* text = platform_library_error();
    int error = platform_library_error_code();
    const char* short_name = name + std::strlen("mod_");
    if (std::strcmp(name, "mod_add_column") == 0)
        log_message(LOG_LEVEL_ERROR, "Failed to find add_column in modulefile: %s, error:%d", file,
                    error);
    else if (std::strcmp(name, "mod_reconnect") == 0)
        log_message(LOG_LEVEL_ERROR, "Failed to find reconnect in modulefile: %s, error:%d", file,
                    error);
    else
        log_message(LOG_LEVEL_ERROR, "Failed to find function %s in modulefile: %s, error:%d",
                    short_name, file, error);
    if (text[0] != '\0') log_message(LOG_LEVEL_ERROR, "Module file %s: %s", file, text);
}

}  // namespace

int load_module(const char* file) {
    if (file == nullptr || file[0] == '\0') {
        log_message(LOG_LEVEL_ERROR, "No database module is configured (key instance)");
        return -1;
    }
    if (g_library != nullptr) {
        log_message(LOG_LEVEL_ERROR,
                    "Cannot load modulefile %s: a database module is loaded already", file);
        return -1;
    }
    std::string path = resolve(file);
    if (!probe(file, path)) return -1;

    void* library = platform_library_open(path.c_str());
    if (library == nullptr) {
        const char* text = platform_library_error();
        log_message(LOG_LEVEL_ERROR, "Failed to load modulefile: %s, error:%d", file,
                    platform_library_error_code());
        log_message(LOG_LEVEL_ERROR, "Module file %s: %s", file, text);
        return -1;
    }
    g_library = library;

    // Bound into a local table first: callers never see a module with some slots missing.
    DbModule bound{};
    for (const Binding& binding : kBindings) {
        void* address = platform_library_symbol(library, binding.name);
        if (address == nullptr) {
            report_missing(file, binding.name);
            return -1;
        }
        binding.store(bound, address);
    }

    if (bound.mod_init() != 1) {
        log_message(LOG_LEVEL_ERROR, "Error initializing module, mod_init() failed");
        return -1;
    }
    g_module = bound;
    for (const OptionalBinding& binding : kOptionalBindings)
        binding.store(platform_library_symbol(library, binding.name));
    return 1;
}

void unload_module() {
    g_module = DbModule{};
    g_module_executebatch = nullptr;
    if (g_library == nullptr) return;
    if (!platform_library_close(g_library))
        log_message(LOG_LEVEL_PROBLEM, "Could not release the database module: %s",
                    platform_library_error());
    g_library = nullptr;
}

bool module_loaded() {
    return g_library != nullptr;
}
