// The Linux program's keyboard. Keys go out through the first way that works: in a Wayland
// session a Wayland virtual keyboard or the desktop's remote-desktop portal (a KeyOutput),
// else XTest on the X display. The player's use of the start/stop key comes from the X
// server (X windows) and, where the desktop offers it, from its global shortcut.
//
// Keys the program sends another way than XTest reach X windows as the X server's own
// keyboard's, so their presses are told to the X side as the program's; keys it holds that
// way do not count as the player's. A press seen both by the X server and by the desktop's
// shortcut is one press.
#pragma once

#include <array>
#include <memory>

#include "platform/key_device.h"
#include "platform/linux/key_output.h"
#include "platform/x11/x11_keyboard.h"

namespace wigwag {

// The desktop's global shortcut for the start/stop key (the GlobalShortcuts portal).
class StartShortcut {
  public:
    virtual ~StartShortcut() = default;
    // Binds the shortcut to the key, unless it is bound to it already.
    virtual void Follow(std::uint8_t vk) = 0;
    // Its activations since the last call (a hold is one) and whether it is active now;
    // activations the program's own key-downs caused are not counted.
    virtual KeyPoll Take() = 0;
    // The program sends a key-down of this key (a KEY_* code) now.
    virtual void OwnPress(unsigned code) = 0;
};

class LinuxKeyboard final : public KeyDevice {
  public:
    // `output` (may be null: XTest) and `shortcut` (may be null) as chosen at start.
    LinuxKeyboard(X11Keyboard& x11, std::unique_ptr<KeyOutput> output, StartShortcut* shortcut);

    void Send(std::uint8_t vk, bool up) override;
    KeyPoll Poll(std::uint8_t vk) override;
    void Restore() override;

  private:
    // When the way out has gone: says why, counts its keys as let go, goes on with XTest.
    bool OutputWorks();

    X11Keyboard& x11_;
    std::unique_ptr<KeyOutput> output_;
    StartShortcut* shortcut_;
    bool outputGone_ = false;               // said so; XTest from then on
    std::array<bool, 256> held_{};          // KEY_* codes held down through `output_`
    std::array<double, 256> releasedAt_{};  // and when each was last let go
    bool xWasDown_ = false;
    double lastXPress_ = -1e9;  // monotonic seconds of the last press each way
    double lastShortcutPress_ = -1e9;
};

}  // namespace wigwag
