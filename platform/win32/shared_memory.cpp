// shared_memory.cpp - named sections backed by the paging file (CreateFileMappingA).
//
// The writer's section gets the security descriptor made from kSectionSecurity (full
// access for everyone), so that a service and an interactive user share one block. A
// section lives while any handle to it is open, readers' handles included, so the section's
// existence cannot tell a reader whether zel still runs: the writer also holds a named
// mutex, "<section name> Writer", which disappears with the writer's process. Readers open
// the section read-only and never create it.
#include "platform/shared_memory.h"

#include <windows.h>

#include <sddl.h>

#include <cstring>

namespace {

// Full access for everyone, inherited by objects the section would hold. Written as an
// object ACE without object types, which grants what the plain ACE of the fallback grants;
// some implementations (Wine's among them) refuse an object ACE whose type fields are empty,
// and the fallback keeps the section shared there instead of leaving the counters private.
constexpr const char* kSectionSecurity = "D:(OA;OI;GAFA;;;WD)";
constexpr const char* kSectionSecurityPlain = "D:(A;OI;GAFA;;;WD)";

std::string writer_mark_name(const std::string& name) {
    return name + " Writer";
}

}  // namespace

std::string platform_shm_name(const char* name) {
    return name;
}

bool platform_shm_create(const char* name, size_t size, SharedSection* out, int* error) {
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.bInheritHandle = TRUE;
    attributes.lpSecurityDescriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kSectionSecurity, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr) &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kSectionSecurityPlain, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
        *error = static_cast<int>(GetLastError());
        return false;
    }
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(size), name);
    DWORD create_error = GetLastError();
    HANDLE mark = nullptr;
    if (section) mark = CreateMutexA(&attributes, FALSE, writer_mark_name(name).c_str());
    DWORD mark_error = GetLastError();
    LocalFree(attributes.lpSecurityDescriptor);
    if (!section) {
        *error = static_cast<int>(create_error);
        return false;
    }
    if (!mark) {
        *error = static_cast<int>(mark_error);
        CloseHandle(section);
        return false;
    }
    void* address = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, size);
    if (!address) {
        *error = static_cast<int>(GetLastError());
        CloseHandle(mark);
        CloseHandle(section);
        return false;
    }
    out->address = address;
    out->size = size;
    out->handle = reinterpret_cast<intptr_t>(section);
    out->writer_mark = reinterpret_cast<intptr_t>(mark);
    out->name = name;
    return true;
}

void platform_shm_close(SharedSection* section) {
    if (section->address) UnmapViewOfFile(section->address);
    if (section->handle != -1) CloseHandle(reinterpret_cast<HANDLE>(section->handle));
    if (section->writer_mark != -1) CloseHandle(reinterpret_cast<HANDLE>(section->writer_mark));
    *section = SharedSection{};
}

ShmReadResult platform_shm_read(const char* name, void* out, size_t size, bool* writer_alive,
                                int* error) {
    std::memset(out, 0, size);
    *writer_alive = false;
    HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (!section) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) return SHM_READ_MISSING;
        *error = static_cast<int>(code);
        return SHM_READ_OPEN_FAILED;
    }
    void* address = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
    if (!address) {
        *error = static_cast<int>(GetLastError());
        CloseHandle(section);
        return SHM_READ_MAP_FAILED;
    }
    // The view covers whole pages of the section; copy no more than the section has.
    MEMORY_BASIC_INFORMATION region;
    size_t available = size;
    if (VirtualQuery(address, &region, sizeof region) == sizeof region && region.RegionSize < size)
        available = region.RegionSize;
    std::memcpy(out, address, available);
    UnmapViewOfFile(address);
    CloseHandle(section);
    HANDLE mark = OpenMutexA(SYNCHRONIZE, FALSE, writer_mark_name(name).c_str());
    if (mark) {
        *writer_alive = true;
        CloseHandle(mark);
    }
    return SHM_READ_OK;
}

bool platform_shm_remove(const char* name) {
    // A section's name goes with its last handle; there is nothing to remove by name. Said
    // so by the result when a section of that name is still open somewhere.
    HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (!section) return true;
    CloseHandle(section);
    return false;
}
