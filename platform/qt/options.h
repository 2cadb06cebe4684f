// The Linux program's command line, read before anything opens a display connection.
#pragma once

#include <optional>
#include <string>

namespace wigwag {

struct Options {
    // Set when the command line has been answered already (--help, --version, a mistake):
    // the program ends with this status without starting.
    std::optional<int> exitStatus;
    // --config-dir: keep wigwag.cfg in the user's configuration folder, not the current one.
    bool configDir = false;
    // --toggle, --start, --stop or --status without its dashes: a command for the Wigwag
    // that runs already. Empty: start the program.
    std::string command;
    // --list-devices: print the game controllers and end.
    bool listDevices = false;
};

// Reads argv with Qt's command-line parser. --help and --version print to standard output
// (status 0); an unknown option, a stray argument or two commands print one line to
// standard error (status 2).
Options ParseOptions(int argc, char** argv);

// Changes into ${XDG_CONFIG_HOME:-$HOME/.config}/wigwag, making the folders that are
// missing; on failure prints one line to standard error and returns false.
bool EnterConfigDir();

}  // namespace wigwag
