// The command line, once for both programs: one parser, one usage text. An option that one
// platform alone has is marked so in the usage text and refused on the other.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/commands.h"

namespace wigwag {

enum class Platform { Linux, Windows };

struct Options {
    // --config-dir (Linux): keep wigwag.cfg in the user's configuration folder.
    bool configDir = false;
    // --toggle, --start, --stop or --status without its dashes: a command for the Wigwag
    // that runs already. Empty: start the program.
    std::string command;
    // --list-devices: print the game controllers and end.
    bool listDevices = false;
};

struct CommandLine {
    Options options;
    // Set when the command line is answered already (--help, --version, a mistake): the
    // program prints this and ends with its status without starting.
    std::optional<Said> answered;
};

// Reads the arguments after the program's name, as UTF-8. --help and --version answer on
// standard output (status 0); an unknown option, a stray argument, two commands or another
// platform's option one line on standard error (status 2).
CommandLine ParseCommandLine(const std::vector<std::string>& arguments, Platform platform);

// What --help prints, without its last line end.
std::string UsageText();

}  // namespace wigwag
