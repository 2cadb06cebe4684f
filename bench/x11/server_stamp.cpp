// server_stamp COMMAND [ARGS...]: prints "stamp <server ms>", the X server's time now (the
// time stamp of a property change on a window of its own), then runs the command in its
// place, so that a benchmark can time what the command causes on the server's clock.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    Display* display = XOpenDisplay(nullptr);
    if (!display || argc < 2) return 2;
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(display, window, PropertyChangeMask);
    const Atom stamp = XInternAtom(display, "WIGWAG_STAMP", False);
    XChangeProperty(display, window, stamp, XA_STRING, 8, PropModeReplace, nullptr, 0);
    XEvent event;
    XWindowEvent(display, window, PropertyChangeMask, &event);
    std::printf("stamp %lu\n", event.xproperty.time);
    std::fflush(stdout);
    XCloseDisplay(display);
    execvp(argv[1], argv + 1);
    return 127;
}
