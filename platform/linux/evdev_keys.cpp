#include "platform/linux/evdev_keys.h"

#include <linux/input-event-codes.h>

#include <array>

namespace wigwag {

namespace {

constexpr std::array<unsigned, 26> kLetters = {
    KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I, KEY_J, KEY_K, KEY_L, KEY_M,
    KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R, KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z};
constexpr std::array<unsigned, 10> kDigits = {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4,
                                              KEY_5, KEY_6, KEY_7, KEY_8, KEY_9};
constexpr std::array<unsigned, 10> kKeypadDigits = {KEY_KP0, KEY_KP1, KEY_KP2, KEY_KP3, KEY_KP4,
                                                    KEY_KP5, KEY_KP6, KEY_KP7, KEY_KP8, KEY_KP9};
constexpr std::array<unsigned, 12> kFunctionKeys = {KEY_F1, KEY_F2,  KEY_F3,  KEY_F4,
                                                    KEY_F5, KEY_F6,  KEY_F7,  KEY_F8,
                                                    KEY_F9, KEY_F10, KEY_F11, KEY_F12};

}  // namespace

unsigned EvdevCodeForVk(std::uint8_t vk) {
    if (vk >= 0x41 && vk <= 0x5A) return kLetters[vk - 0x41];
    if (vk >= 0x30 && vk <= 0x39) return kDigits[vk - 0x30];
    if (vk >= 0x60 && vk <= 0x69) return kKeypadDigits[vk - 0x60];
    if (vk >= 0x70 && vk <= 0x7B) return kFunctionKeys[vk - 0x70];
    switch (vk) {
        case 0x08:
            return KEY_BACKSPACE;
        case 0x09:
            return KEY_TAB;
        case 0x0D:
            return KEY_ENTER;
        case 0x10:
            return KEY_LEFTSHIFT;
        case 0x11:
            return KEY_LEFTCTRL;
        case 0x20:
            return KEY_SPACE;
        case 0x23:
            return KEY_END;
        case 0x24:
            return KEY_HOME;
        case 0x2D:
            return KEY_INSERT;
        case 0x2E:
            return KEY_DELETE;
        case 0x6A:
            return KEY_KPASTERISK;
        case 0x6B:
            return KEY_KPPLUS;
        case 0x6D:
            return KEY_KPMINUS;
        case 0x6E:
            return KEY_KPDOT;
        case 0x6F:
            return KEY_KPSLASH;
        default:
            return 0;
    }
}

}  // namespace wigwag
