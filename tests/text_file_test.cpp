#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/text_file.h"

namespace wigwag {
namespace {

namespace fs = std::filesystem;

TEST(TextFile, ReplacesWholeOrLeavesTheOldFile) {
    const fs::path dir = fs::temp_directory_path() / "wigwag-text-file-test";
    fs::remove_all(dir);
    fs::create_directories(dir / "folder.cfg");
    const std::string name = (dir / "wigwag.cfg").string();
    std::ofstream(name, std::ios::binary) << "old contents that are longer\r\n";

    const std::string bytes = "1|0|1|0|31|26|\r\n---------------\r\n";
    const FileWrite ok = ReplaceWholeFile(name, bytes);
    EXPECT_TRUE(ok.ok) << ok.error;
    const FileRead read = ReadWholeFile(name, 1 << 20);
    EXPECT_TRUE(read.opened && !read.failed);
    EXPECT_EQ(read.bytes, bytes);

    // Nothing can take a folder's place, nor be written into a missing one.
    const FileWrite failed = ReplaceWholeFile((dir / "folder.cfg").string(), "x");
    EXPECT_FALSE(failed.ok);
    EXPECT_FALSE(failed.error.empty());
    EXPECT_TRUE(fs::is_directory(dir / "folder.cfg"));
    EXPECT_FALSE(ReplaceWholeFile((dir / "missing" / "wigwag.cfg").string(), "x").ok);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    EXPECT_FALSE(ReadWholeFile((dir / "absent.cfg").string(), 1 << 20).opened);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace wigwag
