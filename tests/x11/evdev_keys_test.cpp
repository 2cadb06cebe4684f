// The keys' positions in a Wayland session: every key of the table at its own evdev code,
// the code the X server (on the "us" layout) numbers 8 higher for the same keysym.
#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <set>

#include "keys/key_table.h"
#include "platform/linux/evdev_keys.h"
#include "platform/x11/keysyms.h"

namespace wigwag {
namespace {

// The keycode XKeysymToKeycode gives: the first key with the keysym at its first level,
// else at its second, and so on.
unsigned XKeycode(xkb_keymap* keymap, xkb_keysym_t keysym) {
    for (xkb_level_index_t level = 0; level < 4; ++level) {
        for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap);
             key <= xkb_keymap_max_keycode(keymap); ++key) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap, key, 0, level, &syms);
            for (int i = 0; i < count; ++i)
                if (syms[i] == keysym) return key;
        }
    }
    return 0;
}

TEST(EvdevKeys, EveryKeyAtItsUsPosition) {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    const xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    ASSERT_NE(keymap, nullptr);
    std::set<unsigned> codes;
    for (const KeyEntry& key : kKeyTable) codes.insert(EvdevCodeForVk(key.code));
    EXPECT_EQ(codes.size(), kKeyTable.size()) << "two keys share a code";
    EXPECT_EQ(codes.count(0), 0u);
    // The table's keys and the ones the program sends besides them.
    std::set<std::uint8_t> sent = {kZeroCode, kNineCode, kBackspaceCode};
    for (const KeyEntry& key : kKeyTable) sent.insert(key.code);
    for (std::uint8_t vk : sent) {
        const auto keysym = static_cast<xkb_keysym_t>(KeysymForVk(vk));
        EXPECT_EQ(EvdevCodeForVk(vk) + 8, XKeycode(keymap, keysym)) << "virtual key " << int(vk);
    }
    EXPECT_EQ(EvdevCodeForVk(0x6C), 0u);  // the keypad separator is no key of the table
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
}

}  // namespace
}  // namespace wigwag
