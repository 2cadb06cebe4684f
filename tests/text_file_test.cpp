#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <tuple>

#include "platform/text_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace wigwag {
namespace {

namespace fs = std::filesystem;
using Entries = std::map<std::string, std::string>;

class TextFile : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    std::string Path(const std::string& name) const { return (dir / name).string(); }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }
    // Every name in the folder: "-> target" for a link, a file's bytes, "" for a folder.
    Entries Listing() const {
        Entries out;
        for (const auto& entry : fs::recursive_directory_iterator(dir))
            out[entry.path().lexically_relative(dir).generic_string()] =
                entry.is_symlink() ? "-> " + fs::read_symlink(entry.path()).generic_string()
                                   : ReadWholeFile(entry.path().string(), 1 << 20).bytes;
        return out;
    }

    const fs::path dir =
        fs::temp_directory_path() / ("wigwag-text-file-" + std::to_string(std::random_device()()));
};

TEST_F(TextFile, ReadsRegularFilesUpToTheLimitWithoutWaiting) {
    const std::string full(1 << 20, 'x');
    Write("full.cfg", full);
    Write("long.cfg", full + "y");
    fs::create_directory(dir / "folder.cfg");
    // Each name, and what the read gives: opened, missing, failed, how many bytes.
    std::map<std::string, std::tuple<bool, bool, bool, std::size_t>> cases{
        {"full.cfg", {true, false, false, full.size()}},
        {"long.cfg", {true, false, true, full.size()}},  // the limit's worth, as a failed read
        {"absent.cfg", {false, true, false, 0}},
        {"folder.cfg", {false, false, false, 0}},
    };
#ifndef _WIN32
    // A device would never end. (A named pipe: the end-to-end tests.)
    fs::create_symlink("/dev/zero", dir / "zero.cfg");
    fs::create_symlink("loop.cfg", dir / "loop.cfg");
    for (const char* name : {"zero.cfg", "loop.cfg"}) cases[name] = {false, false, false, 0};
#endif
    for (const auto& [name, expected] : cases) {
        const FileRead r = ReadWholeFile(Path(name), full.size());
        EXPECT_EQ(std::make_tuple(r.opened, r.missing, r.failed, r.bytes.size()), expected) << name;
        EXPECT_TRUE(full.starts_with(r.bytes)) << name;
    }
}

TEST_F(TextFile, ReplacesInOneStepAndLeavesWhatItCannotReplaceSafely) {
    const std::string kNew = "1|0|1|0|31|26|\r\n---------------\r\n";
    Write("wigwag.cfg", "old contents that are longer\r\n");
    // Another name for the old file keeps the old bytes: the new file takes the name's place.
    fs::create_hard_link(dir / "wigwag.cfg", dir / "old.cfg");
    Write("wigwag.cfg.new", "left by a run killed while saving");
    Write("blocked.cfg", "old\r\n");
    fs::create_directory(dir / "blocked.cfg.new");  // in the temporary file's way
    fs::create_directory(dir / "folder.cfg");
    // Each name saved to, and the file that then holds the new bytes; none: the save fails.
    std::map<std::string, std::string> saves{{"wigwag.cfg", "wigwag.cfg"}, {"new.cfg", "new.cfg"}};
    for (const char* name : {"blocked.cfg", "folder.cfg", "missing/wigwag.cfg"}) saves[name] = "";
#ifndef _WIN32
    ASSERT_EQ(chmod(Path("wigwag.cfg").c_str(), 0640), 0);
    const bool root = geteuid() == 0;  // only root may give the file to another owner
    ASSERT_EQ(root ? chown(Path("wigwag.cfg").c_str(), 65534, 65534) : 0, 0);
    // A link stays and its file is replaced; one planted at the temporary name is removed,
    // never written through; one that leads nowhere fails.
    fs::create_directory(dir / "synced");
    Write("synced/settings", "old\r\n");
    Write("victim", "not to be touched");
    fs::create_symlink("synced/settings", dir / "linked.cfg");
    fs::create_symlink("../victim", dir / "synced/settings.new");
    fs::create_symlink("nowhere.cfg", dir / "dangling.cfg");
    fs::create_symlink("loop.cfg", dir / "loop.cfg");
    saves.insert({{"linked.cfg", "synced/settings"}, {"dangling.cfg", ""}, {"loop.cfg", ""}});
#endif
    // Afterwards the saved files hold the new bytes, temporary names are free, all else stays.
    Entries after = Listing();
    after.erase("wigwag.cfg.new");
    after.erase("synced/settings.new");
    for (const auto& [name, file] : saves) {
        const FileWrite result = ReplaceWholeFile(Path(name), kNew);
        EXPECT_EQ(result.ok, !file.empty()) << name << ": " << result.error;
        EXPECT_EQ(result.error.empty(), result.ok) << name;  // a failure says why
        if (!file.empty()) after[file] = kNew;
    }
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(stat(Path("wigwag.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, root ? 65534u : geteuid());
#endif
    EXPECT_EQ(Listing(), after);
}

}  // namespace
}  // namespace wigwag
