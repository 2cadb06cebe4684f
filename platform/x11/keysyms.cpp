#include "platform/x11/keysyms.h"

#include <X11/keysym.h>

namespace wigwag {

unsigned long KeysymForVk(std::uint8_t vk) {
    if (vk >= 0x41 && vk <= 0x5A) return XK_a + (vk - 0x41);
    if (vk >= 0x30 && vk <= 0x39) return XK_0 + (vk - 0x30);
    if (vk >= 0x60 && vk <= 0x69) return XK_KP_0 + (vk - 0x60);
    if (vk >= 0x70 && vk <= 0x7B) return XK_F1 + (vk - 0x70);
    switch (vk) {
        case 0x08:
            return XK_BackSpace;
        case 0x09:
            return XK_Tab;
        case 0x0D:
            return XK_Return;
        case 0x10:
            return XK_Shift_L;
        case 0x11:
            return XK_Control_L;
        case 0x20:
            return XK_space;
        case 0x23:
            return XK_End;
        case 0x24:
            return XK_Home;
        case 0x2D:
            return XK_Insert;
        case 0x2E:
            return XK_Delete;
        case 0x6A:
            return XK_KP_Multiply;
        case 0x6B:
            return XK_KP_Add;
        case 0x6D:
            return XK_KP_Subtract;
        case 0x6E:
            // The keypad's "." key, as it reads with Num Lock off: X finds KP_Decimal first
            // on the keypad comma that some keyboards have, another key.
            return XK_KP_Delete;
        case 0x6F:
            return XK_KP_Divide;
        default:
            return 0;
    }
}

}  // namespace wigwag
