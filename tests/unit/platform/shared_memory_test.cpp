// Named sections: the POSIX-safe names, permissions, the writer lock that readers see,
// and the name's life across writers.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/shared_memory.h"

namespace fs = std::filesystem;

namespace {

TEST(SharedMemoryName, DropsTheNamespaceAndReplacesSlashes) {
    EXPECT_EQ(platform_shm_name("Global\\Corvalinder Database Application Perfcounters"),
              "/Corvalinder Database Application Perfcounters");
    EXPECT_EQ(platform_shm_name("Local\\second"), "/second");
    EXPECT_EQ(platform_shm_name("/already/posix"), "/already_posix");
    EXPECT_EQ(platform_shm_name("a\\b/c"), "/a_b_c");
    EXPECT_EQ(platform_shm_name("Global\\Global\\x"), "/Global_x");
}

class SharedMemoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = "Global\\zel platform test " +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
        platform_shm_remove(name_.c_str());
    }
    void TearDown() override { platform_shm_remove(name_.c_str()); }
    std::string name_;
};

TEST_F(SharedMemoryTest, NewSectionIsZeroedAndReadableByOthersOnly) {
    SharedSection section;
    int error = 0;
    ASSERT_TRUE(platform_shm_create(name_.c_str(), 208, &section, &error)) << error;
    const unsigned char* bytes = static_cast<const unsigned char*>(section.address);
    for (int i = 0; i < 208; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    // Where Linux keeps the sections: check the mode the writer gave it.
    fs::path where = fs::path("/dev/shm") / platform_shm_name(name_.c_str()).substr(1);
    if (fs::exists(where)) {
        fs::perms mode = fs::status(where).permissions() & fs::perms::mask;
        EXPECT_EQ(mode, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::others_read);
    }
    platform_shm_close(&section);
}

TEST_F(SharedMemoryTest, ReaderSeesWritesAndTheWriterAlive) {
    SharedSection section;
    int error = 0;
    ASSERT_TRUE(platform_shm_create(name_.c_str(), 208, &section, &error));
    static_cast<uint64_t*>(section.address)[25] = 0x0102030405060708u;
    uint64_t copy[26];
    bool alive = false;
    ASSERT_EQ(platform_shm_read(name_.c_str(), copy, sizeof copy, &alive, &error), SHM_READ_OK);
    EXPECT_EQ(copy[25], 0x0102030405060708u);
    EXPECT_TRUE(alive);
    // A reader's probe must not disturb the writer: a second probe sees the same.
    ASSERT_EQ(platform_shm_read(name_.c_str(), copy, sizeof copy, &alive, &error), SHM_READ_OK);
    EXPECT_TRUE(alive);
    platform_shm_close(&section);
}

TEST_F(SharedMemoryTest, NameLivesUntilTheLastWriterCloses) {
    SharedSection first, second;
    int error = 0;
    ASSERT_TRUE(platform_shm_create(name_.c_str(), 208, &first, &error));
    ASSERT_TRUE(platform_shm_create(name_.c_str(), 208, &second, &error));
    static_cast<uint64_t*>(first.address)[0] = 42;
    EXPECT_EQ(static_cast<uint64_t*>(second.address)[0], 42u);  // one section, two views
    platform_shm_close(&first);
    uint64_t copy[26];
    bool alive = false;
    ASSERT_EQ(platform_shm_read(name_.c_str(), copy, sizeof copy, &alive, &error), SHM_READ_OK);
    EXPECT_EQ(copy[0], 42u);
    EXPECT_TRUE(alive);
    platform_shm_close(&second);
    EXPECT_EQ(platform_shm_read(name_.c_str(), copy, sizeof copy, &alive, &error),
              SHM_READ_MISSING);
    EXPECT_EQ(copy[0], 0u);
    EXPECT_FALSE(alive);

    // The next writer starts from zero.
    ASSERT_TRUE(platform_shm_create(name_.c_str(), 208, &first, &error));
    EXPECT_EQ(static_cast<uint64_t*>(first.address)[0], 0u);
    platform_shm_close(&first);
}

TEST_F(SharedMemoryTest, InvalidNameReportsTheSystemError) {
    SharedSection section;
    int error = 0;
    std::string too_long(400, 'x');
    EXPECT_FALSE(platform_shm_create(too_long.c_str(), 208, &section, &error));
    EXPECT_TRUE(error == ENAMETOOLONG || error == EINVAL) << error;
    EXPECT_EQ(section.address, nullptr);
    uint64_t copy[26];
    bool alive = true;
    error = 0;
    EXPECT_EQ(platform_shm_read(too_long.c_str(), copy, sizeof copy, &alive, &error),
              SHM_READ_OPEN_FAILED);
    EXPECT_TRUE(error == ENAMETOOLONG || error == EINVAL) << error;
    EXPECT_FALSE(alive);
}

}  // namespace
