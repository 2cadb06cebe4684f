// Writes the fuzzer's seeds into a folder: every settings file of the tests' table, read
// whole (first byte 0) and read with a break half-way (128).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/settings_cases.h"

int main(int argc, char** argv) {
    if (argc != 2) return std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]), 2;
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    int n = 0;
    for (const wigwag::SettingsCase& c : wigwag::SettingsCases()) {
        const std::string name = (folder / ("case" + std::to_string(++n))).string();
        if (!c.file) continue;  // the fuzzer always has a file
        for (const char how : {'\0', '\x80'}) {
            if (how && c.file->empty()) continue;
            if (!(std::ofstream(how ? name + "-break" : name, std::ios::binary) << how << *c.file))
                return std::fprintf(stderr, "cannot write %s\n", name.c_str()), 1;
        }
    }
    std::printf("%d settings files as seeds in %s\n", n, folder.string().c_str());
    return 0;
}
