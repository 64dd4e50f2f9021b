// registry.cpp - the file-backed registry.
//
// Reads parse the whole file each time: it is a handful of lines read a few times per run.
// A write builds the new text in memory and renames it over the old file, so a reader
// never sees half a file.
#include "platform/registry.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// The build passes the system configuration directory of its install prefix: /etc for a
// package installed under /usr, /usr/local/etc for a hand-made install.
#ifndef ZEL_SYSCONF_DIR
#define ZEL_SYSCONF_DIR "/usr/local/etc"
#endif

namespace {

constexpr const char* kRoots[] = {"HKLM\\", "HKEY_LOCAL_MACHINE\\"};

std::string trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

enum LineKind { NOT_A_SECTION, MACHINE_SECTION, OTHER_SECTION };

// Whether a line opens a section; for a section of the local machine's root, *key receives
// its path without the root.
LineKind section_key(const std::string& line, std::string* key) {
    std::string text = trim(line);
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') return NOT_A_SECTION;
    for (const char* root : kRoots) {
        size_t length = std::strlen(root);
        if (text.size() - 2 >= length && strncasecmp(text.c_str() + 1, root, length) == 0) {
            key->assign(text, 1 + length, text.size() - 2 - length);
            return MACHINE_SECTION;
        }
    }
    return OTHER_SECTION;
}

bool same(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

bool read_lines(std::vector<std::string>* lines) {
    FILE* file = std::fopen(platform_registry_file().c_str(), "r");
    if (!file) return false;
    std::string line;
    int c;
    while ((c = std::fgetc(file)) != EOF) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines->push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    if (!line.empty()) lines->push_back(line);
    std::fclose(file);
    return true;
}

}  // namespace

std::string platform_registry_file() {
    const char* path = std::getenv("ZEL_REGISTRY");
    if (path && *path) return path;
    return ZEL_SYSCONF_DIR "/zel/registry";
}

int platform_registry_read_string(const char* key_path, const char* name, char** out) {
    std::vector<std::string> lines;
    if (!read_lines(&lines)) return -1;
    std::string key;
    bool in_key = false;
    for (const std::string& line : lines) {
        std::string trimmed = trim(line);
        if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') continue;
        if (LineKind kind = section_key(line, &key); kind != NOT_A_SECTION) {
            in_key = kind == MACHINE_SECTION && same(key, key_path);
            continue;
        }
        size_t equals = line.find('=');
        if (!in_key || equals == std::string::npos) continue;
        if (!same(trim(line.substr(0, equals)), name)) continue;
        std::string value = line.substr(equals + 1);
        *out = strdup(value.c_str());
        return *out ? static_cast<int>(value.size() + 1) : -1;
    }
    return 0;
}

bool platform_registry_key_exists(const char* key_path) {
    std::vector<std::string> lines;
    if (!read_lines(&lines)) return false;
    std::string key;
    for (const std::string& line : lines) {
        std::string trimmed = trim(line);
        if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') continue;
        if (section_key(line, &key) == MACHINE_SECTION && same(key, key_path)) return true;
    }
    return false;
}

bool platform_registry_write_string(const char* key_path, const char* name, const char* value) {
    std::vector<std::string> lines;
    read_lines(&lines);  // a missing file is an empty registry
    std::string entry = std::string(name) + "=" + value;
    std::string key;
    bool in_key = false;
    bool done = false;
    size_t key_end = std::string::npos;  // where a new value of the key goes
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        std::string trimmed = trim(lines[i]);
        LineKind kind = trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';'
                            ? NOT_A_SECTION
                            : section_key(lines[i], &key);
        if (kind != NOT_A_SECTION) {
            in_key = kind == MACHINE_SECTION && same(key, key_path);
            if (in_key) key_end = i + 1;
            continue;
        }
        if (!in_key) continue;
        if (!trimmed.empty()) key_end = i + 1;
        size_t equals = lines[i].find('=');
        if (equals != std::string::npos && same(trim(lines[i].substr(0, equals)), name)) {
            lines[i] = entry;
            done = true;
        }
    }
    if (!done) {
        if (key_end == std::string::npos) {
            lines.push_back(std::string("[HKLM\\") + key_path + "]");
            lines.push_back(entry);
        } else {
            lines.insert(lines.begin() + static_cast<long>(key_end), entry);
        }
    }
    std::string path = platform_registry_file();
    std::string temporary = path + ".new";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file) return false;
    bool ok = true;
    for (const std::string& line : lines)
        ok = ok && std::fprintf(file, "%s\n", line.c_str()) >= 0;
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
