// Driving the real wigwag.exe from another process: starting it in a scratch directory,
// reading its controls through window messages, pressing keys as another program would,
// and reading what the receiver window recorded.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/control_ids.h"
#include "window/layout.h"

namespace e2e {

// Failed checks are counted and printed; a case fails when any check failed.
inline int failures = 0;
inline void Check(bool ok, const std::string& what) {
    failures += ok ? 0 : 1;
    if (!ok) std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

// A path given on the command line as Windows sees it (a Unix path under Wine is on Z:).
inline std::wstring WindowsPath(const std::string& arg) {
    std::wstring path(arg.size(), L'\0');
    path.resize(std::size_t(MultiByteToWideChar(CP_ACP, 0, arg.data(), int(arg.size()), path.data(),
                                                int(path.size()))));
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return (arg[0] == '/' ? L"Z:" : L"") + path;
}

// Seconds, on the same clock in every process.
inline double Now() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

inline void SleepSeconds(double seconds) {
    Sleep(DWORD(std::max(0.0, seconds) * 1000 + 0.5));
}

inline bool WaitUntil(const std::function<bool()>& ready, double seconds) {
    for (const double end = Now() + seconds; !ready(); Sleep(20))
        if (Now() > end) return false;
    return true;
}

inline std::wstring MakeScratchDirectory() {
    wchar_t temp[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    GetTempFileNameW(temp, L"wig", 0, name);  // creates a file of a new name
    DeleteFileW(name);
    return CreateDirectoryW(name, nullptr) ? name : L"";
}

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    return bool(out << bytes);
}

inline std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Under Wine: window frames drawn by Wine itself, for a display without a window manager.
inline void UseOwnWindowFrames() {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", L"Decorated", REG_SZ,
                        L"N", 4);
}

// A top-level window of process `pid` with this title.
inline HWND FindProcessWindow(DWORD pid, const char* title) {
    DWORD owner = 0;
    HWND h = nullptr;
    while ((h = FindWindowExA(nullptr, h, nullptr, title)) && GetWindowThreadProcessId(h, &owner))
        if (owner == pid) return h;
    return nullptr;
}

inline std::string Text(HWND hwnd) {
    char text[256] = "";
    SendMessageA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

// A program started in `dir` with `args`, its standard output and error into `out` and `err`
// when given, and its top-level window; ended at the latest when this goes.
struct Process {
    HANDLE handle = nullptr;
    DWORD id = 0;
    HWND window = nullptr;
    std::wstring dir;
    Process() = default;
    Process(const Process&) = delete;
    ~Process() { Kill(); }
    bool Start(const std::wstring& exe, const std::wstring& args, const std::wstring& in,
               HANDLE out = nullptr, HANDLE err = nullptr) {
        dir = in;
        std::wstring command = L"\"" + exe + L"\" " + args;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = out ? STARTF_USESTDHANDLES : 0;  // the handles count only with the flag
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out;
        si.hStdError = err;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, out != nullptr, 0,
                            nullptr, dir.c_str(), &si, &pi))
            return false;
        CloseHandle(pi.hThread);
        handle = pi.hProcess;
        id = pi.dwProcessId;
        return true;
    }
    // Waits for the window of this title, and for it to be shown or to have the focus.
    bool Find(const char* title, double seconds, bool shown, bool focused = false) {
        return WaitUntil(
            [&] {
                window = FindProcessWindow(id, title);
                return window && (!shown || IsWindowVisible(window)) &&
                       (!focused || GetForegroundWindow() == window);
            },
            seconds);
    }
    // The exit code once the program ended; -1 when it did not in that time.
    int Wait(double seconds) const {
        DWORD code = DWORD(-1);
        if (WaitForSingleObject(handle, DWORD(seconds * 1000)) == WAIT_OBJECT_0)
            GetExitCodeProcess(handle, &code);
        return int(code);
    }
    void Kill() {
        if (handle && TerminateProcess(handle, 99)) WaitForSingleObject(handle, 5000);
        if (handle) CloseHandle(handle);
        handle = nullptr;
    }
};

// What a run of wigwag.exe with arguments printed, its exit code, when it began and how long
// it took.
struct Ran {
    int code = -1;
    std::string out, err;
    double start = 0, seconds = 0;
};

inline std::string ReadAll(HANDLE pipe) {
    std::string text;
    char chunk[512];
    DWORD n = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0) text.append(chunk, n);
    return text;
}

// Runs exe with `args` in `dir`, its standard output and error into pipes, as a script or
// a stream deck's software does, and waits for it to end.
inline Ran Run(const std::wstring& exe, const std::wstring& args, const std::wstring& dir) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read[2], write[2];  // standard output and error: the program's end is inherited
    for (int i : {0, 1}) {
        CreatePipe(&read[i], &write[i], &inherit, 0);
        SetHandleInformation(read[i], HANDLE_FLAG_INHERIT, 0);
    }
    Ran ran;
    ran.start = Now();
    Process p;
    p.Start(exe, args, dir, write[0], write[1]);
    for (int i : {0, 1}) CloseHandle(write[i]);
    ran.out = ReadAll(read[0]);  // both are a line at most: neither pipe fills up
    ran.err = ReadAll(read[1]);
    ran.code = p.Wait(30);
    ran.seconds = Now() - ran.start;
    for (int i : {0, 1}) CloseHandle(read[i]);
    return ran;
}

// A running wigwag.exe.
struct Wigwag : Process {
    HWND Control(wigwag::Control c) const {
        return GetDlgItem(window, wigwag::win32::ControlId(c));
    }
    std::string Status() const { return Text(Control(wigwag::Control::lblStatus)); }
    // Closes the window as the user does (WM_CLOSE), or posts WM_QUIT to the program's
    // thread; the exit code, or -1 when the program did not end.
    int Close(UINT message = WM_CLOSE) {
        if (message == WM_QUIT)
            PostThreadMessageW(GetWindowThreadProcessId(window, nullptr), WM_QUIT, 0, 0);
        else
            PostMessageW(window, message, 0, 0);
        return Wait(30);
    }
    // The Windows session ends: the program is asked, told, and ended once it has answered.
    bool EndSession() {
        const bool agreed = SendMessageW(window, WM_QUERYENDSESSION, 0, 0) != FALSE;
        SendMessageW(window, WM_ENDSESSION, TRUE, 0);
        Kill();
        return agreed;
    }
};

// A key pressed and released through the system's input stream from this process, with the
// key's scan code and no mark of its own, as another program or a keyboard driver sends it.
// Held with `repeats`, it comes as a held keyboard key does on Windows: after half a second
// its key-down again 30 times a second, without key-ups, until the one key-up.
inline void Tap(std::uint8_t vk, double holdSeconds, bool repeats = false) {
    const auto SendKey = [vk](bool up) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = vk;
        input.ki.wScan = WORD(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
        input.ki.dwFlags = (vk == VK_DELETE || vk == VK_INSERT ? KEYEVENTF_EXTENDEDKEY : 0) |
                           (up ? KEYEVENTF_KEYUP : 0);
        SendInput(1, &input, sizeof input);
    };
    const double start = Now(), end = start + holdSeconds;
    SendKey(false);
    for (double next = start + 0.5; repeats && next < end; next += 1.0 / 30) {
        SleepSeconds(next - Now());
        SendKey(false);
    }
    SleepSeconds(end - Now());
    SendKey(true);
}

struct KeyRecord {
    double time;
    bool up;
    std::uint8_t vk;
    std::uint32_t lParam;  // scan code in bits 16-23, extended flag in bit 24
};

// "u66 d8 ...": the key-ups and key-downs in order, by virtual-key code.
inline std::string Events(const std::vector<KeyRecord>& keys) {
    std::string s;
    for (const KeyRecord& k : keys) s.append(k.up ? "u" : "d").append(std::to_string(k.vk) + " ");
    return s;
}

// The receiver window, started with the focus; Stop closes it and reads its log.
struct Receiver : Process {
    // The key events marked as sent by wigwag.exe that the receiver got so far, in order.
    std::vector<KeyRecord> Keys() const {
        std::istringstream lines(ReadBytes(dir + L"\\receiver.log"));
        std::vector<KeyRecord> keys;
        unsigned vk = 0;
        unsigned long long mark = 0;
        for (KeyRecord k{}; lines >> k.time >> k.up >> vk >> k.lParam >> mark;)
            if (mark == wigwag::win32::kOwnEventMarker)
                keys.push_back({k.time, k.up, std::uint8_t(vk), k.lParam});
        return keys;
    }
    std::vector<KeyRecord> Stop() {
        // The close would overtake key events still on their way (a posted message comes
        // before input): they get time to arrive first.
        SleepSeconds(0.3);
        PostMessageW(window, WM_CLOSE, 0, 0);
        Wait(10);
        return Keys();
    }
};

// The key events of a switch between running and not running: key-ups of B, G and 9, key-downs
// of 0 and Backspace.
inline bool IsBurstAt(const std::vector<KeyRecord>& keys, std::size_t i) {
    const std::size_t end = std::min(i + 5, keys.size());
    return Events({keys.begin() + long(i), keys.begin() + long(end)}) == "u66 u71 u57 d48 d8 ";
}

// "8 48 ": the keys for which `down` holds.
inline std::string KeysWhere(const std::function<bool(int vk)>& down) {
    std::string keys;
    for (int vk = 1; vk < 256; ++vk)
        if (down(vk)) keys += std::to_string(vk) + " ";
    return keys;
}

// The keys the system holds down now.
inline std::string DownNow() {
    return KeysWhere([](int vk) { return (GetAsyncKeyState(vk) & 0x8000) != 0; });
}

}  // namespace e2e
