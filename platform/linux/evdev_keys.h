// Virtual-key codes (the numbering the program speaks) to Linux input event codes, the
// positions a Wayland virtual keyboard and the desktop's remote-desktop portal take.
#pragma once

#include <cstdint>

namespace wigwag {

// The KEY_* code of the key a virtual-key code names on a US keyboard, or 0 when the code
// has none here. SHIFT and CONTROL are the left-hand keys; NUMPAD keys the keypad's. The X
// server numbers the same keys as these codes plus 8.
unsigned EvdevCodeForVk(std::uint8_t vk);

}  // namespace wigwag
