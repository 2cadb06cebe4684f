// Keys on Windows: synthetic events through SendInput, each with the key's real scan code,
// the extended-key flag where the key has one and the program's mark in its extra
// information; the player's presses from a low-level keyboard hook, which leaves out the
// marked events.
//
// The hook runs on the thread that creates the keyboard, through that thread's message
// loop. The keyboard knows which keys it holds (a key-down not yet followed by its key-up);
// Restore() (also run by the destructor) lets go of them.
#pragma once

#include "platform/win32/win32_api.h"

#include <array>

#include "platform/key_device.h"

namespace wigwag::win32 {

class Win32Keyboard final : public KeyDevice {
  public:
    // Installs the hook; one keyboard at a time.
    Win32Keyboard();
    ~Win32Keyboard() override;
    Win32Keyboard(const Win32Keyboard&) = delete;
    Win32Keyboard& operator=(const Win32Keyboard&) = delete;

    void Send(std::uint8_t vk, bool up) override;
    KeyPoll Poll(std::uint8_t vk) override;
    // Sends a key-up for every key the program holds down.
    void Restore() override;

  private:
    static LRESULT CALLBACK Hook(int code, WPARAM wp, LPARAM lp);
    void PlayerKey(DWORD vk, bool up);

    HHOOK hook_ = nullptr;
    std::array<bool, 256> held_{};           // the program's key-downs without a key-up yet
    std::array<bool, 256> playerDown_{};     // from the hook
    std::array<bool, 256> playerPressed_{};  // from the hook, since the key's last poll
    std::array<bool, 256> polledDown_{};     // without the hook: down at the key's last poll
};

}  // namespace wigwag::win32
