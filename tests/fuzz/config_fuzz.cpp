// config_fuzz.cpp - libFuzzer target for the configuration-file reader: any bytes as the
// file must be read without reading outside a line or a value, long lines included; every
// key line it splits must give a key without white space and a value inside the line.
//
// The reader takes a file name, so the input is written to a file of this process's own
// in the temporary directory first. Built with -DZEL_FUZZ=ON (clang). The normal build
// replays corpus/config/ through the same entry point as a unit test
// (corpus_replay_test.cpp).
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "zel/base/config.h"
#include "zel/base/config_file.h"

namespace {

const std::string& scratch_path() {
    static const std::string path = [] {
        std::random_device random;
        return (std::filesystem::temp_directory_path() /
                ("zel-config-fuzz-" + std::to_string(random()) + ".config"))
            .string();
    }();
    return path;
}

// Splits every line of the input the way the reader does and checks the pieces.
void check_lines(const uint8_t* data, size_t size) {
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && data[end] != '\n')
            ++end;
        std::vector<char> line(data + start, data + end);
        line.push_back('\0');
        char* text = line.data();
        char* stop = text + std::strlen(text);
        char* key = nullptr;
        char* value = nullptr;
        if (split_config_line(text, &key, &value) == 1) {
            if (key < text || key > stop || value < text || value > stop) std::abort();
            for (const char* k = key; *k; ++k)
                if (std::isspace(static_cast<unsigned char>(*k))) std::abort();
            if (!*value) std::abort();  // a line without a value returns 0
        }
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_config.silent = 1;
    check_lines(data, size);
    const std::string& path = scratch_path();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    // An empty input comes with no buffer at all.
    bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) return 0;
    g_config.config_path = path;
    int rc = read_config_file();
    std::remove(path.c_str());
    if (rc != 1) std::abort();  // a readable file is always read
    if (g_config.insrefs.empty()) std::abort();  // an absent setting reads as "*"
    return 0;
}
