// perf_dll.cpp - the extension's three exports, the registry read and the read-only view of
// zel's statistics block.
//
// The performance library loads this DLL into whatever process asks for performance data
// and calls OpenPerformanceData, CollectPerformanceData and ClosePerformanceData, never two
// of them at once; the open count, the title indices and the view below are therefore plain
// process-wide values without a lock. Only the first Open reads the registry and maps the
// section, only the last Close releases them.
//
// This file is the extension's whole contact with the system (registry, section,
// performance counter); the object itself is built by perf_object.cpp.
#include <windows.h>

#include <sddl.h>
#include <winperf.h>

#include <cstddef>
#include <cstdint>

#include "perfcounters/perf_layout.h"
#include "perfcounters/perf_object.h"
#include "zel_stats.h"

// The published structures as the system header declares them must match ours.
static_assert(sizeof(PERF_OBJECT_TYPE) == sizeof(PerfObjectType));
static_assert(offsetof(PERF_OBJECT_TYPE, PerfTime) == offsetof(PerfObjectType, perf_time));
static_assert(offsetof(PERF_OBJECT_TYPE, CodePage) == offsetof(PerfObjectType, code_page));
static_assert(sizeof(PERF_COUNTER_DEFINITION) == sizeof(PerfCounterDefinition));
static_assert(offsetof(PERF_COUNTER_DEFINITION, CounterOffset) ==
              offsetof(PerfCounterDefinition, counter_offset));
static_assert(sizeof(PERF_COUNTER_BLOCK) == sizeof(PerfCounterBlock));
static_assert(PERF_COUNTER_LARGE_RAWCOUNT == kPerfCounterLargeRawcount);
static_assert(PERF_COUNTER_BULK_COUNT == kPerfCounterBulkCount);
static_assert(PERF_DETAIL_ADVANCED == kPerfDetailAdvanced);

namespace {

constexpr const wchar_t* kPerformanceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\Corvalinder Database Application\\Performance";
// zel's default block. A zel started with another --map-name is not seen here: the
// performance library gives the extension no way to be told a name.
constexpr const char* kSectionName = "Global\\Corvalinder Database Application Perfcounters";
// The security zel gives the section it creates, so that a zel started later under another
// account can still open a section made here (else it falls back to private counters).
constexpr const char* kSectionSecurity = "D:(OA;OI;GAFA;;;WD)";
constexpr const char* kSectionSecurityPlain = "D:(A;OI;GAFA;;;WD)";

LONG g_open_count = 0;
PerfTitleIndices g_titles;
HANDLE g_section = nullptr;
const volatile uint64_t* g_block = nullptr;

DWORD read_dword(HKEY key, const wchar_t* name, uint32_t* out) {
    // Type and size first: a value of another type is refused as such rather than read
    // in part or reported as a buffer too small.
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    if (type != REG_DWORD || size != sizeof(DWORD)) return ERROR_INVALID_DATA;
    DWORD value = 0;
    status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    *out = value;
    return ERROR_SUCCESS;
}

DWORD read_title_indices(PerfTitleIndices* out) {
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPerformanceKey, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    PerfTitleIndices titles;
    DWORD error = read_dword(key, L"First Counter", &titles.first_counter);
    if (error == ERROR_SUCCESS) error = read_dword(key, L"First Help", &titles.first_help);
    RegCloseKey(key);
    if (error == ERROR_SUCCESS) *out = titles;
    return error;
}

// Creates the section at the block's full size, as zel would. Returns the handle or null
// with the last error set.
HANDLE create_section() {
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.bInheritHandle = FALSE;
    attributes.lpSecurityDescriptor = nullptr;
    // Some systems refuse the object ACE without object types; the plain ACE grants the same.
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kSectionSecurity, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr) &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kSectionSecurityPlain, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr))
        return nullptr;
    // Read/write protection on the section so that zel can map it for writing; our own view
    // is read-only.
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                        ZEL_STATS_SECTION_SIZE, kSectionName);
    DWORD error = GetLastError();
    LocalFree(attributes.lpSecurityDescriptor);
    SetLastError(error);
    return section;
}

// Opens zel's section for reading, or creates it when it does not exist yet, and maps it
// read-only. A section is never created smaller than zel's whole section (the block and
// the gauges behind it): zel opens an existing section as it is, and one too small would
// leave zel with private counters that no reader sees.
DWORD map_block(HANDLE* section_out, const volatile uint64_t** block_out) {
    HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, kSectionName);
    if (!section) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) return error;
        section = create_section();
        if (!section) return GetLastError();
    }
    void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
    if (!view) {
        DWORD error = GetLastError();
        CloseHandle(section);
        return error;
    }
    *section_out = section;
    *block_out = static_cast<const volatile uint64_t*>(view);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

DWORD WINAPI OpenPerformanceData(LPWSTR device_names) {
    (void)device_names;
    if (g_open_count == 0) {
        PerfTitleIndices titles;
        DWORD error = read_title_indices(&titles);
        if (error != ERROR_SUCCESS) return error;
        error = map_block(&g_section, &g_block);
        if (error != ERROR_SUCCESS) return error;
        g_titles = titles;
    }
    ++g_open_count;
    return ERROR_SUCCESS;
}

DWORD WINAPI CollectPerformanceData(LPWSTR value_name, LPVOID* data, LPDWORD total_bytes,
                                    LPDWORD object_count) {
    if (!data || !*data || !total_bytes || !object_count) return ERROR_INVALID_PARAMETER;
    *object_count = 0;
    if (g_open_count == 0) {
        *total_bytes = 0;
        return ERROR_SUCCESS;
    }
    PerfSelection selection = perf_select_counters(value_name, g_titles.first_counter);
    if (selection.count == 0) {
        *total_bytes = 0;
        return ERROR_SUCCESS;
    }
    if (*total_bytes < perf_object_bound(selection.count)) {
        *total_bytes = 0;
        return ERROR_MORE_DATA;
    }
    uint64_t values[kPerfCounterCount];
    perf_counter_values(g_block, values);
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    unsigned char* dest = static_cast<unsigned char*>(*data);
    uint32_t written =
        perf_write_object(dest, selection, values, g_titles, now.QuadPart, frequency.QuadPart);
    *data = dest + written;
    *total_bytes = written;
    *object_count = 1;
    return ERROR_SUCCESS;
}

DWORD WINAPI ClosePerformanceData() {
    // A Close without a matching Open must not release what another opener still uses.
    if (g_open_count == 0) return ERROR_SUCCESS;
    if (--g_open_count == 0) {
        UnmapViewOfFile(const_cast<uint64_t*>(g_block));
        CloseHandle(g_section);
        g_block = nullptr;
        g_section = nullptr;
    }
    return ERROR_SUCCESS;
}

}  // extern "C"
