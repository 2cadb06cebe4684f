// A small X client for the end-to-end tests and the benchmark.
//
//   x11_receiver record [managed]
//                            a window that keeps the keyboard focus (under a window manager,
//                            "managed": that takes it when it is given it) and prints one line
//                            per key event:
//                            "press|release <keysym> <keycode> <monotonic us> <server ms>";
//                            "ready <window id>" first; ends when stdin closes
//   x11_receiver state       prints "down <keycodes...>" (XQueryKeymap) and
//                            "repeat <global> <per-key bitmap in hex>"
//   x11_receiver close <id>  asks a window to close, as a window manager does
//   x11_receiver keyboard KEYSYM...
//                            presses and lets go of each key on a keyboard that is not the
//                            XTEST one, as the player's own keyboard does
#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

void Record(Display* display, bool managed) {
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 600, 600, 200, 100, 0, 0, 0);
    XSelectInput(display, window,
                 KeyPressMask | KeyReleaseMask | FocusChangeMask | StructureNotifyMask);
    XMapWindow(display, window);
    XEvent mapped;  // viewable, and so able to take the focus, once mapped
    do XWindowEvent(display, window, StructureNotifyMask, &mapped);
    while (mapped.type != MapNotify);
    if (!managed) XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);
    std::printf("ready %lu\n", window);
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    char buffer[64];
    while (!fds[1].revents || read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            // Keep the focus: the keys under test must come here.
            if (!managed && event.type == FocusOut && event.xfocus.mode == NotifyNormal)
                XSetInputFocus(display, window, RevertToParent, CurrentTime);
            if (event.type != KeyPress && event.type != KeyRelease) continue;
            timespec ts{};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            const char* name = XKeysymToString(XLookupKeysym(&event.xkey, 0));
            std::printf("%s %s %u %lld %lu\n", event.type == KeyPress ? "press" : "release",
                        name ? name : "none", event.xkey.keycode,
                        ts.tv_sec * 1000000LL + ts.tv_nsec / 1000, event.xkey.time);
        }
        poll(fds, 2, -1);
    }
}

void State(Display* display) {
    char keys[32];
    XQueryKeymap(display, keys);
    std::printf("down");
    for (int k = 0; k < 256; ++k)
        if ((keys[k / 8] >> (k % 8)) & 1) std::printf(" %d", k);
    XKeyboardState state{};
    XGetKeyboardControl(display, &state);
    std::printf("\nrepeat %d ", state.global_auto_repeat);
    for (char byte : state.auto_repeats) std::printf("%02x", static_cast<unsigned char>(byte));
    std::printf("\n");
}

void Close(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, window, False, NoEventMask, &event);
}

int Keyboard(Display* display, char** keys) {
    int count = 0;
    XDeviceInfo* devices = XListInputDevices(display, &count);
    XDevice* keyboard = nullptr;
    for (int i = 0; i < count && !keyboard; ++i)
        if (devices[i].use == IsXExtensionKeyboard && !std::strstr(devices[i].name, "XTEST"))
            keyboard = XOpenDevice(display, devices[i].id);
    XFreeDeviceList(devices);
    if (!keyboard) return 1;
    for (; *keys; ++keys) {
        const unsigned code = XKeysymToKeycode(display, XStringToKeysym(*keys));
        XTestFakeDeviceKeyEvent(display, keyboard, code, True, nullptr, 0, CurrentTime);
        XTestFakeDeviceKeyEvent(display, keyboard, code, False, nullptr, 0, CurrentTime);
    }
    XCloseDevice(display, keyboard);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    Display* display = XOpenDisplay(nullptr);
    if (!display) return 2;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as it comes
    if (mode == "record") Record(display, argc > 2 && std::string(argv[2]) == "managed");
    if (mode == "state") State(display);
    if (mode == "keyboard" && Keyboard(display, argv + 2) != 0) return 1;
    if (mode == "close" && argc > 2) Close(display, std::strtoul(argv[2], nullptr, 0));
    XCloseDisplay(display);  // sends what is still queued
    return 0;
}
