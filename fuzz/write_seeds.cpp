// Writes the fuzzer's seed corpus into a folder: every settings file of the tests' table,
// read whole and read with a break half-way.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/settings_input.h"
#include "tests/settings_cases.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    int written = 0;
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
        out << bytes;
        if (!out.flush()) {
            std::fprintf(stderr, "cannot write %s\n", (folder / name).string().c_str());
            std::exit(1);
        }
        ++written;
    };
    int n = 0;
    for (const wigwag::SettingsCase& c : wigwag::SettingsCases()) {
        ++n;
        if (!c.file) continue;  // the fuzzer always has a file
        const std::string name = "case" + std::to_string(n);
        write(name, wigwag::fuzz::EncodeInput(0, *c.file));
        if (!c.file->empty()) write(name + "-break", wigwag::fuzz::EncodeInput(128, *c.file));
    }
    std::printf("%d seeds in %s\n", written, folder.string().c_str());
    return 0;
}
