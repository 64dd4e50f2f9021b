// process_info.cpp - process id, host name, os-release and uname.
#include "platform/process_info.h"

#include <pthread.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

unsigned long platform_process_id() {
    return static_cast<unsigned long>(getpid());
}

void platform_computer_name(char* buffer, size_t capacity) {
    if (capacity == 0) return;
    char name[256];
    if (gethostname(name, sizeof name) != 0) {
        buffer[0] = '\0';
        return;
    }
    name[sizeof name - 1] = '\0';
    std::snprintf(buffer, capacity, "%s", name);
}

void platform_name_current_thread(const char* name) {
    char shortened[16];
    std::snprintf(shortened, sizeof shortened, "%s", name);
    pthread_setname_np(pthread_self(), shortened);
}

namespace {

// PRETTY_NAME="..." from an os-release file, without its quotes.
std::string read_pretty_name(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (!file) return {};
    char line[512];
    std::string found;
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, "PRETTY_NAME=", 12) != 0) continue;
        std::string value = line + 12;
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
            value.pop_back();
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        found = value;
        break;
    }
    std::fclose(file);
    return found;
}

}  // namespace

std::string platform_os_description() {
    std::string product = read_pretty_name("/etc/os-release");
    if (product.empty()) product = read_pretty_name("/usr/lib/os-release");
    struct utsname machine;
    if (uname(&machine) != 0) return product;
    if (product.empty()) product = machine.sysname;
    const char* arch = machine.machine;
    if (std::strcmp(arch, "x86_64") == 0) return product + " AMD64";
    if (std::strlen(arch) == 4 && arch[0] == 'i' && std::strcmp(arch + 2, "86") == 0)
        return product + " X86";
    return product + " " + arch;
}

bool platform_stdin_is_terminal() {
    return isatty(STDIN_FILENO) == 1;
}
