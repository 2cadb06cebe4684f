#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "platform/text_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace wigwag {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kLimit = 64;
const std::string kNew = "1|0|1|0|31|26|\r\n---------------\r\n";

class TextFile : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Path(const std::string& name) const { return (dir / name).string(); }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }
    std::string Read(const std::string& name) const {
        const FileRead read = ReadWholeFile(Path(name), 1 << 20);
        EXPECT_TRUE(read.opened && !read.failed) << name;
        return read.bytes;
    }
    // Every name in the folder, with what it is: the bytes of a file, "-> target" of a link.
    std::map<std::string, std::string> Entries() const {
        std::map<std::string, std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            const std::string name = entry.path().lexically_relative(dir).generic_string();
            if (entry.is_symlink())
                out[name] = "-> " + fs::read_symlink(entry.path()).generic_string();
            else if (entry.is_directory())
                out[name] = "folder";
            else
                out[name] = Read(name);
        }
        return out;
    }

    // A folder of its own, as tests may run side by side.
    const fs::path dir =
        fs::temp_directory_path() /
        ("wigwag-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
         "-" + std::to_string(std::random_device()()));
};

TEST_F(TextFile, ReadsRegularFilesUpToTheLimitAndNothingElse) {
    const std::string full(kLimit, 'x');
    Write("full.cfg", full);
    Write("long.cfg", full + "y");
    fs::create_directory(dir / "folder.cfg");
    struct Case {
        std::string name;
        bool opened, missing, failed;
        std::string bytes;
    };
    std::vector<Case> cases{
        {Path("full.cfg"), true, false, false, full},
        {Path("long.cfg"), true, false, true, full},  // the limit's worth, as a failed read
        {Path("absent.cfg"), false, true, false, ""},
        {Path("absent/wigwag.cfg"), false, true, false, ""},
        {Path("folder.cfg"), false, false, false, ""},
    };
#ifndef _WIN32
    // A pipe with no writer would block an ordinary open; a device would never end.
    ASSERT_EQ(mkfifo(Path("pipe.cfg").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero.cfg");
    fs::create_symlink("loop.cfg", dir / "loop.cfg");
    cases.push_back({Path("pipe.cfg"), false, false, false, ""});
    cases.push_back({Path("zero.cfg"), false, false, false, ""});
    cases.push_back({Path("loop.cfg"), false, false, false, ""});
#endif
    for (const Case& c : cases) {
        const FileRead read = ReadWholeFile(c.name, kLimit);
        EXPECT_EQ(read.opened, c.opened) << c.name;
        EXPECT_EQ(read.missing, c.missing) << c.name;
        EXPECT_EQ(read.failed, c.failed) << c.name;
        EXPECT_EQ(read.bytes, c.bytes) << c.name;
    }
}

TEST_F(TextFile, ReplacesAtomicallyInPlaceAndLeavesNoTemporaryFile) {
    const std::string old = "old contents that are longer\r\n";
    Write("wigwag.cfg", old);
    // Another name for the old file keeps the old bytes: the new file took the name's place.
    fs::create_hard_link(dir / "wigwag.cfg", dir / "old.cfg");
    Write("wigwag.cfg.new", "left by a run killed while saving");
#ifndef _WIN32
    ASSERT_EQ(chmod(Path("wigwag.cfg").c_str(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(Path("wigwag.cfg").c_str(), 65534, 65534), 0);
    }
#endif
    const FileWrite ok = ReplaceWholeFile(Path("wigwag.cfg"), kNew);
    EXPECT_TRUE(ok.ok) << ok.error;
    EXPECT_EQ(Entries(),
              (std::map<std::string, std::string>{{"old.cfg", old}, {"wigwag.cfg", kNew}}));
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(stat(Path("wigwag.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);  // the owner too, where the process may set it
    }
#endif

    // No file yet: it is created.
    EXPECT_TRUE(ReplaceWholeFile(Path("first.cfg"), kNew).ok);
    EXPECT_EQ(Read("first.cfg"), kNew);
}

TEST_F(TextFile, WhatCannotBeReplacedSafelyStaysAsItWas) {
    const std::string old = "old\r\n";
    Write("wigwag.cfg", old);
    fs::create_directories(dir / "folder.cfg");
    fs::create_directories(dir / "wigwag.cfg.new");  // in the temporary file's way
    std::vector<std::string> names{Path("wigwag.cfg"), Path("folder.cfg"),
                                   Path("missing/wigwag.cfg")};
#ifndef _WIN32
    fs::create_symlink("nowhere.cfg", dir / "dangling.cfg");
    fs::create_symlink("loop.cfg", dir / "loop.cfg");
    names.push_back(Path("dangling.cfg"));
    names.push_back(Path("loop.cfg"));
#endif
    const auto before = Entries();
    for (const std::string& name : names) {
        const FileWrite failed = ReplaceWholeFile(name, kNew);
        EXPECT_FALSE(failed.ok) << name;
        EXPECT_FALSE(failed.error.empty()) << name;
    }
    EXPECT_EQ(Entries(), before);
}

#ifndef _WIN32
TEST_F(TextFile, ALinkStaysAndTheFileItLeadsToIsReplaced) {
    fs::create_directories(dir / "synced");
    Write("synced/settings", "old\r\n");
    Write("victim", "not to be touched\r\n");
    fs::create_symlink("synced/settings", dir / "wigwag.cfg");
    // A link planted at the temporary file's name is removed, never written through.
    fs::create_symlink("../victim", dir / "synced/settings.new");
    const FileWrite ok = ReplaceWholeFile(Path("wigwag.cfg"), kNew);
    EXPECT_TRUE(ok.ok) << ok.error;
    EXPECT_EQ(Entries(),
              (std::map<std::string, std::string>{{"synced", "folder"},
                                                  {"synced/settings", kNew},
                                                  {"victim", "not to be touched\r\n"},
                                                  {"wigwag.cfg", "-> synced/settings"}}));
}
#endif

}  // namespace
}  // namespace wigwag
