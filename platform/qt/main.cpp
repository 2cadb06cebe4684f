// Wigwag on Linux: the Qt window on an X display, keys through XTest.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/linux_joystick.h"
#include "platform/qt/fd_notifiers.h"
#include "platform/qt/instance.h"
#include "platform/qt/options.h"
#include "platform/qt/qt_host.h"
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

// wigwag --list-devices: no display, no window.
int ListDevices() {
    wigwag::LinuxJoysticks joysticks(nullptr);
    const std::vector<wigwag::GameController> found = joysticks.Controllers();
    if (found.empty()) std::printf("No game controllers found.\n");
    for (const wigwag::GameController& controller : found)
        std::printf("%s\n", wigwag::ControllerLine(controller).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!InstallSignalPipe()) {
        std::fprintf(stderr, "wigwag: cannot install the signal handlers\n");
        return 1;
    }
    const wigwag::Options options = wigwag::ParseOptions(argc, argv);
    if (options.exitStatus) return *options.exitStatus;
    if (options.listDevices) return ListDevices();
    // A command holds no key and saves nothing: Ctrl+C or SIGTERM ends its wait at once.
    if (!options.command.empty())
        for (int signum : {SIGINT, SIGTERM, SIGHUP}) signal(signum, SIG_DFL);
    // A command for the running Wigwag, and a start while one runs, end here: no display yet.
    wigwag::qt::Instance instance;
    if (const std::optional<int> done = instance.Claim(options.command)) return *done;
    if (options.configDir && !wigwag::EnterConfigDir()) return 1;

    std::string error;
    std::unique_ptr<wigwag::X11Keyboard> keyboard = wigwag::X11Keyboard::Open(nullptr, error);
    if (!keyboard) {
        std::fprintf(stderr, "wigwag: %s\n", error.c_str());
        return 1;
    }
    // Ended before anything was loaded: nothing to save.
    if (SignalArrived()) return 0;
    // The window belongs on the same X display as the keys, also in a Wayland session.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);

    // The game controllers, read inside the event loop whenever one has something to say.
    wigwag::LinuxJoysticks* joysticks = nullptr;
    wigwag::qt::FdNotifiers notifiers([&joysticks](int fd) { joysticks->Readable(fd); });
    wigwag::LinuxJoysticks controllers(&notifiers);
    joysticks = &controllers;

    int code = 1;
    try {
        wigwag::QtHost host(*keyboard);
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
        std::fprintf(stderr, "wigwag: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "wigwag: stopped by an unknown error\n");
    }
    signalNotifier.setEnabled(false);
    keyboard->Restore();
    return code;
}
