// shared_memory.h - a small named memory section that one process writes and others read.
//
// The writer (zel's start-up, on the main thread) creates or opens the section and keeps a
// shared advisory lock on it for as long as it has it mapped; a reader tests that lock to
// learn whether a writer is alive, which the mere existence of the section cannot tell
// (sections outlive their writers). The section is readable by everyone and writable by
// its owner only.
//
// Names are the program's section names ("Global\Some Name"); platform_shm_name turns them
// into a name this system accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct SharedSection {
    void* address = nullptr;
    size_t size = 0;
    intptr_t handle = -1;
    intptr_t writer_mark = -1;  // Windows: the named object whose existence says a writer lives
    std::string name;           // the system's name of the section
};

// "Global\Name" -> "/Name": the namespace prefix ("Global\" or "Local\") is dropped (this
// system has one namespace per machine), and the slashes and backslashes left are replaced
// by '_', since the name may hold no slash after its leading one.
std::string platform_shm_name(const char* name);

// Creates the section, or opens an existing one keeping its contents, grows it to at least
// `size` bytes, maps it for writing and takes the writer's lock. A new section starts
// zeroed. Returns false with *error set to the system's error code when any step fails;
// nothing is then left open.
bool platform_shm_create(const char* name, size_t size, SharedSection* out, int* error);
// Unmaps and closes a section made above, releasing the writer's lock. The last writer to
// close also removes the name, so a section lives only while some writer has it, and the
// next run starts from zero (readers that still have it mapped keep their copy).
void platform_shm_close(SharedSection* section);

enum ShmReadResult {
    SHM_READ_OK = 1,       // copied (a shorter section is copied as far as it goes, the rest zero)
    SHM_READ_MISSING = 0,  // no section of that name: *out is all zeros
    SHM_READ_OPEN_FAILED = -1,
    SHM_READ_MAP_FAILED = -2
};
// Copies the first `size` bytes of an existing section into `out` without creating it and
// tells whether a writer holds it now. A failure sets *error to the system's error code.
ShmReadResult platform_shm_read(const char* name, void* out, size_t size, bool* writer_alive,
                                int* error);

// Removes the name (an open section stays usable until closed). For tests and tools.
bool platform_shm_remove(const char* name);
