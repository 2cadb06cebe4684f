// Wigwag on Linux: the Qt window on an X display; keys through XTest, or in a Wayland
// session through the compositor's virtual keyboard or the desktop's portal.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/linux_joystick.h"
#include "platform/linux/linux_keyboard.h"
#include "platform/options.h"
#include "platform/printable.h"
#include "platform/qt/config_dir.h"
#include "platform/qt/desktop_portal.h"
#include "platform/qt/fd_notifiers.h"
#include "platform/qt/instance.h"
#include "platform/qt/qt_host.h"
#include "platform/say.h"
#include "platform/wayland/wayland_keyboard.h"
#include "platform/x11/x11_keyboard.h"
#include "window/form1.h"

namespace {

int signalPipe[2] = {-1, -1};

// Only writes a byte: the close itself runs in the event loop, where X calls are safe.
void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// First thing in main: a signal that comes while the program loads is kept in the pipe
// until the event loop can act on it, and one sent before (with the signals blocked by
// the parent) arrives as they are unblocked here.
bool InstallSignalPipe() {
    if (::pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigset_t ending;
    sigemptyset(&ending);
    for (int signum : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(signum, &action, nullptr) != 0) return false;
        sigaddset(&ending, signum);
    }
    return sigprocmask(SIG_UNBLOCK, &ending, nullptr) == 0;
}

// True when a signal came before the event loop could see it; takes it.
bool SignalArrived() {
    char buffer[16];
    return ::read(signalPipe[0], buffer, sizeof buffer) > 0;
}

// The same, leaving it for SignalArrived().
bool SignalPending() {
    int bytes = 0;
    return ::ioctl(signalPipe[0], FIONREAD, &bytes) == 0 && bytes > 0;
}

// wigwag --list-devices: no display, no window.
int ListDevices() {
    wigwag::LinuxJoysticks joysticks(nullptr);
    const std::vector<wigwag::GameController> found = joysticks.Controllers();
    std::string lines;
    for (const wigwag::GameController& controller : found) {
        if (!lines.empty()) lines += '\n';
        lines += wigwag::ControllerLine(controller);
    }
    return wigwag::Tell({0, found.empty() ? "No game controllers found." : lines, {}});
}

// The ways out for keys that WIGWAG_KEYS may name; "auto" takes the first that works.
enum class KeyPath { automatic, virtualKeyboard, portal, xtest };

std::optional<KeyPath> ChosenKeyPath() {
    const QByteArray name = qgetenv("WIGWAG_KEYS");
    if (name.isEmpty() || name == "auto") return KeyPath::automatic;
    if (name == "virtual-keyboard") return KeyPath::virtualKeyboard;
    if (name == "portal") return KeyPath::portal;
    if (name == "xtest") return KeyPath::xtest;
    wigwag::Say(wigwag::Stream::Err, "wigwag: WIGWAG_KEYS=\"" +
                                         wigwag::Printable(name.toStdString()) +
                                         "\" names no way out for keys (auto, "
                                         "virtual-keyboard, portal or xtest)");
    return std::nullopt;
}

// In a Wayland session (or when WIGWAG_KEYS asks for one), the first way out for keys that
// works, said in one line; nullptr for XTest. `wayland` is set to the virtual keyboard when
// that is the one. `failed` when a way that WIGWAG_KEYS asked for does not work.
std::unique_ptr<wigwag::KeyOutput> OpenKeyOutput(KeyPath path, QSocketNotifier& stop,
                                                 wigwag::WaylandKeyboard*& wayland, bool& failed) {
    const bool session = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (path == KeyPath::xtest || (path == KeyPath::automatic && !session)) return nullptr;
    std::string why, whyNot;
    std::unique_ptr<wigwag::KeyOutput> output;
    if (path != KeyPath::portal) {
        std::unique_ptr<wigwag::WaylandKeyboard> keyboard = wigwag::WaylandKeyboard::Open(why);
        wayland = keyboard.get();
        output = std::move(keyboard);
        if (!output) whyNot = why;
    }
    if (!output && path != KeyPath::virtualKeyboard) {
        output = wigwag::PortalKeyboard::Open(stop, why);
        if (!output) whyNot += (whyNot.empty() ? "" : "; ") + why;
    }
    if (SignalPending()) {
        return output;  // ending: nothing to say
    } else if (output) {
        wigwag::Say(wigwag::Stream::Err, "wigwag: keys go out through " + output->Name());
    } else if (path == KeyPath::automatic) {
        wigwag::Say(wigwag::Stream::Err,
                    "wigwag: keys go out through XTest, to X windows only: " + whyNot);
    } else {
        wigwag::Say(wigwag::Stream::Err, "wigwag: " + whyNot);
        failed = true;
    }
    return output;
}

}  // namespace

int main(int argc, char** argv) {
    if (!InstallSignalPipe()) {
        wigwag::Say(wigwag::Stream::Err, "wigwag: cannot install the signal handlers");
        return 1;
    }
    const wigwag::CommandLine line =
        wigwag::ParseCommandLine({argv + 1, argv + argc}, wigwag::Platform::Linux);
    if (line.answered) return wigwag::Tell(*line.answered);
    const wigwag::Options& options = line.options;
    if (options.listDevices) return ListDevices();
    // A command holds no key and saves nothing: Ctrl+C or SIGTERM ends its wait at once.
    if (!options.command.empty())
        for (int signum : {SIGINT, SIGTERM, SIGHUP}) signal(signum, SIG_DFL);
    // A command for the running Wigwag, and a start while one runs, end here: no display yet.
    wigwag::qt::Instance instance;
    if (const std::optional<int> done = instance.Claim(options.command)) return *done;
    if (options.configDir && !wigwag::EnterConfigDir()) return 1;
    const std::optional<KeyPath> keyPath = ChosenKeyPath();
    if (!keyPath) return 2;

    std::string error;
    std::unique_ptr<wigwag::X11Keyboard> keyboard = wigwag::X11Keyboard::Open(nullptr, error);
    if (!keyboard) {
        wigwag::Say(wigwag::Stream::Err, "wigwag: " + error);
        return 1;
    }
    // Ended before anything was loaded: nothing to save.
    if (SignalArrived()) return 0;
    // The window belongs on the same X display as the keys, also in a Wayland session.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);

    wigwag::WaylandKeyboard* wayland = nullptr;
    bool failed = false;
    std::unique_ptr<wigwag::KeyOutput> output =
        OpenKeyOutput(*keyPath, signalNotifier, wayland, failed);
    if (failed) return 1;
    if (SignalArrived()) return 0;  // the player may have been asked at length
    std::unique_ptr<QSocketNotifier> waylandNotifier;
    if (wayland) {
        waylandNotifier = std::make_unique<QSocketNotifier>(wayland->Fd(), QSocketNotifier::Read);
        QObject::connect(waylandNotifier.get(), &QSocketNotifier::activated,
                         [wayland] { wayland->Dispatch(); });
    }
    // The desktop's own shortcut for the start/stop key, where it offers one.
    std::unique_ptr<wigwag::PortalShortcut> shortcut;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) shortcut = wigwag::PortalShortcut::Open();
    wigwag::LinuxKeyboard keys(*keyboard, std::move(output), shortcut.get());

    // The game controllers, read inside the event loop whenever one has something to say.
    wigwag::LinuxJoysticks* joysticks = nullptr;
    wigwag::qt::FdNotifiers notifiers([&joysticks](int fd) { joysticks->Readable(fd); });
    wigwag::LinuxJoysticks controllers(&notifiers);
    joysticks = &controllers;

    int code = 1;
    try {
        wigwag::QtHost host(keys);
        host.SetButtonDevice(&controllers);
        instance.Listen(host);
        QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&host] {
            char buffer[16];
            while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
            }
            host.RequestClose();
        });
        code = wigwag::RunWigwag(host);
    } catch (const std::exception& e) {
        wigwag::Say(wigwag::Stream::Err, std::string("wigwag: ") + e.what());
    } catch (...) {
        wigwag::Say(wigwag::Stream::Err, "wigwag: stopped by an unknown error");
    }
    signalNotifier.setEnabled(false);
    keys.Restore();
    return code;
}
