// Virtual-key codes (the numbering the program speaks) to X keysyms.
#pragma once

#include <cstdint>

namespace wigwag {

// The keysym of the key a virtual-key code names, or 0 when the code has none here.
// Letters map to their lower-case keysyms, keypad keys to the KP_ keysyms, SHIFT and
// CONTROL to the left-hand keys; the keypad's "." key to KP_Delete.
unsigned long KeysymForVk(std::uint8_t vk);

}  // namespace wigwag
