#include "platform/options.h"

#include <algorithm>
#include <array>

#include "platform/printable.h"
#include "wigwag_version.h"

namespace wigwag {

namespace {

struct OptionRow {
    const char* name;  // without its dashes
    char letter;       // its one-letter form; 0: none
    std::optional<Platform> only;
    const char* help;  // lines after the first are indented under it
};

constexpr std::array<OptionRow, 8> kOptions{{
    {"help", 'h', {}, "Show this help and exit."},
    {"version", 'v', {}, "Show the version and exit."},
    {"config-dir", 0, Platform::Linux,
     "Linux: keep wigwag.cfg in $XDG_CONFIG_HOME/wigwag (by\n"
     "default ~/.config/wigwag), made if missing, instead of the\n"
     "current folder. The desktop's menu entry starts Wigwag this way."},
    {"toggle", 0, {}, "Switch the running Wigwag on or off, exactly as its\nstart/stop key does."},
    {"start", 0, {}, "Switch the running Wigwag on, unless it runs already."},
    {"stop", 0, {}, "Switch the running Wigwag off, if it is running."},
    {"status", 0, {}, "Print whether the running Wigwag is Running or\nNot Running."},
    {"list-devices",
     0,
     {},
     "List the game controllers (wheels, button boxes, pads)\n"
     "whose buttons can switch Wigwag, and exit."},
}};

constexpr const char* kHint = " (wigwag --help lists the options)";

const OptionRow* Find(const std::string& argument) {
    for (const OptionRow& option : kOptions) {
        if (argument == std::string("--") + option.name) return &option;
        if (option.letter && argument == std::string("-") + option.letter) return &option;
    }
    return nullptr;
}

Said Mistake(const std::string& what) {
    return {kExitUsage, {}, "wigwag: " + what + kHint};
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments, Platform platform) {
    CommandLine line;
    bool help = false, version = false, endOfOptions = false;
    std::optional<std::string> stray;
    int commands = 0;
    for (const std::string& argument : arguments) {
        const bool optionLike = !endOfOptions && argument.size() > 1 && argument[0] == '-';
        if (optionLike && argument == "--") {
            endOfOptions = true;
            continue;
        }
        if (!optionLike) {
            if (!stray) stray = argument;
            continue;
        }
        const OptionRow* option = Find(argument);
        if (!option) {
            line.answered = Mistake("unknown option '" + Printable(argument) + "'");
            return line;
        }
        if (option->only && *option->only != platform) {
            line.answered = Mistake("option '" + argument + "' is for the Linux program only");
            return line;
        }
        const std::string name = option->name;
        if (name == "help") help = true;
        if (name == "version") version = true;
        if (name == "config-dir") line.options.configDir = true;
        if (name == "list-devices") line.options.listDevices = true;
        if (CommandOfWord(name)) {
            if (line.options.command != name) ++commands;
            line.options.command = name;
        }
    }
    if (help)
        line.answered = Said{kExitOk, UsageText(), {}};
    else if (version)
        line.answered = Said{kExitOk, std::string("wigwag ") + WIGWAG_VERSION, {}};
    else if (stray)
        line.answered = Mistake("unexpected argument '" + Printable(*stray) + "'");
    else if (commands + (line.options.listDevices ? 1 : 0) > 1)
        line.answered = Mistake("one command at a time");
    return line;
}

std::string UsageText() {
    std::string text =
        "Usage: wigwag [options]\n"
        "Plays a police car's lights and siren in a driving simulator: while switched on\n"
        "it sends the game keystrokes that flash the headlights, sound the horn as a siren\n"
        "and flash the hazards. One key, chosen in its window, switches it on and off from\n"
        "inside the game.\n"
        "\n"
        "Options:\n";
    constexpr std::size_t kColumn = 18;
    for (const OptionRow& option : kOptions) {
        std::string names = "  ";
        if (option.letter) names += std::string("-") + option.letter + ", ";
        names += std::string("--") + option.name;
        names.resize(std::max(names.size() + 1, kColumn), ' ');
        std::string help = option.help;
        for (std::size_t at = help.find('\n'); at != std::string::npos;
             at = help.find('\n', at + kColumn + 1))
            help.insert(at + 1, kColumn, ' ');
        text += names + help + "\n";
    }
    text +=
        "\n"
        "One Wigwag runs for each user and display (on Windows: each user and Windows\n"
        "session). Started again while it runs (from any folder), Wigwag brings the\n"
        "running window to the front and exits with 0. A command (--toggle, --start,\n"
        "--stop, --status) goes to the running Wigwag, which carries it out at its next\n"
        "poll of the start/stop key, within 0.1 s, and prints the run state it leaves:\n"
        "Running or Not Running. Exit status 0; 3 when no Wigwag runs (said on standard\n"
        "error); 1 when it cannot be reached or does not answer; 2 for a wrong command\n"
        "line.\n"
        "\n"
        "Examples:\n"
        "  A desktop shortcut: in GNOME Settings > Keyboard > Keyboard Shortcuts > Custom\n"
        "  Shortcuts (KDE: System Settings > Shortcuts, a new command), add one with the\n"
        "  command: wigwag --toggle\n"
        "  A button box or stream deck: a button that runs wigwag --toggle, or two that\n"
        "  run wigwag --start and wigwag --stop and so never get out of step.\n"
        "\n"
        "A wheel button: click Set Wheel Button... in the window and press the button on\n"
        "the wheel, button box or pad; it then switches Wigwag as the start/stop key does.\n"
        "When a button does nothing, wigwag --list-devices shows whether its controller\n"
        "is there and can be read.\n"
        "\n"
        "Settings: wigwag.cfg in the current folder (on Linux, see --config-dir), read at\n"
        "start and written when the window closes.\n"
        "On Linux Wigwag needs an X display (DISPLAY; under Wayland, XWayland) with the\n"
        "XTEST and XInput 2 extensions. In a Wayland session (WAYLAND_DISPLAY) its keys go\n"
        "out through the compositor's virtual keyboard or the desktop's remote-desktop\n"
        "portal, else XTEST; WIGWAG_KEYS=virtual-keyboard, portal or xtest picks one\n"
        "(default: auto).";
    return text;
}

}  // namespace wigwag
