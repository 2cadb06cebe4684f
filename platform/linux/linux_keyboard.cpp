#include "platform/linux/linux_keyboard.h"

#include <time.h>

#include "platform/linux/evdev_keys.h"
#include "platform/say.h"

namespace wigwag {

namespace {

// Two reports of a press, one by the X server and one by the desktop's shortcut, this close
// together are the same press.
constexpr double kSamePress = 0.3;
// How long a key the program let go through the compositor may still show as down in X
// windows, which hear of it a little later.
constexpr double kReleaseLag = 0.25;

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

LinuxKeyboard::LinuxKeyboard(X11Keyboard& x11, std::unique_ptr<KeyOutput> output,
                             StartShortcut* shortcut)
    : x11_(x11), output_(std::move(output)), shortcut_(shortcut) {
    releasedAt_.fill(-1e9);
}

bool LinuxKeyboard::OutputWorks() {
    if (!output_ || outputGone_) return false;
    const std::string lost = output_->Lost();
    if (lost.empty()) return true;
    Say(Stream::Err, "wigwag: " + lost +
                         ": its keys count as let go, and keys go out through XTest (to X "
                         "windows only) from now on");
    outputGone_ = true;
    for (unsigned code = 0; code < held_.size(); ++code)
        if (held_[code]) x11_.OwnKeyElsewhere(code + 8, true);
    held_ = {};
    return false;
}

void LinuxKeyboard::Send(std::uint8_t vk, bool up) {
    if (OutputWorks()) {
        const unsigned code = EvdevCodeForVk(vk);
        // As a keyboard does: no key-down of a key that is down, no key-up of one that is up.
        // The desktop drops them anyway (sway keeps each key-down of a held key, and once 32
        // are kept it loses key-ups), and each would be a message through the portal.
        if (code == 0 || held_[code] == !up) return;
        x11_.OwnKeyElsewhere(code + 8, up);  // X keycodes are the evdev codes plus 8
        if (!up && shortcut_) shortcut_->OwnPress(code);
        if (output_->Send(code, up)) {
            held_[code] = !up;
            if (up) releasedAt_[code] = Now();
            return;
        }
        if (OutputWorks()) return;
    }
    x11_.Send(vk, up);
}

KeyPoll LinuxKeyboard::Poll(std::uint8_t vk) {
    const bool output = OutputWorks();
    KeyPoll x = x11_.Poll(vk);
    const double now = Now();
    // A key the program holds through the compositor shows as down in X windows too.
    const unsigned code = EvdevCodeForVk(vk);
    if (output && code != 0 && (held_[code] || now - releasedAt_[code] < kReleaseLag))
        x.down = false;
    if (!shortcut_) return x;

    shortcut_->Follow(vk);
    const KeyPoll desktop = shortcut_->Take();
    const bool xPress = x.pressed || (x.down && !xWasDown_);
    xWasDown_ = x.down;
    // Whichever reports a press second, while the other still holds the key or a moment
    // after the other's report, reports the same press.
    const bool fromX = xPress && !desktop.down && now - lastShortcutPress_ > kSamePress;
    const bool fromDesktop = desktop.pressed && !x.down && now - lastXPress_ > kSamePress;
    if (xPress) lastXPress_ = now;
    if (desktop.pressed) lastShortcutPress_ = now;
    // The press is decided here, edges included: nothing is left for the caller to find.
    return {false, fromX || fromDesktop};
}

void LinuxKeyboard::Restore() {
    if (OutputWorks()) {
        for (unsigned code = 0; code < held_.size(); ++code)
            if (held_[code]) output_->Send(code, true);
    }
    held_ = {};
    x11_.Restore();
}

}  // namespace wigwag
