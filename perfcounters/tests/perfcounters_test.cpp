// The performance counter extension against the real system calls, run under Wine: this
// process writes zel's statistics block through the platform layer's writer (as zel does),
// sets "First Counter" and "First Help" in the registry, loads zel_perfcounters.dll and
// checks every byte that CollectPerformanceData returns against an image built here from
// the published layout. Each test loads the DLL afresh and unloads it, so no open count
// survives from one test to the next.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "platform/shared_memory.h"
#include "perfcounters/tests/known_block.h"
#include "zel_stats.h"

namespace {

constexpr const char* kSectionName = "Global\\Corvalinder Database Application Perfcounters";
constexpr const wchar_t* kPerformanceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\Corvalinder Database Application\\Performance";
constexpr uint32_t kFirstCounter = 5010;
constexpr uint32_t kFirstHelp = 5011;
constexpr uint32_t kRaw = 0x00010100;   // large raw count
constexpr uint32_t kBulk = 0x10410500;  // bulk count, shown per second

using OpenFn = DWORD(WINAPI*)(LPWSTR);
using CollectFn = DWORD(WINAPI*)(LPWSTR, LPVOID*, LPDWORD, LPDWORD);
using CloseFn = DWORD(WINAPI*)();

void set_titles(uint32_t first_counter, uint32_t first_help) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPerformanceKey, 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD counter = first_counter, help = first_help;
    EXPECT_EQ(RegSetValueExW(key, L"First Counter", 0, REG_DWORD, reinterpret_cast<BYTE*>(&counter),
                             sizeof counter),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, L"First Help", 0, REG_DWORD, reinterpret_cast<BYTE*>(&help),
                             sizeof help),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void remove_titles() {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPerformanceKey);
}

uint32_t type_of(unsigned i) {
    return (i == 1 || i == 4 || i == 6) ? kBulk : kRaw;
}

void put32(std::vector<uint8_t>& image, size_t at, uint32_t value) {
    std::memcpy(&image[at], &value, 4);
}
void put64(std::vector<uint8_t>& image, size_t at, uint64_t value) {
    std::memcpy(&image[at], &value, 8);
}

// The object that selecting `counters` (increasing) must give when written at `address`.
std::vector<uint8_t> expected_image(const std::vector<unsigned>& counters, const uint64_t* values,
                                    uintptr_t address, int64_t perf_time, int64_t perf_freq) {
    const size_t b = counters.size();
    const size_t block_at = 64 + 40 * b;
    const size_t padding = (8 - (address + block_at + 4) % 8) % 8;
    const size_t total = block_at + 4 + padding + 8 * b;
    std::vector<uint8_t> image(total, 0);
    put32(image, 0, static_cast<uint32_t>(total));
    put32(image, 4, static_cast<uint32_t>(block_at));
    put32(image, 8, 64);
    put32(image, 12, kFirstCounter);
    put32(image, 20, kFirstHelp);
    put32(image, 28, 200);
    put32(image, 32, static_cast<uint32_t>(b));
    put32(image, 36, 0xFFFFFFFF);
    put32(image, 40, 0xFFFFFFFF);
    put64(image, 48, static_cast<uint64_t>(perf_time));
    put64(image, 56, static_cast<uint64_t>(perf_freq));
    for (size_t n = 0; n < b; ++n) {
        const unsigned i = counters[n];
        const size_t at = 64 + 40 * n;
        put32(image, at, 40);
        put32(image, at + 4, kFirstCounter + 2 * (i + 1));
        put32(image, at + 12, kFirstHelp + 2 * (i + 1));
        put32(image, at + 24, 200);
        put32(image, at + 28, type_of(i));
        put32(image, at + 32, 8);
        put32(image, at + 36, static_cast<uint32_t>(4 + padding + 8 * n));
        put64(image, block_at + 4 + padding + 8 * n, values[i]);
    }
    put32(image, block_at, static_cast<uint32_t>(4 + padding + 8 * b));
    return image;
}

std::vector<unsigned> all_counters() {
    std::vector<unsigned> all;
    for (unsigned i = 0; i < 26; ++i) all.push_back(i);
    return all;
}

// One Collect call into a buffer of `capacity` bytes starting `misalign` bytes past an
// 8-byte boundary, the rest of the buffer filled with a marker.
struct Collected {
    DWORD result = 0;
    DWORD bytes = 0;
    DWORD objects = 0;
    ptrdiff_t advanced = 0;
    std::vector<uint8_t> buffer;  // the whole buffer, marker bytes included
    uint8_t* start = nullptr;
    int64_t time_before = 0, time_after = 0;
};

constexpr uint8_t kMarker = 0xCD;

class PerfCountersTest : public ::testing::Test {
protected:
    void SetUp() override {
        remove_titles();
        library_ = platform_library_open(ZEL_PERFCOUNTERS_DLL);
        ASSERT_NE(library_, nullptr) << platform_library_error();
        open_ = reinterpret_cast<OpenFn>(platform_library_symbol(library_, "OpenPerformanceData"));
        collect_ =
            reinterpret_cast<CollectFn>(platform_library_symbol(library_, "CollectPerformanceData"));
        close_ = reinterpret_cast<CloseFn>(platform_library_symbol(library_, "ClosePerformanceData"));
        ASSERT_TRUE(open_ && collect_ && close_);
    }
    void TearDown() override {
        // A test that failed half-way may have left the extension open: close it enough
        // times (extra closes do nothing) that its view does not outlive the test.
        for (int i = 0; close_ && i < 4; ++i) close_();
        if (library_) platform_library_close(library_);
        if (writer_.address) platform_shm_close(&writer_);
        remove_titles();
    }

    StatsBlock* start_writer() {
        int error = 0;
        EXPECT_TRUE(platform_shm_create(kSectionName, ZEL_STATS_SIZE, &writer_, &error)) << error;
        auto* block = static_cast<StatsBlock*>(writer_.address);
        if (block) fill_block(block);
        return block;
    }

    DWORD open() {
        wchar_t devices[] = L"";
        return open_(devices);
    }

    Collected collect(const std::wstring& value_name, size_t capacity, size_t misalign) {
        Collected c;
        c.buffer.assign(capacity + 16, kMarker);
        uint8_t* base = c.buffer.data();
        base += (8 - reinterpret_cast<uintptr_t>(base) % 8) % 8;
        c.start = base + misalign;
        std::wstring name = value_name;
        void* data = c.start;
        c.bytes = static_cast<DWORD>(capacity);
        c.objects = 77;
        LARGE_INTEGER before, after;
        QueryPerformanceCounter(&before);
        c.result = collect_(name.data(), &data, &c.bytes, &c.objects);
        QueryPerformanceCounter(&after);
        c.time_before = before.QuadPart;
        c.time_after = after.QuadPart;
        c.advanced = static_cast<uint8_t*>(data) - c.start;
        return c;
    }

    // Checks a successful collection byte for byte; the time stamp only between the
    // counter readings taken around the call.
    void expect_object(const Collected& c, const std::vector<unsigned>& counters,
                       const uint64_t* values) {
        ASSERT_EQ(c.result, 0u);
        ASSERT_EQ(c.objects, 1u);
        EXPECT_EQ(c.advanced, static_cast<ptrdiff_t>(c.bytes));
        int64_t perf_time;
        std::memcpy(&perf_time, c.start + 48, 8);
        EXPECT_GE(perf_time, c.time_before);
        EXPECT_LE(perf_time, c.time_after);
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        std::vector<uint8_t> want = expected_image(counters, values, reinterpret_cast<uintptr_t>(c.start),
                                                   perf_time, frequency.QuadPart);
        ASSERT_EQ(c.bytes, want.size());
        for (size_t at = 0; at < want.size(); ++at)
            ASSERT_EQ(c.start[at], want[at]) << "byte " << at << " of " << want.size();
        // Nothing written past the object, nor before it.
        for (const uint8_t* p = c.start + c.bytes; p < c.buffer.data() + c.buffer.size(); ++p)
            ASSERT_EQ(*p, kMarker) << "written past the object at " << (p - c.start);
        for (const uint8_t* p = c.buffer.data(); p < c.start; ++p) ASSERT_EQ(*p, kMarker);
        // Every value on an 8-byte boundary of memory.
        const uint8_t* block = c.start + 64 + 40 * counters.size();
        for (size_t n = 0; n < counters.size(); ++n) {
            uint32_t offset;
            std::memcpy(&offset, c.start + 64 + 40 * n + 36, 4);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(block + offset) % 8, 0u) << "counter " << n;
        }
    }

    void expect_nothing(const Collected& c, DWORD result) {
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.bytes, 0u);
        EXPECT_EQ(c.objects, 0u);
        EXPECT_EQ(c.advanced, 0);
        for (uint8_t byte : c.buffer) ASSERT_EQ(byte, kMarker);
    }

    void* library_ = nullptr;
    OpenFn open_ = nullptr;
    CollectFn collect_ = nullptr;
    CloseFn close_ = nullptr;
    SharedSection writer_;
};

std::wstring number(uint64_t n) {
    return std::to_wstring(n);
}

TEST_F(PerfCountersTest, UnopenedOrFailedOpenCollectsNothing) {
    ASSERT_NE(start_writer(), nullptr);
    expect_nothing(collect(L"Global", 4096, 0), 0);

    // Without the registry values Open fails with the registry's code and stays closed.
    EXPECT_EQ(open(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    expect_nothing(collect(L"Global", 4096, 0), 0);
    // A stray Close neither fails nor makes the next Open's count wrong.
    EXPECT_EQ(close_(), 0u);

    // A value of the wrong type is refused rather than read as an index.
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPerformanceKey, 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"First Counter", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"5010"), 10);
    DWORD help = kFirstHelp;
    RegSetValueExW(key, L"First Help", 0, REG_DWORD, reinterpret_cast<BYTE*>(&help), 4);
    RegCloseKey(key);
    EXPECT_EQ(open(), static_cast<DWORD>(ERROR_INVALID_DATA));
    expect_nothing(collect(L"Global", 4096, 0), 0);

    set_titles(kFirstCounter, kFirstHelp);
    ASSERT_EQ(open(), 0u);
    expect_object(collect(L"Global", 4096, 0), all_counters(), kExpected);
    EXPECT_EQ(close_(), 0u);
    expect_nothing(collect(L"Global", 4096, 0), 0);
}

TEST_F(PerfCountersTest, GlobalInAnyCaseGivesAll26CountersAtEveryAlignment) {
    ASSERT_NE(start_writer(), nullptr);
    set_titles(kFirstCounter, kFirstHelp);
    ASSERT_EQ(open(), 0u);
    for (size_t misalign = 0; misalign < 8; ++misalign) {
        SCOPED_TRACE("misalign " + std::to_string(misalign));
        // Exactly the bound (48 * 26 + 75) is always enough.
        expect_object(collect(L"gLoBaL", 48 * 26 + 75, misalign), all_counters(), kExpected);
    }
    expect_object(collect(L"Costly Global", 4096, 3), all_counters(), kExpected);
    EXPECT_EQ(close_(), 0u);
}

TEST_F(PerfCountersTest, NumbersSelectCountersAndTooSmallBufferGetsMoreData) {
    ASSERT_NE(start_writer(), nullptr);
    set_titles(kFirstCounter, kFirstHelp);
    ASSERT_EQ(open(), 0u);

    // One counter (the sum of deduplicated) needs 48 + 75 = 123 bytes, whatever the padding.
    const std::wstring one = number(kFirstCounter + 6);
    for (size_t misalign = 0; misalign < 8; ++misalign) {
        SCOPED_TRACE("misalign " + std::to_string(misalign));
        expect_nothing(collect(one, 122, misalign), ERROR_MORE_DATA);
        expect_object(collect(one, 123, misalign), {2}, kExpected);
    }

    // Several, in any order, repeated, among foreign numbers and words: increasing order,
    // each once.
    const std::wstring several = L"  9999 " + number(kFirstCounter + 2 * 10) + L" " +
                                 number(kFirstCounter + 2) + L"  Costly " + number(kFirstCounter + 2) +
                                 L" " + number(kFirstCounter + 2 * 26) + L" ";
    expect_object(collect(several, 4096, 5), {0, 9, 25}, kExpected);
    expect_nothing(collect(several, 48 * 3 + 74, 5), ERROR_MORE_DATA);

    // The object's own index asks for everything.
    expect_object(collect(number(kFirstCounter + 2) + L" " + number(kFirstCounter), 4096, 1),
                  all_counters(), kExpected);

    // Names that select nothing: no object, no bytes, success.
    for (const std::wstring& name :
         {std::wstring(L""), std::wstring(L"Costly"), std::wstring(L"Foreign 2 4 6"),
          number(kFirstCounter + 1) + L" " + number(kFirstCounter + 54) + L" " +
              number(kFirstHelp + 2),
          // An index beyond 32 bits must not wrap onto one of ours.
          number(uint64_t{kFirstCounter} + 2 + (uint64_t{1} << 32)),
          number(kFirstCounter + 2) + L"x"}) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        expect_nothing(collect(name, 4096, 0), 0);
    }
    EXPECT_EQ(close_(), 0u);
}

TEST_F(PerfCountersTest, ValuesAreReadLiveAndTheRatioIsGuarded) {
    StatsBlock* block = start_writer();
    ASSERT_NE(block, nullptr);
    set_titles(kFirstCounter, kFirstHelp);
    ASSERT_EQ(open(), 0u);
    uint64_t want[26];
    std::memcpy(want, kExpected, sizeof want);

    // Nothing received: the ratio is 0, not a division by zero.
    block->received_messages = 0;
    want[0] = want[1] = 0;
    want[3] = 0;
    expect_object(collect(L"Global", 4096, 0), all_counters(), want);

    // 3 received, 50 merged: 1666 (integer division), and the change is seen at once.
    block->received_messages = 3;
    block->queue[2].updated = 3500;
    block->connected_to_feed = 0;
    want[0] = want[1] = 3;
    want[3] = 1666;
    want[5] = want[6] = 10500;
    want[19] = 3500;
    want[9] = 0;
    expect_object(collect(L"Global", 4096, 0), all_counters(), want);

    // A count near the top of 64 bits: the percentage must not wrap.
    block->received_messages = 0x4000000000000000ull;
    block->queue[0].deduplicated = 0x2000000000000000ull - 45;  // sum 2^61
    want[0] = want[1] = 0x4000000000000000ull;
    want[2] = want[4] = 0x2000000000000000ull;
    want[3] = 50;
    want[12] = 0x2000000000000000ull - 45;
    expect_object(collect(L"Global", 4096, 0), all_counters(), want);
    EXPECT_EQ(close_(), 0u);
}

TEST_F(PerfCountersTest, OnlyTheFirstOpenReadsTheRegistryAndOnlyTheLastCloseReleases) {
    ASSERT_NE(start_writer(), nullptr);
    set_titles(kFirstCounter, kFirstHelp);
    ASSERT_EQ(open(), 0u);
    set_titles(7000, 7001);  // not read again while open
    ASSERT_EQ(open(), 0u);
    EXPECT_EQ(close_(), 0u);
    expect_object(collect(L"Global", 4096, 0), all_counters(), kExpected);
    expect_object(collect(number(kFirstCounter + 6), 4096, 0), {2}, kExpected);
    EXPECT_EQ(close_(), 0u);
    expect_nothing(collect(L"Global", 4096, 0), 0);

    // Reopened: the new indices apply.
    ASSERT_EQ(open(), 0u);
    Collected c = collect(number(7000 + 6), 4096, 0);
    ASSERT_EQ(c.result, 0u);
    ASSERT_EQ(c.objects, 1u);
    uint32_t name_index, help_index;
    std::memcpy(&name_index, c.start + 12, 4);
    std::memcpy(&help_index, c.start + 64 + 12, 4);
    EXPECT_EQ(name_index, 7000u);
    EXPECT_EQ(help_index, 7001u + 6);
    EXPECT_EQ(close_(), 0u);
}

// What the extension asks of the system for its section, recorded by replacing its imports
// of the section calls (the real calls still run): the sizes and the access it requests
// show under Wine too, where a section's size is rounded up to a whole page.
struct SectionCalls {
    int creates = 0;
    HANDLE create_file = nullptr;
    DWORD create_protect = 0;
    DWORD create_size_high = 0;
    DWORD create_size_low = 0;
    int opens = 0;
    DWORD open_access = 0;
    int maps = 0;
    DWORD map_access = 0;
    SIZE_T map_bytes = 0;
};
SectionCalls g_calls;

HANDLE WINAPI record_create(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                            DWORD size_high, DWORD size_low, LPCSTR name) {
    ++g_calls.creates;
    g_calls.create_protect = protect;
    g_calls.create_size_high = size_high;
    g_calls.create_size_low = size_low;
    g_calls.create_file = file;
    return CreateFileMappingA(file, attributes, protect, size_high, size_low, name);
}

HANDLE WINAPI record_open(DWORD access, BOOL inherit, LPCSTR name) {
    ++g_calls.opens;
    g_calls.open_access = access;
    return OpenFileMappingA(access, inherit, name);
}

LPVOID WINAPI record_map(HANDLE section, DWORD access, DWORD offset_high, DWORD offset_low,
                         SIZE_T bytes) {
    ++g_calls.maps;
    g_calls.map_access = access;
    g_calls.map_bytes = bytes;
    return MapViewOfFile(section, access, offset_high, offset_low, bytes);
}

// Points the import of `name` in `module` at `replacement`. False when the module does not
// import it by that name (then nothing could be recorded).
bool replace_import(void* module, const char* name, void* replacement) {
    auto* base = static_cast<uint8_t*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress) return false;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
        if (!d->OriginalFirstThunk) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), name) != 0) continue;
            DWORD old;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old))
                return false;
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            return true;
        }
    }
    return false;
}

void record_section_calls(void* module) {
    g_calls = SectionCalls{};
    ASSERT_TRUE(replace_import(module, "CreateFileMappingA", reinterpret_cast<void*>(&record_create)));
    ASSERT_TRUE(replace_import(module, "OpenFileMappingA", reinterpret_cast<void*>(&record_open)));
    ASSERT_TRUE(replace_import(module, "MapViewOfFile", reinterpret_cast<void*>(&record_map)));
}

TEST_F(PerfCountersTest, ABlockWrittenByAnotherProcessIsReadAndOutlivesIt) {
    // zel in a process of its own; the extension in this one.
    std::string ready_name = "zel perfcounters ready " + std::to_string(GetCurrentProcessId());
    std::string done_name = "zel perfcounters done " + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ready_name.c_str());
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, done_name.c_str());
    ASSERT_TRUE(ready && done);
    // The writer is built beside this program.
    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
    std::string writer = self;
    writer = writer.substr(0, writer.find_last_of("\\/") + 1) + "perfcounters_block_writer.exe";
    std::string command = "\"" + writer + "\" \"" + ready_name +
                          "\" \"" + done_name + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
        << GetLastError();
    HANDLE waits[2] = {ready, process.hProcess};
    ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, 30000), WAIT_OBJECT_0) << "the writer did not start";

    set_titles(kFirstCounter, kFirstHelp);
    ASSERT_EQ(open(), 0u);
    expect_object(collect(L"Global", 4096, 0), all_counters(), kExpected);

    // zel ends: the section stays while the extension has it, with the last values.
    SetEvent(done);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exit_code = 99;
    GetExitCodeProcess(process.hProcess, &exit_code);
    EXPECT_EQ(exit_code, 0u);
    expect_object(collect(L"Global", 4096, 0), all_counters(), kExpected);
    EXPECT_EQ(close_(), 0u);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(ready);
    CloseHandle(done);
}

// The size of a section as the system records it.
int64_t section_size(const char* name) {
    struct SectionBasicInformation {
        void* base;
        ULONG attributes;
        LARGE_INTEGER size;
    } info{};
    using QueryFn = LONG(WINAPI*)(HANDLE, int, void*, SIZE_T, SIZE_T*);
    auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySection")));
    if (!query) return -1;
    HANDLE section = OpenFileMappingA(SECTION_QUERY | FILE_MAP_READ, FALSE, name);
    if (!section) return -2;
    LONG status = query(section, 0, &info, sizeof info, nullptr);
    CloseHandle(section);
    return status == 0 ? info.size.QuadPart : -3;
}

TEST_F(PerfCountersTest, ASectionMadeBeforeZelHoldsTheWholeBlockAndIsMappedReadOnly) {
    // No writer yet: the extension makes the section at the block's full size, writable for
    // zel, maps it only for reading, and reads zeros.
    ASSERT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, kSectionName), nullptr);
    record_section_calls(library_);
    set_titles(kFirstCounter, kFirstHelp);
    ASSERT_EQ(open(), 0u);
    EXPECT_EQ(g_calls.creates, 1);
    EXPECT_EQ(g_calls.create_file, INVALID_HANDLE_VALUE);  // backed by the paging file
    EXPECT_EQ(g_calls.create_protect, static_cast<DWORD>(PAGE_READWRITE));
    EXPECT_EQ(g_calls.create_size_high, 0u);
    EXPECT_EQ(g_calls.create_size_low, static_cast<DWORD>(ZEL_STATS_SECTION_SIZE));
    EXPECT_EQ(g_calls.maps, 1);
    EXPECT_EQ(g_calls.map_access, static_cast<DWORD>(FILE_MAP_READ));
    EXPECT_GE(section_size(kSectionName), ZEL_STATS_SECTION_SIZE);  // exact on Windows, a page on Wine
    const uint64_t zeros[26] = {};
    expect_object(collect(L"Global", 4096, 0), all_counters(), zeros);

    // zel starting later opens that section at its full size and its counters show.
    ASSERT_NE(start_writer(), nullptr);
    expect_object(collect(L"Global", 4096, 0), all_counters(), kExpected);
    EXPECT_EQ(close_(), 0u);

    // With zel's section there, the extension only opens it, for reading.
    g_calls = SectionCalls{};
    ASSERT_EQ(open(), 0u);
    EXPECT_EQ(g_calls.creates, 0);
    EXPECT_EQ(g_calls.opens, 1);
    EXPECT_EQ(g_calls.open_access, static_cast<DWORD>(FILE_MAP_READ));
    EXPECT_EQ(g_calls.map_access, static_cast<DWORD>(FILE_MAP_READ));
    expect_object(collect(L"Global", 4096, 0), all_counters(), kExpected);
    EXPECT_EQ(close_(), 0u);
}

TEST_F(PerfCountersTest, ASectionThatGrantsOnlyReadingIsOpened) {
    // A section whose access list lets everyone read and nobody write: an extension that
    // asked for more than reading could not open it.
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:P(A;;GR;;;WD)", SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr));
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                        ZEL_STATS_SIZE, kSectionName);
    LocalFree(attributes.lpSecurityDescriptor);
    ASSERT_NE(section, nullptr);
    auto* block = static_cast<StatsBlock*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(block, nullptr);
    fill_block(block);
    HANDLE writable = OpenFileMappingA(FILE_MAP_WRITE, FALSE, kSectionName);
    EXPECT_EQ(writable, nullptr) << "the access list is not enforced; this test shows nothing";
    if (writable) CloseHandle(writable);

    set_titles(kFirstCounter, kFirstHelp);
    EXPECT_EQ(open(), 0u);
    expect_object(collect(L"Global", 4096, 0), all_counters(), kExpected);
    EXPECT_EQ(close_(), 0u);
    UnmapViewOfFile(block);
    CloseHandle(section);
}

// The counter-text files that lodctr installs must name the object at offset 0 and
// counter i at 2(i + 1), with a name and a help text for each symbol.
TEST(CounterTexts, SymbolsMatchThePublishedIndices) {
    std::ifstream header(ZEL_PERFCOUNTERS_SOURCE_DIR "/zel_perfcounters.h");
    std::ifstream ini(ZEL_PERFCOUNTERS_SOURCE_DIR "/zel_perfcounters.ini");
    ASSERT_TRUE(header && ini);
    std::vector<std::string> symbols;
    std::regex define(R"(#define\s+(\w+)\s+(\d+)\s*)");
    std::string line;
    while (std::getline(header, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, define)) continue;
        EXPECT_EQ(std::stoul(m[2].str()), 2 * symbols.size()) << m[1];
        symbols.push_back(m[1]);
    }
    EXPECT_EQ(symbols.size(), 27u);
    std::map<std::string, std::string> text;
    bool in_info = false;
    std::string drivername, symbolfile;
    while (std::getline(ini, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') in_info = line == "[info]";
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        if (in_info && name == "drivername") drivername = value;
        if (in_info && name == "symbolfile") symbolfile = value;
        text[name] = value;
    }
    // lodctr writes First Counter and First Help under the service key of this name.
    EXPECT_EQ(drivername, "Corvalinder Database Application");
    EXPECT_EQ(symbolfile, "zel_perfcounters.h");
    for (const std::string& symbol : symbols) {
        EXPECT_FALSE(text[symbol + "_009_NAME"].empty()) << symbol;
        EXPECT_FALSE(text[symbol + "_009_HELP"].empty()) << symbol;
    }
}

}  // namespace
