#include "platform/x11/x11_keyboard.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/printable.h"
#include "platform/x11/keysyms.h"

namespace wigwag {

namespace {

// Longer than the hazard lights' 1 s between presses, so a running effect's key keeps its
// auto-repeat off; short enough to give the key back soon after the effects stop.
constexpr double kRepeatRestoreDelay = 2.0;
// How long a key sent another way may take to come back through the X server.
constexpr double kOwnPressWindow = 0.25;

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Protocol errors (a keycode the server rejects, a device gone) must not end the
// program, which Xlib's default handler would do.
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

// The note's name for the display; empty when the display has no name to give it.
std::string RepeatNoteName(const std::string& displayName) {
    const std::optional<std::string> key = DisplayKey(displayName);
    return key ? "wigwag-repeat-" + *key : std::string();
}

}  // namespace

std::unique_ptr<X11Keyboard> X11Keyboard::Open(const char* displayName, std::string& error) {
    const char* name = displayName ? displayName : std::getenv("DISPLAY");
    if (!name || !*name) {
        error = "no X display: DISPLAY is not set (Wigwag needs an X11 session or XWayland)";
        return nullptr;
    }
    Display* display = XOpenDisplay(name);
    if (!display) {
        error = "cannot open the X display \"" + Printable(name) +
                "\" (Wigwag needs an X11 session or XWayland)";
        return nullptr;
    }
    XSetErrorHandler(IgnoreXError);
    std::unique_ptr<X11Keyboard> keyboard(new X11Keyboard(display));
    if (!keyboard->Init(error)) return nullptr;
    return keyboard;
}

X11Keyboard::X11Keyboard(Display* display) : display_(display) {}

X11Keyboard::~X11Keyboard() {
    Restore();
    XCloseDisplay(display_);
}

bool X11Keyboard::Init(std::string& error) {
    int event = 0, base = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_, &event, &base, &major, &minor)) {
        error = "the X server has no XTEST extension, which Wigwag needs to send keys";
        return false;
    }
    int xiEvent = 0, xiError = 0;
    major = 2;
    minor = 2;
    if (!XQueryExtension(display_, "XInputExtension", &xiOpcode_, &xiEvent, &xiError) ||
        XIQueryVersion(display_, &major, &minor) != Success) {
        error = "the X server has no XInput 2 extension, which Wigwag needs to read keys";
        return false;
    }

    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(display_, XIAllDevices, &count);
    for (int i = 0; i < count; ++i) {
        if (devices[i].use == XISlaveKeyboard && std::strstr(devices[i].name, "XTEST"))
            xtestDevices_.push_back(devices[i].deviceid);
    }
    XIFreeDeviceInfo(devices);

    unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(mask, XI_RawKeyPress);
    XISetMask(mask, XI_RawKeyRelease);
    XIEventMask eventMask{XIAllMasterDevices, sizeof mask, mask};
    XISelectEvents(display_, DefaultRootWindow(display_), &eventMask, 1);

    if (runtime_.IsOpen()) repeatNote_ = RepeatNoteName(DisplayString(display_));
    RestoreNotedRepeats();
    XKeyboardState state{};
    XGetKeyboardControl(display_, &state);
    for (unsigned k = 0; k < 256; ++k) repeatWasOn_[k] = (state.auto_repeats[k / 8] >> (k % 8)) & 1;
    XSync(display_, False);
    return true;
}

void X11Keyboard::Sync() {
    XSync(display_, False);
}

unsigned X11Keyboard::Keycode(std::uint8_t vk) {
    const unsigned long keysym = KeysymForVk(vk);
    return keysym ? XKeysymToKeycode(display_, keysym) : 0;
}

std::vector<unsigned> X11Keyboard::HeldKeycodes() const {
    std::vector<unsigned> held;
    for (unsigned k = 0; k < 256; ++k)
        if (held_[k]) held.push_back(k);
    return held;
}

void X11Keyboard::OwnKeyElsewhere(unsigned keycode, bool up) {
    if (keycode < 8 || keycode > 255) return;
    if (up) {
        heldElsewhere_[keycode] = false;
        releasedAt_[keycode] = Now();
    } else {
        // The key goes through the compositor, which may reach the X server before this
        // connection does: the server has turned the key's repeat off before it is sent.
        if (RepeatOff(keycode)) XSync(display_, False);
        heldElsewhere_[keycode] = true;
        expected_.emplace_back(keycode, Now() + kOwnPressWindow);
    }
    XFlush(display_);
}

bool X11Keyboard::RepeatOff(unsigned keycode) {
    if (!repeatWasOn_[keycode] || repeatOff_[keycode]) return false;
    repeatOff_[keycode] = true;
    NoteRepeats();  // noted before it changes
    SetAutoRepeat(keycode, false);
    return true;
}

void X11Keyboard::SetAutoRepeat(unsigned keycode, bool on) {
    XKeyboardControl control{};
    control.key = static_cast<int>(keycode);
    control.auto_repeat_mode = on ? AutoRepeatModeOn : AutoRepeatModeOff;
    XChangeKeyboardControl(display_, KBKey | KBAutoRepeatMode, &control);
}

void X11Keyboard::Send(std::uint8_t vk, bool up) {
    const unsigned keycode = Keycode(vk);
    if (keycode == 0) return;
    if (up) {
        XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
        held_[keycode] = false;
        releasedAt_[keycode] = Now();
    } else {
        RepeatOff(keycode);
        ownPresses_.push_back({NextRequest(display_), keycode});
        XTestFakeKeyEvent(display_, keycode, True, CurrentTime);
        held_[keycode] = true;
    }
    XFlush(display_);
}

void X11Keyboard::Drain() {
    while (XPending(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            continue;
        }
        XGenericEventCookie& cookie = event.xcookie;
        if (event.type != GenericEvent || cookie.extension != xiOpcode_ ||
            !XGetEventData(display_, &cookie))
            continue;
        if (cookie.evtype == XI_RawKeyPress) {
            const auto* raw = static_cast<const XIRawEvent*>(cookie.data);
            const auto keycode = static_cast<unsigned>(raw->detail);
            const bool fromXTest = std::find(xtestDevices_.begin(), xtestDevices_.end(),
                                             raw->sourceid) != xtestDevices_.end();
            auto own = ownPresses_.end();
            if (fromXTest)
                own = std::find_if(ownPresses_.begin(), ownPresses_.end(), [&](const OwnPress& p) {
                    return p.serial == cookie.serial && p.keycode == keycode;
                });
            auto expected = expected_.end();
            if (!fromXTest)
                expected = std::find_if(expected_.begin(), expected_.end(),
                                        [&](const auto& e) { return e.first == keycode; });
            if (own != ownPresses_.end())
                ownPresses_.erase(own);
            else if (expected != expected_.end())
                expected_.erase(expected);
            else if (!(raw->flags & XIKeyRepeat) && keycode < presses_.size()) {
                ++presses_[keycode];
                playerDown_[keycode] = true;
            }
        } else if (cookie.evtype == XI_RawKeyRelease) {
            const auto keycode =
                static_cast<unsigned>(static_cast<const XIRawEvent*>(cookie.data)->detail);
            // A key the program holds through the compositor is down on the server's own
            // keyboard, which takes another press of it there as no press at all: the
            // player's press shows only as its release.
            if (keycode < presses_.size() && heldElsewhere_[keycode] && !playerDown_[keycode])
                ++presses_[keycode];
            if (keycode < playerDown_.size()) playerDown_[keycode] = false;
        }
        XFreeEventData(display_, &cookie);
    }
}

void X11Keyboard::RestoreIdleRepeats() {
    const double now = Now();
    bool restored = false;
    for (unsigned k = 0; k < 256; ++k) {
        if (repeatOff_[k] && !held_[k] && !heldElsewhere_[k] &&
            now - releasedAt_[k] >= kRepeatRestoreDelay) {
            SetAutoRepeat(k, true);
            repeatOff_[k] = false;
            restored = true;
        }
    }
    if (!restored) return;
    XFlush(display_);  // the server gets the change even if the program dies now
    NoteRepeats();
}

void X11Keyboard::NoteRepeats() {
    if (repeatNote_.empty()) return;
    std::string text;
    for (unsigned k = 0; k < 256; ++k)
        if (repeatOff_[k]) text += std::to_string(k) + "\n";
    const int folder = runtime_.Fd();
    if (text.empty()) {
        if (noted_) ::unlinkat(folder, repeatNote_.c_str(), 0);
        noted_ = false;
        return;
    }
    // Replaced whole through a new file of our own, so a kill leaves the old note or the
    // new one.
    const std::string temp = repeatNote_ + ".new";
    ::unlinkat(folder, temp.c_str(), 0);
    const int fd =
        ::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (written && ::renameat(folder, temp.c_str(), folder, repeatNote_.c_str()) == 0)
        noted_ = true;
    else
        ::unlinkat(folder, temp.c_str(), 0);
}

void X11Keyboard::RestoreNotedRepeats() {
    if (repeatNote_.empty()) return;
    const int fd = OpenPrivateFile(runtime_.Fd(), repeatNote_, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return;
    char text[2048] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n < 0) return;
    char keys[32];
    XQueryKeymap(display_, keys);
    for (char* at = text; *at;) {
        char* end = nullptr;
        const unsigned long k = std::strtoul(at, &end, 10);
        if (end == at) break;
        at = end;
        if (k < 8 || k > 255) continue;  // not a keycode
        if ((keys[k / 8] >> (k % 8)) & 1) XTestFakeKeyEvent(display_, k, False, CurrentTime);
        SetAutoRepeat(static_cast<unsigned>(k), true);
    }
    XSync(display_, False);
    ::unlinkat(runtime_.Fd(), repeatNote_.c_str(), 0);
}

KeyPoll X11Keyboard::Poll(std::uint8_t vk) {
    RestoreIdleRepeats();
    // The round trip puts the raw events of every earlier request, ours included, in
    // the queue first; own presses still unmatched after draining were never delivered.
    // Draining also takes in a new keymap before the key is looked up in it: a keymap
    // without the key (XWayland takes over a virtual keyboard's few keys) must not keep
    // the next one from being read.
    char keys[32];
    XQueryKeymap(display_, keys);
    Drain();
    ownPresses_.clear();
    const double now = Now();
    std::erase_if(expected_, [now](const auto& e) { return e.second < now; });
    const unsigned keycode = Keycode(vk);
    if (keycode == 0) return {};
    KeyPoll poll;
    poll.down = ((keys[keycode / 8] >> (keycode % 8)) & 1) && !held_[keycode];
    poll.pressed = presses_[keycode] > 0;
    presses_[keycode] = 0;
    return poll;
}

void X11Keyboard::Restore() {
    for (unsigned k = 0; k < 256; ++k) {
        if (held_[k]) XTestFakeKeyEvent(display_, k, False, CurrentTime);
        held_[k] = heldElsewhere_[k] = false;
    }
    for (unsigned k = 0; k < 256; ++k) {
        if (repeatOff_[k]) SetAutoRepeat(k, true);
        repeatOff_[k] = false;
    }
    XSync(display_, False);
    NoteRepeats();  // everything is back: the note goes
}

}  // namespace wigwag
