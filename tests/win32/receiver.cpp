// The receiver stands in for the game: it takes the keyboard focus and writes each key-down and
// key-up it gets to receiver.log in its working directory, a line each: the time in seconds,
// 1 for up, the virtual-key code, lParam (scan code, extended flag) and the sender's mark.
#include <windows.h>

#include <fstream>

namespace {

std::ofstream keyLog;

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_KEYDOWN || msg == WM_KEYUP || msg == WM_SYSKEYDOWN || msg == WM_SYSKEYUP) {
        LARGE_INTEGER frequency, now;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&now);
        keyLog << std::fixed << double(now.QuadPart) / double(frequency.QuadPart) << ' '
               << (msg & 1) << ' ' << wp << ' ' << (lp & 0xFFFFFFFF) << ' '
               << static_cast<unsigned long long>(GetMessageExtraInfo()) << std::endl;
        return 0;
    }
    if (msg == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    keyLog.open("receiver.log");
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    wc.lpszClassName = L"WigwagReceiver";
    RegisterClassW(&wc);
    SetForegroundWindow(CreateWindowExW(0, wc.lpszClassName, L"Wigwag receiver",
                                        WS_OVERLAPPEDWINDOW | WS_VISIBLE, 400, 300, 320, 200,
                                        nullptr, nullptr, instance, nullptr));
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return keyLog ? 0 : 3;
}
