// The end-to-end tests' hands inside Wine, as x11_receiver is on X:
//   record [TITLE [sealed]]  a window (the stand-in game; sealed: its process may not be
//       opened) that takes the focus, prints "ready <window>", then "press|release <key>
//       <sender> <us> <ms>" per key until closed (sender: own for the program's marked keys
//       with their scan code and extended flag, wrong for marked ones without, other)
//   focus [TITLE] | foreground | state | text NAME | click NAME | layout
//       the focus to a window | the front window's title | the keys down | a control's text
//       (lblElevation: the elevation line) | a click | controls not where the table puts them
//   end TITLE close|quit|session|kill  a close (a box by its OK), a WM_QUIT, the end of the
//       Windows session (prints whether it agreed) or TerminateProcess
//   limited COMMAND...  runs the command with the limited token; its exit status
//   talk [N]  standard input into the command pipe on N connections; prints the answers
//   squat     makes the command pipe first as another owner, prints "ready", and when
//       standard input ends, how many bytes its pipes were sent
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/win32/control_ids.h"
#include "window/layout.h"

namespace {

using wigwag::win32::ControlId;

double Microseconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) * 1e6 / double(frequency.QuadPart);
}

// The key's name as X calls it, so that both platforms' tests read the same names.
std::string KeyName(WPARAM vk) {
    if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z')) return {char(std::tolower(int(vk)))};
    const std::map<WPARAM, const char*> names{
        {VK_BACK, "BackSpace"}, {VK_DELETE, "Delete"}, {VK_INSERT, "Insert"}, {VK_F9, "F9"}};
    return names.count(vk) ? names.at(vk) : "vk" + std::to_string(vk);
}

LRESULT CALLBACK Record(HWND hwnd, UINT msg, WPARAM vk, LPARAM lp) {
    if (msg == WM_KEYDOWN || msg == WM_KEYUP || msg == WM_SYSKEYDOWN || msg == WM_SYSKEYUP) {
        const double us = Microseconds();
        const bool marked = GetMessageExtraInfo() == LPARAM(wigwag::win32::kOwnEventMarker);
        const bool scanned = UINT((lp >> 16) & 0xFF) == MapVirtualKeyW(UINT(vk), MAPVK_VK_TO_VSC) &&
                             ((lp >> 24) & 1) == (vk == VK_INSERT || vk == VK_DELETE);
        const char* sender = !marked ? "other" : scanned ? "own" : "wrong";
        std::printf("%s %s %s %.0f %.3f\n", msg & 1 ? "release" : "press", KeyName(vk).c_str(),
                    sender, us, us / 1000);
        std::fflush(stdout);
        return 0;
    }
    if (msg == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(hwnd, msg, vk, lp);
}

HWND MainWindow() {
    return FindWindowA(nullptr, wigwag::kForm1.caption);
}

HWND Control(const std::string& name) {
    if (name == "lblElevation") return GetDlgItem(MainWindow(), wigwag::win32::kElevationLineId);
    for (const wigwag::ControlLayout& c : wigwag::kControls)
        if (name == c.name) return GetDlgItem(MainWindow(), ControlId(c.id));
    return nullptr;
}

// The running program's pipe, named as the program names it: session and user.
std::wstring PipeName() {
    DWORD session = 0, size = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    alignas(TOKEN_USER) unsigned char user[256];
    GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    wchar_t* sid = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
    const std::wstring name = L"\\\\.\\pipe\\wigwag-" + std::to_wstring(session) + L"-" + sid;
    LocalFree(sid);
    return name;
}

// Up to the end, or with `line` up to the first line end.
std::string ReadAll(HANDLE from, bool line = false) {
    std::string bytes;
    char chunk[4096];
    for (DWORD n = 0; (!line || bytes.find('\n') == std::string::npos) &&
                      ReadFile(from, chunk, line ? 1 : sizeof chunk, &n, nullptr) && n > 0;)
        bytes.append(chunk, n);
    return bytes;
}

// Standard input into N connections at once, made one after the other (each waiting up to
// 1 s for a free instance); with more than one, "sent" once each has it, then the first
// line of each answer (empty for none), read up to its end as wigwag.exe reads it.
int Talk(int connections) {
    const std::string message = ReadAll(GetStdHandle(STD_INPUT_HANDLE));
    std::vector<HANDLE> pipes(static_cast<std::size_t>(connections));
    DWORD n = 0;
    for (HANDLE& pipe : pipes) {
        while ((pipe = CreateFileW(PipeName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr)) == INVALID_HANDLE_VALUE)
            if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(PipeName().c_str(), 1000))
                return 1;
        if (!message.empty()) WriteFile(pipe, message.data(), DWORD(message.size()), &n, nullptr);
    }
    if (connections > 1) std::printf("sent\n");
    std::fflush(stdout);
    for (HANDLE pipe : pipes) {
        const std::string answer = ReadAll(pipe, connections > 1);
        if (connections == 1)
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), answer.data(), DWORD(answer.size()), &n,
                      nullptr);
        else
            std::printf("%s\n", answer.substr(0, answer.find('\n')).c_str());
        CloseHandle(pipe);
    }
    return 0;
}

int Squat() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:P(A;;GA;;;WD)", SDDL_REVISION_1,
                                                         &descriptor, nullptr);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    HANDLE pipes[4];
    OVERLAPPED io[4] = {};
    for (int i = 0; i < 4; ++i) {
        pipes[i] = CreateNamedPipeW(PipeName().c_str(),
                                    PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                        (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                    PIPE_TYPE_BYTE, 4, 256, 256, 0, &security);
        if (pipes[i] == INVALID_HANDLE_VALUE) return 1;
        io[i].hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ConnectNamedPipe(pipes[i], &io[i]);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    ReadAll(GetStdHandle(STD_INPUT_HANDLE));
    DWORD sent = 0;
    for (HANDLE pipe : pipes) {
        DWORD bytes = 0;
        if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &bytes, nullptr)) sent += bytes;
    }
    std::printf("%lu bytes\n", sent);
    return 0;
}

int Layout() {
    const HWND form = MainWindow();
    RECT r{};
    GetClientRect(form, &r);
    if (r.right != wigwag::kForm1.clientWidth / 15 || r.bottom != wigwag::kForm1.clientHeight / 15)
        std::printf("the client area is %ld by %ld\n", r.right, r.bottom);
    for (const wigwag::ControlLayout& c : wigwag::kControls) {
        GetWindowRect(GetDlgItem(form, ControlId(c.id)), &r);
        MapWindowPoints(HWND_DESKTOP, form, reinterpret_cast<POINT*>(&r), 2);
        const RECT want{c.left / 15, c.top / 15, (c.left + c.width) / 15, (c.top + c.height) / 15};
        if (!EqualRect(&r, &want))
            std::printf("%s at %ld,%ld to %ld,%ld\n", c.name, r.left, r.top, r.right, r.bottom);
    }
    std::printf("%zu controls\n", wigwag::kControls.size());
    return 0;
}

// This process runs elevated, as Wine starts every program: the token linked to its own is
// the limited one.
int Limited(int argc, char** argv) {
    HANDLE own = nullptr, limited = nullptr;
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own) ||
        !GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size) ||
        !DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                          TokenPrimary, &limited))
        return 125;
    std::string command;
    for (int i = 2; i < argc; ++i) command += std::string(i > 2 ? " \"" : "\"") + argv[i] + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessAsUserA(limited, nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &startup, &process))
        return 125;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}

int Record(HINSTANCE instance, const char* title, bool sealed) {
    ACL none;  // an empty access list: no access for anyone
    InitializeAcl(&none, sizeof none, ACL_REVISION);
    if (sealed && SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &none, nullptr) != ERROR_SUCCESS)
        return 1;
    WNDCLASSW wc{};
    wc.lpfnWndProc = Record;
    wc.hInstance = instance;
    wc.lpszClassName = L"WigwagReceiver";
    RegisterClassW(&wc);
    const HWND window =
        CreateWindowExA(0, "WigwagReceiver", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 400, 300, 320,
                        200, nullptr, nullptr, instance, nullptr);
    SetForegroundWindow(window);
    std::printf("ready %p\n", static_cast<void*>(window));
    std::fflush(stdout);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "record")
        return Record(GetModuleHandleW(nullptr), argc > 2 ? argv[2] : "Wigwag receiver",
                      argc > 3 && std::string(argv[3]) == "sealed");
    if (mode == "limited" && argc > 2) return Limited(argc, argv);
    if (mode == "state") {
        std::printf("down");
        for (int vk = 1; vk < 256; ++vk)
            if (GetAsyncKeyState(vk) & 0x8000) std::printf(" %d", vk);
        std::printf("\n");
        return 0;
    }
    if (mode == "end" && argc == 4) {
        const HWND window = FindWindowA(nullptr, argv[2]);
        if (!window) return 1;
        char kind[16] = "";
        GetClassNameA(window, kind, sizeof kind);
        if (std::string(argv[3]) == "close")  // a message box by its OK, as the player does
            return !PostMessageW(window, kind == std::string("#32770") ? WM_COMMAND : WM_CLOSE,
                                 IDOK, 0);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (std::string(argv[3]) == "kill") {
            const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
            return process && TerminateProcess(process, 1) ? 0 : 1;
        }
        if (std::string(argv[3]) == "quit")
            return PostThreadMessageW(GetWindowThreadProcessId(window, nullptr), WM_QUIT, 0, 0) ? 0
                                                                                                : 1;
        std::printf("%s\n", SendMessageW(window, WM_QUERYENDSESSION, 0, 0) ? "agreed" : "refused");
        SendMessageW(window, WM_ENDSESSION, TRUE, 0);
        const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        return process && TerminateProcess(process, 0) ? 0 : 1;
    }
    if (mode == "text" && argc == 3) {
        wchar_t text[256] = L"";
        char utf8[1024] = "";
        SendMessageW(Control(argv[2]), WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
        return std::printf("%s\n", utf8) < 0;
    }
    if (mode == "click" && argc == 3) {
        RECT r{};
        if (!GetWindowRect(Control(argv[2]), &r)) return 1;
        SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        INPUT input[2]{};
        input[0].type = input[1].type = INPUT_MOUSE;
        input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
        input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
        return SendInput(2, input, sizeof input[0]) == 2 ? 0 : 1;
    }
    if (mode == "foreground") {
        char title[256] = "";
        GetWindowTextA(GetForegroundWindow(), title, sizeof title);
        return std::printf("%s\n", title) < 0;
    }
    if (mode == "focus")
        return SetForegroundWindow(FindWindowA(nullptr, argc > 2 ? argv[2] : "Wigwag receiver"))
                   ? 0
                   : 1;
    if (mode == "layout") return Layout();
    if (mode == "talk") return Talk(argc > 2 ? std::stoi(argv[2]) : 1);
    if (mode == "squat") return Squat();
    std::fprintf(
        stderr,
        "usage: receiver record|focus|foreground|state|end|text|click|layout|talk|squat|limited\n");
    return 2;
}
