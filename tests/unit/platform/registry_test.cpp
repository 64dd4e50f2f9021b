// The file-backed registry: lookups without regard to case, the two roots' spellings,
// missing file, key and value, and writes that keep the rest of the file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/registry.h"

namespace fs = std::filesystem;

namespace {

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file_ = fs::temp_directory_path() /
                ("zel-registry-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove(file_);
        setenv("ZEL_REGISTRY", file_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZEL_REGISTRY");
        fs::remove(file_);
    }
    void write(const std::string& text) { std::ofstream(file_) << text; }
    std::string contents() {
        std::ifstream in(file_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    // The value as a string, or "<0>"/"<-1>" for the failure results.
    std::string read(const char* key, const char* name) {
        char* value = nullptr;
        int size = platform_registry_read_string(key, name, &value);
        if (size <= 0) return "<" + std::to_string(size) + ">";
        std::string text = value;
        EXPECT_EQ(static_cast<size_t>(size), text.size() + 1);
        std::free(value);
        return text;
    }

    fs::path file_;
};

TEST_F(RegistryTest, FindsValuesWithoutRegardToCase) {
    write(
        "# installed by the package\n"
        "[HKLM\\Software\\Corvalinder\\ZEL]\n"
        "Install Directory=/opt/corvalinder\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
        "ProductName = Debian GNU/Linux 12 \r\n"
        "[HKCU\\Software\\Corvalinder\\ZEL]\n"
        "Other=user root is not the machine's\n");
    EXPECT_EQ(platform_registry_file(), file_.string());
    EXPECT_EQ(read("software\\corvalinder\\zel", "install directory"), "/opt/corvalinder");
    EXPECT_EQ(read("Software\\Microsoft\\Windows NT\\CurrentVersion", "ProductName"),
              " Debian GNU/Linux 12 ");
    EXPECT_EQ(read("Software\\Corvalinder\\ZEL", "Other"), "<0>");
    EXPECT_EQ(read("Software\\Corvalinder", "Install Directory"), "<0>");
    EXPECT_EQ(read("Software\\Corvalinder\\ZEL\\Sub", "Install Directory"), "<0>");
}

TEST_F(RegistryTest, MissingFileIsAFailureOfItsOwn) {
    EXPECT_EQ(read("Software\\Corvalinder\\ZEL", "Install Directory"), "<-1>");
}

TEST_F(RegistryTest, EmptyValueHasSizeOne) {
    write("[HKLM\\K]\nEmpty=\n");
    char* value = nullptr;
    EXPECT_EQ(platform_registry_read_string("K", "Empty", &value), 1);
    EXPECT_STREQ(value, "");
    std::free(value);
}

TEST_F(RegistryTest, WriteCreatesAndReplacesKeepingOtherLines) {
    EXPECT_TRUE(platform_registry_write_string("Software\\Corvalinder\\ZEL", "Install Directory",
                                               "/opt/a"));
    EXPECT_EQ(read("Software\\Corvalinder\\ZEL", "Install Directory"), "/opt/a");

    write(
        "# comment stays\n[HKLM\\Software\\Corvalinder\\ZEL]\nInstall "
        "Directory=/opt/a\n\n[HKLM\\Other]\nX=1\n");
    EXPECT_TRUE(platform_registry_write_string("software\\corvalinder\\zel", "INSTALL DIRECTORY",
                                               "/opt/b"));
    EXPECT_TRUE(platform_registry_write_string("Software\\Corvalinder\\ZEL", "Version", "0.9.55"));
    EXPECT_TRUE(platform_registry_write_string("New\\Key", "Name", "value=with equals"));
    EXPECT_EQ(contents(),
              "# comment stays\n[HKLM\\Software\\Corvalinder\\ZEL]\nINSTALL "
              "DIRECTORY=/opt/b\nVersion=0.9.55\n\n"
              "[HKLM\\Other]\nX=1\n[HKLM\\New\\Key]\nName=value=with equals\n");
    EXPECT_EQ(read("New\\Key", "Name"), "value=with equals");
    EXPECT_FALSE(fs::exists(file_.string() + ".new"));
}

TEST_F(RegistryTest, WriteIntoAnUnwritablePlaceFails) {
    setenv("ZEL_REGISTRY", "/nonexistent-directory/registry", 1);
    EXPECT_FALSE(platform_registry_write_string("K", "N", "V"));
}

}  // namespace
