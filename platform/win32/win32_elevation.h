// Whether the window in front can take Wigwag's keys. Windows drops without a word the keys
// that a program which is not elevated sends to an elevated one (SendInput still counts them
// as sent), and several simulators and their launchers run "as administrator"; the window
// says so in a line of its own while it lasts.
#pragma once

#include "platform/win32/win32_api.h"

#include <string>

namespace wigwag::win32 {

class ElevationCheck {
  public:
    // Reads this program's own token, once: an elevated Wigwag reaches every window.
    ElevationCheck();

    // The line for the window in front now: empty while its program takes Wigwag's keys,
    // else one that names the program and says what to do; while Wigwag's own window is in
    // front, the line of the program before. The system is asked about a program only when
    // the front window belongs to another one than at the last call.
    const std::wstring& FrontLine();

  private:
    bool elevated_ = false;
    HWND front_ = nullptr;  // the front window at the last call, and its process
    DWORD process_ = 0;
    std::wstring line_;
};

}  // namespace wigwag::win32
