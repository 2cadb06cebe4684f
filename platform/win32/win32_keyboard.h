// Keys on Windows: synthetic events through SendInput, each with the key's real scan code,
// the extended-key flag where the key has one and the program's mark in its extra
// information; the player's presses from a low-level keyboard hook, which leaves out the
// marked events.
//
// The hook runs on the thread that creates the keyboard, through that thread's message
// loop. The keyboard knows which keys it holds (a key-down not yet followed by its key-up);
// Restore() (also run by the destructor) lets go of them.
//
// Windows keeps an injected key down until someone sends its key-up, also after the program
// that pressed it was ended by Task Manager or crashed. So while it holds keys the keyboard
// keeps a note of them in the user's registry, HKEY_CURRENT_USER\Software\Wigwag, one value
// for each Windows session (keys are down in a session), a key noted before it goes down and
// struck off once it is up; the next start in the session lets go of the noted keys.
#pragma once

#include "platform/win32/win32_api.h"

#include <array>
#include <string>

#include "platform/key_device.h"

namespace wigwag::win32 {

class Win32Keyboard final : public KeyDevice {
  public:
    // Lets go of the keys that an earlier Wigwag of this session noted and did not let go
    // (it was killed, or crashed), clears the note, and installs the hook. One keyboard at a
    // time, made by the session's Wigwag only, before it sends a key.
    Win32Keyboard();
    ~Win32Keyboard() override;
    Win32Keyboard(const Win32Keyboard&) = delete;
    Win32Keyboard& operator=(const Win32Keyboard&) = delete;

    void Send(std::uint8_t vk, bool up) override;
    KeyPoll Poll(std::uint8_t vk) override;
    // Sends a key-up for every key the program holds down; the note goes with the last one.
    void Restore() override;

  private:
    static LRESULT CALLBACK Hook(int code, WPARAM wp, LPARAM lp);
    void PlayerKey(DWORD vk, bool up);
    // Notes the key as down (it may be) or up; the note is written when it changes.
    void Note(std::uint8_t vk, bool down);

    HHOOK hook_ = nullptr;
    std::array<bool, 256> held_{};           // the program's key-downs without a key-up yet
    std::array<bool, 256> noted_{};          // in the note: held, or about to be pressed
    std::wstring noteName_;                  // the note's value: this session's
    std::array<bool, 256> playerDown_{};     // from the hook
    std::array<bool, 256> playerPressed_{};  // from the hook, since the key's last poll
    std::array<bool, 256> polledDown_{};     // without the hook: down at the key's last poll
};

}  // namespace wigwag::win32
