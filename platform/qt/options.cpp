#include "platform/qt/options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <cstdio>
#include <vector>

#include "platform/printable.h"
#include "wigwag_version.h"

namespace wigwag {
namespace {

const QString kHelp = QStringLiteral("help");
const QString kVersion = QStringLiteral("version");
const QString kConfigDir = QStringLiteral("config-dir");
const QString kListDevices = QStringLiteral("list-devices");
// The commands for the running Wigwag.
const QStringList kCommands = {QStringLiteral("toggle"), QStringLiteral("start"),
                               QStringLiteral("stop"), QStringLiteral("status")};

// An option's name as typed: -h, --help.
QString Dashed(const QString& name) {
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// Every option, in the order --help lists them; a description's lines after the first
// are indented under it.
std::vector<QCommandLineOption> AllOptions() {
    return {
        {{QStringLiteral("h"), kHelp}, QStringLiteral("Show this help and exit.")},
        {{QStringLiteral("v"), kVersion}, QStringLiteral("Show the version and exit.")},
        {kConfigDir, QStringLiteral("Keep wigwag.cfg in $XDG_CONFIG_HOME/wigwag (by default\n"
                                    "~/.config/wigwag), made if missing, instead of the current\n"
                                    "folder. The desktop's menu entry starts Wigwag this way.")},
        {kCommands[0], QStringLiteral("Switch the running Wigwag on or off, exactly as its\n"
                                      "start/stop key does.")},
        {kCommands[1], QStringLiteral("Switch the running Wigwag on, unless it runs already.")},
        {kCommands[2], QStringLiteral("Switch the running Wigwag off, if it is running.")},
        {kCommands[3], QStringLiteral("Print whether the running Wigwag is Running or\n"
                                      "Not Running.")},
        {kListDevices, QStringLiteral("List the game controllers (wheels, button boxes, pads)\n"
                                      "whose buttons can switch Wigwag, and exit.")},
    };
}

QString HelpText(const std::vector<QCommandLineOption>& options) {
    QString text = QStringLiteral(
        "Usage: wigwag [options]\n"
        "Plays a police car's lights and siren in a driving simulator: while switched on\n"
        "it sends the game keystrokes that flash the headlights, sound the horn as a siren\n"
        "and flash the hazards. One key, chosen in its window, switches it on and off from\n"
        "inside the game.\n"
        "\n"
        "Options:\n");
    constexpr int kColumn = 18;
    for (const QCommandLineOption& option : options) {
        QStringList names;
        for (const QString& name : option.names()) names << Dashed(name);
        const QString indent(kColumn, QLatin1Char(' '));
        QString description = option.description();
        description.replace(QLatin1Char('\n'), QLatin1Char('\n') + indent);
        text += (QStringLiteral("  ") + names.join(QStringLiteral(", "))).leftJustified(kColumn) +
                description + QLatin1Char('\n');
    }
    text += QStringLiteral(
        "\n"
        "One Wigwag runs for each user and X display. Started again while it runs (from\n"
        "any folder), Wigwag brings the running window to the front and exits with 0.\n"
        "A command (--toggle, --start, --stop, --status) goes to the running Wigwag, which\n"
        "carries it out at its next poll of the start/stop key, within 0.1 s, and prints\n"
        "the run state it leaves: Running or Not Running. Exit status 0; 3 when no Wigwag\n"
        "runs (said on standard error); 1 when it cannot be reached or does not answer.\n"
        "\n"
        "Examples:\n"
        "  A desktop shortcut, which also works in a Wayland session, where Wigwag cannot\n"
        "  read the keyboard: in GNOME Settings > Keyboard > Keyboard Shortcuts > Custom\n"
        "  Shortcuts (KDE: System Settings > Shortcuts, a new command), add one with the\n"
        "  command: wigwag --toggle\n"
        "  A button box or stream deck: a button that runs wigwag --toggle, or two that\n"
        "  run wigwag --start and wigwag --stop and so never get out of step.\n"
        "\n"
        "A wheel button: click Set Wheel Button... in the window and press the button on\n"
        "the wheel, button box or pad; it then switches Wigwag as the start/stop key does.\n"
        "When a button does nothing, wigwag --list-devices shows whether its controller\n"
        "is there and can be read (the desktop normally gives game controllers to the user\n"
        "logged in at the seat).\n"
        "\n"
        "Settings: wigwag.cfg in the current folder (see --config-dir), read at start and\n"
        "written when the window closes.\n"
        "Needs an X display (DISPLAY; under Wayland, XWayland) with the XTEST and XInput 2\n"
        "extensions. In a Wayland session (WAYLAND_DISPLAY) the keys go out through the\n"
        "compositor's virtual keyboard or the desktop's remote-desktop portal, else XTEST;\n"
        "WIGWAG_KEYS=virtual-keyboard, portal or xtest picks one (default: auto).\n");
    return text;
}

void Print(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
}

// What the user typed, fit to be quoted in a one-line message.
QString Quoted(const QString& typed) {
    return QString::fromStdString(Printable(typed.toStdString()));
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const std::vector<QCommandLineOption> options = AllOptions();
    QCommandLineParser parser;
    for (const QCommandLineOption& option : options) parser.addOption(option);

    Options result;
    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString& name = unknown.first();
            Print(stderr, QStringLiteral("wigwag: unknown option '%1%2' (wigwag --help lists "
                                         "the options)\n")
                              .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"),
                                   Quoted(name)));
        } else {
            Print(stderr, QStringLiteral("wigwag: %1\n").arg(Quoted(parser.errorText())));
        }
        result.exitStatus = 2;
    } else if (parser.isSet(kHelp)) {
        Print(stdout, HelpText(options));
        result.exitStatus = 0;
    } else if (parser.isSet(kVersion)) {
        std::printf("wigwag %s\n", WIGWAG_VERSION);
        result.exitStatus = 0;
    } else if (!parser.positionalArguments().isEmpty()) {
        Print(stderr, QStringLiteral("wigwag: unexpected argument '%1' (wigwag --help lists "
                                     "the options)\n")
                          .arg(Quoted(parser.positionalArguments().first())));
        result.exitStatus = 2;
    }
    result.configDir = parser.isSet(kConfigDir);
    result.listDevices = parser.isSet(kListDevices);
    for (const QString& command : kCommands) {
        if (result.exitStatus || !parser.isSet(command)) continue;
        if (!result.command.empty()) {
            Print(stderr, QStringLiteral("wigwag: one command at a time (wigwag --help lists "
                                         "the options)\n"));
            result.exitStatus = 2;
        }
        result.command = command.toStdString();
    }
    if (!result.exitStatus && result.listDevices && !result.command.empty()) {
        Print(stderr, QStringLiteral("wigwag: one command at a time (wigwag --help lists "
                                     "the options)\n"));
        result.exitStatus = 2;
    }
    return result;
}

namespace {

// Makes path and each missing folder above it, open to the user alone.
bool MakeFolders(const QString& path) {
    if (QFileInfo(path).isDir()) return true;
    const QString parent = QFileInfo(path).path();
    if (parent == path || !MakeFolders(parent)) return false;
    return QDir().mkdir(path,
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner) ||
           QFileInfo(path).isDir();
}

}  // namespace

bool EnterConfigDir() {
    // An empty or relative XDG_CONFIG_HOME counts as unset.
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.config");
    const QString folder = QDir::cleanPath(base + QStringLiteral("/wigwag"));
    if (MakeFolders(folder) && QDir::setCurrent(folder)) return true;
    Print(stderr, QStringLiteral("wigwag: cannot use the settings folder %1\n").arg(folder));
    return false;
}

}  // namespace wigwag
