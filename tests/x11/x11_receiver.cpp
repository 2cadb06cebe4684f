// A small X client for the end-to-end tests and the benchmark.
//
//   x11_receiver record      a window that keeps the keyboard focus and prints one line per
//                            key event: "press|release <keysym> <keycode> <monotonic us>
//                            <server ms>"; "ready <window id>" first; ends when stdin closes
//   x11_receiver state       prints "down <keycodes...>" (XQueryKeymap) and
//                            "repeat <global> <per-key bitmap in hex>"
//   x11_receiver close <id>  asks a window to close, as a window manager does
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

long long MonotonicMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

int Record(Display* display) {
    const int screen = DefaultScreen(display);
    const Window window =
        XCreateSimpleWindow(display, RootWindow(display, screen), 600, 600, 200, 100, 0,
                            BlackPixel(display, screen), WhitePixel(display, screen));
    XStoreName(display, window, "x11_receiver");
    XSelectInput(display, window,
                 KeyPressMask | KeyReleaseMask | FocusChangeMask | StructureNotifyMask);
    XMapWindow(display, window);
    for (XEvent event;;) {
        XNextEvent(display, &event);
        if (event.type == MapNotify) break;
    }
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);
    std::printf("ready %lu\n", window);
    std::fflush(stdout);

    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == KeyPress || event.type == KeyRelease) {
                const long long now = MonotonicMicros();
                const KeySym keysym = XLookupKeysym(&event.xkey, 0);
                const char* name = XKeysymToString(keysym);
                std::printf("%s %s %u %lld %lu\n", event.type == KeyPress ? "press" : "release",
                            name ? name : "none", event.xkey.keycode, now, event.xkey.time);
                std::fflush(stdout);
            } else if (event.type == FocusOut && event.xfocus.mode == NotifyNormal) {
                // Keep the focus: the keys under test must come here.
                XSetInputFocus(display, window, RevertToParent, CurrentTime);
                XFlush(display);
            }
        }
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) {
            char buffer[64];
            if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
        }
    }
    XDestroyWindow(display, window);
    return 0;
}

int State(Display* display) {
    char keys[32];
    XQueryKeymap(display, keys);
    std::printf("down");
    for (int k = 0; k < 256; ++k)
        if ((keys[k / 8] >> (k % 8)) & 1) std::printf(" %d", k);
    XKeyboardState state{};
    XGetKeyboardControl(display, &state);
    std::printf("\nrepeat %d ", state.global_auto_repeat);
    for (unsigned char byte : state.auto_repeats) std::printf("%02x", static_cast<unsigned>(byte));
    std::printf("\n");
    return 0;
}

int Close(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "x11_receiver: cannot open the display\n");
        return 2;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    int code = 2;
    if (mode == "record")
        code = Record(display);
    else if (mode == "state")
        code = State(display);
    else if (mode == "close" && argc > 2)
        code = Close(display, std::strtoul(argv[2], nullptr, 0));
    else
        std::fprintf(stderr, "usage: x11_receiver record | state | close <window>\n");
    XCloseDisplay(display);
    return code;
}
