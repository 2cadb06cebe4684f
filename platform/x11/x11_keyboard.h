// Keys on an X display: synthetic events through XTest, the player's presses from
// XInput 2 raw key events on the root window plus XQueryKeymap.
//
// A key the program presses gets its auto-repeat switched off, so the server neither
// repeats it while held nor turns a second key-down into a release and press. Every such
// change makes each X client with a keyboard (Qt among them) reload the keymap, so the
// setting goes back only once the key has stayed up for a while, not at every release.
// Restore() (also run by the destructor) releases what is still held and puts every
// changed auto-repeat setting back.
//
// A hard kill skips Restore(). So while auto-repeat is off for some keys, their keycodes
// are noted in a file under $XDG_RUNTIME_DIR, one per X display; the next start on that
// display releases any of them still down and turns their auto-repeat back on before it
// looks at the keyboard. A clean end removes the file. Without a private $XDG_RUNTIME_DIR
// there is no note.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/key_device.h"
#include "platform/x11/runtime_folder.h"

using Display = struct _XDisplay;

namespace wigwag {

class X11Keyboard final : public KeyDevice {
  public:
    // Connects to `displayName` (nullptr: $DISPLAY). On failure returns nullptr and puts
    // one line saying why into `error`.
    static std::unique_ptr<X11Keyboard> Open(const char* displayName, std::string& error);
    ~X11Keyboard() override;
    X11Keyboard(const X11Keyboard&) = delete;
    X11Keyboard& operator=(const X11Keyboard&) = delete;

    void Send(std::uint8_t vk, bool up) override;
    // Also gives back the auto-repeat of keys released long enough ago.
    KeyPoll Poll(std::uint8_t vk) override;
    void Restore() override;

    // Waits until the X server has handled every request sent so far.
    void Sync();
    // The keycode a virtual-key code goes out as in the current mapping; 0: none.
    unsigned Keycode(std::uint8_t vk);
    // Keycodes the program holds down now.
    std::vector<unsigned> HeldKeycodes() const;
    // A key event the program sent another way (in a Wayland session), which X windows get
    // through the X server's own keyboard: the next raw press of that keycode within a
    // moment is the program's, not the player's, and the key must not auto-repeat there
    // while the program holds it.
    void OwnKeyElsewhere(unsigned keycode, bool up);

  private:
    explicit X11Keyboard(Display* display);
    bool Init(std::string& error);
    void SetAutoRepeat(unsigned keycode, bool on);
    // Turns the key's auto-repeat off, if it is on and not off already; true if it did.
    bool RepeatOff(unsigned keycode);
    void Drain();
    void RestoreIdleRepeats();
    // Gives back what a run killed on this display left noted.
    void RestoreNotedRepeats();
    // Writes the note of the keycodes whose auto-repeat is off now, or removes it.
    void NoteRepeats();

    struct OwnPress {
        unsigned long serial;  // the request that sent it
        unsigned keycode;
    };

    Display* display_;
    RuntimeFolder runtime_;   // where the note is kept
    std::string repeatNote_;  // the note's name there; empty: no note
    bool noted_ = false;      // the note holds keycodes of this run
    int xiOpcode_ = 0;
    std::vector<int> xtestDevices_;          // slave keyboards fed by XTest
    std::array<bool, 256> held_{};           // keycodes the program pressed and did not release
    std::array<bool, 256> heldElsewhere_{};  // the same, sent another way than XTest
    std::array<bool, 256> repeatOff_{};      // keycodes whose auto-repeat the program turned off
    std::array<bool, 256> repeatWasOn_{};    // per-key auto-repeat as found at start
    std::array<double, 256> releasedAt_{};   // monotonic seconds of the program's last key-up
    std::array<unsigned, 256> presses_{};    // the player's presses since the key's last poll
    std::array<bool, 256> playerDown_{};     // the player's raw press seen, its release not yet
    std::vector<OwnPress> ownPresses_;       // sent, raw event not seen yet
    std::vector<std::pair<unsigned, double>> expected_;  // keycode, until when (monotonic s)
};

}  // namespace wigwag
