// The X keyboard on a real X server (run under a private Xvfb): the key mapping, the
// player's presses told apart from the program's own, auto-repeat and restoring.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "keys/key_table.h"
#include "platform/x11/keysyms.h"
#include "platform/x11/x11_keyboard.h"

// After gtest: Xlib defines macros such as None.
#include <X11/Xlib.h>

namespace wigwag {
namespace {

constexpr std::uint8_t kF5 = 0x74;

class X11KeyboardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        keyboard = X11Keyboard::Open(nullptr, error);
        ASSERT_NE(keyboard, nullptr) << error;
        observer = XOpenDisplay(nullptr);
        ASSERT_NE(observer, nullptr);
    }
    void TearDown() override {
        keyboard.reset();
        if (observer) XCloseDisplay(observer);
    }
    // Seen from another client, as the receiving application would.
    bool Down(unsigned keycode) {
        if (keyboard) keyboard->Sync();
        char keys[32];
        XQueryKeymap(observer, keys);
        return (keys[keycode / 8] >> (keycode % 8)) & 1;
    }
    bool Repeats(unsigned keycode) {
        if (keyboard) keyboard->Sync();
        XKeyboardState state{};
        XGetKeyboardControl(observer, &state);
        return (state.auto_repeats[keycode / 8] >> (keycode % 8)) & 1;
    }
    static void Xdotool(const std::string& args) {
        ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0);
    }

    std::unique_ptr<X11Keyboard> keyboard;
    Display* observer = nullptr;
};

TEST_F(X11KeyboardTest, EveryKeyTheProgramUsesHasItsOwnKeycode) {
    std::set<std::uint8_t> codes{kBackspaceCode, kZeroCode, kNineCode};
    for (const KeyEntry& entry : kKeyTable) codes.insert(entry.code);
    EXPECT_EQ(codes.size(), 65u);  // BACKSPACE is in the table as well
    std::set<unsigned> keycodes;
    for (std::uint8_t vk : codes) {
        SCOPED_TRACE(static_cast<int>(vk));
        EXPECT_NE(KeysymForVk(vk), 0u);
        const unsigned keycode = keyboard->Keycode(vk);
        EXPECT_NE(keycode, 0u);
        keycodes.insert(keycode);
    }
    EXPECT_EQ(keycodes.size(), codes.size());
    EXPECT_EQ(KeysymForVk(0x6C), 0u);  // the keypad separator is not a key here
}

TEST_F(X11KeyboardTest, OwnEventsAreNeverThePlayersPresses) {
    keyboard->Poll(kBCode);
    keyboard->Send(kBCode, false);
    keyboard->Send(kBackspaceCode, false);
    EXPECT_TRUE(Down(keyboard->Keycode(kBCode)));
    KeyPoll poll = keyboard->Poll(kBCode);
    EXPECT_FALSE(poll.down);
    EXPECT_FALSE(poll.pressed);
    keyboard->Send(kBCode, true);
    keyboard->Send(kBCode, false);
    keyboard->Send(kBCode, true);
    poll = keyboard->Poll(kBCode);
    EXPECT_FALSE(poll.down);
    EXPECT_FALSE(poll.pressed);
    EXPECT_FALSE(keyboard->Poll(kBackspaceCode).pressed);
}

TEST_F(X11KeyboardTest, OtherProgramsPressesCountOncePerPoll) {
    keyboard->Poll(kF5);
    Xdotool("key F5");
    KeyPoll poll = keyboard->Poll(kF5);
    EXPECT_TRUE(poll.pressed);
    EXPECT_FALSE(poll.down);
    EXPECT_FALSE(keyboard->Poll(kF5).pressed);

    Xdotool("keydown F5");
    poll = keyboard->Poll(kF5);
    EXPECT_TRUE(poll.down);
    EXPECT_TRUE(poll.pressed);
    poll = keyboard->Poll(kF5);
    EXPECT_TRUE(poll.down);
    EXPECT_FALSE(poll.pressed);
    Xdotool("keyup F5");
    EXPECT_FALSE(keyboard->Poll(kF5).down);
}

TEST_F(X11KeyboardTest, AnotherProgramsPressBetweenOwnEventsStillCounts) {
    keyboard->Poll(kGCode);
    keyboard->Send(kGCode, false);
    keyboard->Send(kGCode, true);
    Xdotool("key g");
    keyboard->Send(kGCode, false);
    keyboard->Send(kGCode, true);
    EXPECT_TRUE(keyboard->Poll(kGCode).pressed);
}

TEST_F(X11KeyboardTest, HeldKeysDoNotRepeatAndRestoreGivesEverythingBack) {
    const unsigned backspace = keyboard->Keycode(kBackspaceCode);
    const unsigned g = keyboard->Keycode(kGCode);
    ASSERT_TRUE(Repeats(backspace));
    ASSERT_TRUE(Repeats(g));

    keyboard->Send(kBackspaceCode, false);
    EXPECT_TRUE(Down(backspace));
    EXPECT_FALSE(Repeats(backspace));

    // A released key keeps auto-repeat off while the effects may press it again, and gets
    // it back at a poll once it has stayed up a while; a held key never does.
    keyboard->Send(kGCode, false);
    EXPECT_FALSE(Repeats(g));
    keyboard->Send(kGCode, true);
    EXPECT_FALSE(Down(g));
    keyboard->Poll(kF5);
    EXPECT_FALSE(Repeats(g));
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    keyboard->Poll(kF5);
    EXPECT_TRUE(Repeats(g));
    EXPECT_FALSE(Repeats(backspace));

    EXPECT_EQ(keyboard->HeldKeycodes(), std::vector<unsigned>{backspace});
    keyboard->Restore();
    EXPECT_FALSE(Down(backspace));
    EXPECT_TRUE(Repeats(backspace));
    EXPECT_TRUE(keyboard->HeldKeycodes().empty());
    keyboard->Restore();  // twice is harmless
    EXPECT_TRUE(Repeats(backspace));
}

TEST_F(X11KeyboardTest, ClosingTheConnectionReleasesHeldKeys) {
    const unsigned zero = keyboard->Keycode(kZeroCode);
    keyboard->Send(kZeroCode, false);
    EXPECT_TRUE(Down(zero));
    keyboard.reset();
    EXPECT_FALSE(Down(zero));
    EXPECT_TRUE(Repeats(zero));
}

}  // namespace
}  // namespace wigwag
