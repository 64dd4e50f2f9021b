// corpus_replay_test.cpp - replays every file of one fuzz target's corpus through the fuzz
// target's entry point, so that inputs that once found faults keep being tried in every
// build. FUZZ_CORPUS names the folder and FUZZ_SUITE the test suite (one per target, so
// that CTest sees two tests); the test links the target's source.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FUZZ_SUITE, EveryInputIsJudgedSafely) {
    namespace fs = std::filesystem;
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(FUZZ_CORPUS)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0) << entry.path();
        ++files;
    }
    EXPECT_GE(files, 5u) << "the corpus is missing";
}
