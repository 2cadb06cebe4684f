// The Windows program: the main window on the Win32 host, keys through SendInput and a
// low-level keyboard hook.
#include "platform/win32/instance.h"
#include "platform/win32/win32_host.h"
#include "platform/win32/win32_joystick.h"
#include "platform/win32/win32_keyboard.h"

#include <commctrl.h>
#include <shellapi.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/options.h"
#include "platform/say.h"
#include "window/form1.h"

namespace {

// The arguments after the program's name, as UTF-8.
std::vector<std::string> Arguments() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; args && i < count; ++i)
        arguments.push_back(wigwag::win32::Narrow(args[i], CP_UTF8));
    if (args) LocalFree(args);
    return arguments;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    const wigwag::CommandLine line =
        wigwag::ParseCommandLine(Arguments(), wigwag::Platform::Windows);
    if (line.answered) return wigwag::Tell(*line.answered);
    if (line.options.listDevices) return wigwag::win32::ListGameControllers(instance);
    // A command for the running Wigwag, and a start while one runs, end here: no window yet.
    wigwag::win32::Instance running;
    if (const std::optional<int> done = running.Claim(line.options.command)) return *done;
    // This is the session's Wigwag now: first of all, the keys a killed one left down go up.
    wigwag::win32::Win32Keyboard keyboard;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    int code = 1;
    try {
        wigwag::win32::Win32Host host(instance, showCommand, keyboard);
        // Without DirectInput the program runs with its start/stop key alone.
        const std::unique_ptr<wigwag::win32::DirectInputButtons> controllers =
            wigwag::win32::DirectInputButtons::Create(instance);
        host.SetButtonDevice(controllers.get());
        running.Listen(host);
        code = wigwag::RunWigwag(host);
    } catch (const std::exception& error) {
        keyboard.Restore();  // before the box waits for the user
        MessageBoxW(nullptr, wigwag::win32::Widen(error.what(), CP_UTF8).c_str(), L"Wigwag",
                    MB_OK | MB_ICONERROR);
    }
    // Every handler has returned, a tick that was inside a pause at the close too: nothing
    // presses a key after this.
    keyboard.Restore();
    return code;
}
