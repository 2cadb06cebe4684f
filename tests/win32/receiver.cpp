// The receiver: stands in for the simulator. It takes the keyboard focus and writes every
// key-down and key-up it gets to a log file, one line each: time, "down" or "up", the
// virtual-key code and lParam in hexadecimal (scan code, extended flag).
//
// Copied as explorer.exe into the program's working directory, it stands in for the system
// shell instead: it adds its command line and initial window state to shell.log there.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>

namespace {

std::FILE* logFile = nullptr;
LARGE_INTEGER frequency;

double Now() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / double(frequency.QuadPart);
}

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
        case WM_KEYUP:
        case WM_SYSKEYUP: {
            const bool up = msg == WM_KEYUP || msg == WM_SYSKEYUP;
            std::fprintf(logFile, "%.6f %s %u %lx\n", Now(), up ? "up" : "down", unsigned(wp),
                         static_cast<unsigned long>(lp));
            std::fflush(logFile);
            return 0;
        }
        case WM_ACTIVATE:
            if (LOWORD(wp) == WA_INACTIVE) {
                std::fprintf(logFile, "%.6f inactive 0 0\n", Now());
                std::fflush(logFile);
            }
            break;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int StandInForShell() {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    const int style = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
    std::FILE* log = _wfopen(L"shell.log", L"ab");
    if (!log) return 3;
    std::fprintf(log, "%ls|%d\n", GetCommandLineW(), style);
    std::fclose(log);
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n >= 12 && _wcsicmp(self + n - 12, L"explorer.exe") == 0) return StandInForShell();
    QueryPerformanceFrequency(&frequency);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc < 2) return 2;
    logFile = _wfopen(argv[1], L"w");
    if (!logFile) return 3;

    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"WigwagReceiver";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"Wigwag receiver", WS_OVERLAPPEDWINDOW, 400,
                                300, 320, 200, nullptr, nullptr, instance, nullptr);
    ShowWindow(hwnd, SW_SHOWNORMAL);
    SetForegroundWindow(hwnd);
    SetFocus(hwnd);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    std::fclose(logFile);
    return 0;
}
