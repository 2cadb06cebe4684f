// Game controllers on Windows through DirectInput 8: every attached game controller is read
// in the background and without exclusive access, so the game keeps reading the same wheel
// whichever window has the focus. Only the buttons are read, from a buffer, so that a tap
// between two polls counts. Controllers plugged in later are picked up when Windows says a
// device arrived; one that goes away is dropped and used again when it comes back.
#pragma once

#include "platform/win32/win32_api.h"

#ifndef DIRECTINPUT_VERSION
#define DIRECTINPUT_VERSION 0x0800
#endif
#include <dinput.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/game_controllers.h"

namespace wigwag::win32 {

class DirectInputButtons final : public ButtonDevice {
  public:
    // Nothing when DirectInput cannot be started. The controllers attached now are opened.
    static std::unique_ptr<DirectInputButtons> Create(HINSTANCE instance);
    ~DirectInputButtons() override;
    DirectInputButtons(const DirectInputButtons&) = delete;
    DirectInputButtons& operator=(const DirectInputButtons&) = delete;

    std::vector<GameButtonPress> TakePresses() override;
    std::vector<GameController> Controllers() override;

    // The buttons read of each controller, from the first.
    static constexpr std::size_t kMaxButtons = 128;

  private:
    struct Device {
        Device() = default;
        Device(const Device&) = delete;
        Device& operator=(const Device&) = delete;
        ~Device() {
            if (!device) return;
            device->Unacquire();
            device->Release();
        }
        IDirectInputDevice8W* device = nullptr;
        GUID instance{};
        GameController info;
        std::array<bool, kMaxButtons> down{};
        bool refused = false;  // not opened, or its settings refused: never read
        bool acquired = false;
        bool gone = false;  // lost and not acquired again: dropped at the next look
    };
    struct Press {
        DWORD sequence;
        GameButtonPress press;
    };

    DirectInputButtons(IDirectInput8W* input, HWND window);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    // Opens the controllers that are new and lets go of those that are gone; how many opened.
    int Enumerate();
    void Open(const DIDEVICEINSTANCEW& found);
    bool Acquire(Device& d);
    void Read(Device& d, std::vector<Press>& presses);
    // Looks for controllers at the next poll, and up to `looks` times in all while none is new.
    void LookSoon(int looks);

    IDirectInput8W* input_;
    HWND window_;  // message-only: device notices, and the devices' cooperative level
    HDEVNOTIFY notify_ = nullptr;
    std::vector<std::unique_ptr<Device>> devices_;
    std::optional<ULONGLONG> nextLook_;  // when to look for controllers (GetTickCount64)
    int looksLeft_ = 0;
};

// `wigwag.exe --list-devices`: one line per game controller on standard output.
int ListGameControllers(HINSTANCE instance);

}  // namespace wigwag::win32
