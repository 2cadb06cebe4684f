#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/text_file.h"

namespace wigwag {
namespace {

namespace fs = std::filesystem;

class TextFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("wigwag-files-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string Path(const char* name) const { return (dir / name).string(); }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir;
};

TEST_F(TextFileTest, ReplacesTheFileWholeAndByteForByte) {
    const std::string name = Path("wigwag.cfg");
    std::ofstream(name, std::ios::binary) << "old contents that are longer\r\n";
    const std::string bytes = "1|0|1|0|31|26|\r\n---------------\r\n";
    const FileWrite result = ReplaceWholeFile(name, bytes);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(Contents(name), bytes);
    EXPECT_FALSE(fs::exists(name + ".new"));
    const FileRead read = ReadWholeFile(name);
    EXPECT_TRUE(read.opened);
    EXPECT_FALSE(read.failed);
    EXPECT_EQ(read.bytes, bytes);
}

TEST_F(TextFileTest, AFailedReplaceLeavesTheOldFileAndSaysWhy) {
    // The new contents cannot be put in place of a folder.
    const std::string name = Path("wigwag.cfg");
    fs::create_directories(name);
    std::ofstream(Path("wigwag.cfg/keep"), std::ios::binary) << "x";
    const FileWrite result = ReplaceWholeFile(name, "1|1|1|0|31|26|\r\n");
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.error.empty());
    EXPECT_TRUE(fs::is_directory(name));
    EXPECT_FALSE(fs::exists(name + ".new"));

    // Nor written where the folder is missing.
    EXPECT_FALSE(ReplaceWholeFile(Path("missing/wigwag.cfg"), "x").ok);
}

TEST_F(TextFileTest, AMissingFileIsNotOpened) {
    const FileRead read = ReadWholeFile(Path("absent.cfg"));
    EXPECT_FALSE(read.opened);
    EXPECT_TRUE(read.bytes.empty());
}

}  // namespace
}  // namespace wigwag
