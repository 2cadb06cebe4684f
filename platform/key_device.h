// The keyboard as a window host uses it: synthetic key events out, the player's use of a
// key in. The implementations live in platform/x11 and platform/win32; tests substitute a
// recorder.
#pragma once

#include <cstdint>

#include "platform/host.h"

namespace wigwag {

class KeyDevice {
  public:
    virtual ~KeyDevice() = default;
    // One key-down (up = false) or key-up of a virtual-key code, for the focused window.
    virtual void Send(std::uint8_t vk, bool up) = 0;
    // The player's use of the key since the previous poll of it; never the program's own
    // events.
    virtual KeyPoll Poll(std::uint8_t vk) = 0;
    // Releases every key the program still holds down and restores every keyboard setting
    // it changed. Safe to call more than once.
    virtual void Restore() = 0;
};

}  // namespace wigwag
