// The Windows program: the main window on the Win32 host, keys through SendInput and a
// low-level keyboard hook.
#include "platform/win32/instance.h"
#include "platform/win32/win32_host.h"
#include "platform/win32/win32_keyboard.h"

#include <commctrl.h>

#include <exception>
#include <optional>

#include "window/form1.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // A command for the running Wigwag, and a start while one runs, end here: no window yet.
    wigwag::win32::Instance running;
    if (const std::optional<int> done = running.Claim()) return *done;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    wigwag::win32::Win32Keyboard keyboard;
    int code = 1;
    try {
        wigwag::win32::Win32Host host(instance, showCommand, keyboard);
        running.Listen(host);
        code = wigwag::RunWigwag(host);
    } catch (const std::exception& error) {
        keyboard.Restore();  // before the box waits for the user
        MessageBoxA(nullptr, error.what(), "Wigwag", MB_OK | MB_ICONERROR);
    }
    // Every handler has returned, a tick that was inside a pause at the close too: nothing
    // presses a key after this.
    keyboard.Restore();
    return code;
}
