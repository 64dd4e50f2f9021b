// process_info.cpp - process id, computer name, the Windows product name and architecture.
#include "platform/process_info.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/registry.h"

unsigned long platform_process_id() {
    return GetCurrentProcessId();
}

void platform_computer_name(char* buffer, size_t capacity) {
    if (capacity == 0) return;
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        buffer[0] = '\0';
        return;
    }
    std::snprintf(buffer, capacity, "%s", name);
}

void platform_name_current_thread(const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on: looked up, not linked, so the
    // program still starts on older systems.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto set = kernel ? reinterpret_cast<SetDescription>(
                            reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")))
                      : nullptr;
    if (!set) return;
    wchar_t wide[64];
    if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 64) == 0) return;
    set(GetCurrentThread(), wide);
}

std::string platform_os_description() {
    std::string product = "Windows";
    char* name = nullptr;
    if (platform_registry_read_string("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                      "ProductName", &name) > 0) {
        product = name;
        std::free(name);
    }
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    product += info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? " AMD64" : " X86";
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) product += " WOW64";
    return product;
}

bool platform_stdin_is_terminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}
