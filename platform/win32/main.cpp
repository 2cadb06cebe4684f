// The Windows program: the main window on the Win32 host.
#include "platform/win32/win32_host.h"

#include <commctrl.h>

#include <exception>

#include "window/form1.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    try {
        wigwag::win32::Win32Host host(instance, showCommand);
        return wigwag::RunWigwag(host);
    } catch (const std::exception& error) {
        MessageBoxA(nullptr, error.what(), "Wigwag", MB_OK | MB_ICONERROR);
        return 1;
    }
}
