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

inline std::wstring Widen(const std::string& s) {
    std::wstring out(s.size(), L'\0');
    out.resize(std::size_t(
        MultiByteToWideChar(CP_ACP, 0, s.data(), int(s.size()), out.data(), int(out.size()))));
    return out;
}

// A path given on the command line as Windows sees it (a Unix path under Wine is on Z:).
inline std::wstring WindowsPath(const char* arg) {
    std::wstring path = (arg[0] == '/' ? L"Z:" : L"") + Widen(arg);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// Seconds, on the same clock in every process.
inline double Now() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

inline void SleepSeconds(double seconds) {
    Sleep(DWORD(seconds * 1000 + 0.5));
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

inline bool ReadBytes(const std::wstring& path, std::string& bytes) {
    std::ifstream in(path.c_str(), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    return bool(in);
}

// Under Wine: window frames drawn by Wine itself, for a display without a window manager.
inline void UseOwnWindowFrames() {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", L"Decorated", REG_SZ,
                        L"N", 4);
}

struct Process {
    HANDLE handle = nullptr;
    DWORD id = 0;
    void Kill() {
        if (handle && TerminateProcess(handle, 99)) WaitForSingleObject(handle, 5000);
    }
};

inline Process Start(const std::wstring& exe, const std::wstring& dir) {
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        dir.c_str(), &si, &pi))
        return {};
    CloseHandle(pi.hThread);
    return {pi.hProcess, pi.dwProcessId};
}

// What a run of wigwag.exe with arguments printed, its exit code and how long it took.
struct Ran {
    int code = -1;
    std::string out, err;
    double seconds = 0;
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
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    std::wstring command = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi{};
    Ran ran;
    const double start = Now();
    const bool started = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, dir.c_str(), &si, &pi);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        ran.out = ReadAll(outRead);  // both are a line at most: neither pipe fills up
        ran.err = ReadAll(errRead);
        DWORD code = DWORD(-1);
        if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0)
            GetExitCodeProcess(pi.hProcess, &code);
        ran.code = int(code);
        ran.seconds = Now() - start;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return ran;
}

// The top-level windows with this title, of any process.
inline int CountWindows(const char* title) {
    int count = 0;
    for (HWND h = nullptr; (h = FindWindowExA(nullptr, h, nullptr, title));)
        count += IsWindowVisible(h) ? 1 : 0;
    return count;
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

// A running wigwag.exe, ended at the latest when this goes.
struct Wigwag {
    Process process;
    HWND form = nullptr;
    std::wstring dir;
    ~Wigwag() { process.Kill(); }
    HWND Control(wigwag::Control c) const { return GetDlgItem(form, wigwag::win32::ControlId(c)); }
    std::string Status() const { return Text(Control(wigwag::Control::lblStatus)); }
    // Closes the window as the user does (WM_CLOSE), or posts `message` (WM_QUIT) to the
    // program's thread; the exit code, or -1 when the program did not end.
    int Close(UINT message = WM_CLOSE) {
        if (message == WM_QUIT)
            PostThreadMessageW(GetWindowThreadProcessId(form, nullptr), WM_QUIT, 0, 0);
        else
            PostMessageW(form, message, 0, 0);
        DWORD code = DWORD(-1);
        if (WaitForSingleObject(process.handle, 30000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.handle, &code);
        return int(code);
    }
    // The Windows session ends: the program is asked, told, and ended once it has answered.
    bool EndSession() {
        const bool agreed = SendMessageW(form, WM_QUERYENDSESSION, 0, 0) != FALSE;
        SendMessageW(form, WM_ENDSESSION, TRUE, 0);
        process.Kill();
        return agreed;
    }
};

// Starts wigwag.exe in `dir` and waits for its window (hidden while a message box is open).
inline bool StartWigwag(Wigwag& w, const std::wstring& exe, const std::wstring& dir) {
    w.dir = dir;
    w.process = Start(exe, dir);
    auto found = [&] { return (w.form = FindProcessWindow(w.process.id, wigwag::kForm1.caption)); };
    return w.process.handle && WaitUntil(found, 120);
}

inline bool WaitShown(const Wigwag& w, double seconds) {
    return WaitUntil([&] { return IsWindowVisible(w.form) != FALSE; }, seconds);
}

// One key event through the system's input stream from this process, with the key's scan code
// and no mark of its own, as another program or a keyboard driver sends it.
inline void SendKey(std::uint8_t vk, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = WORD(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = (vk == VK_DELETE || vk == VK_INSERT ? KEYEVENTF_EXTENDEDKEY : 0) |
                       (up ? KEYEVENTF_KEYUP : 0);
    SendInput(1, &input, sizeof input);
}

// A key pressed and released. Held with `repeats`, it comes as a held keyboard key does on
// Windows: after half a second its key-down again 30 times a second, without key-ups, until
// the one key-up.
inline void Tap(std::uint8_t vk, double holdSeconds, bool repeats = false) {
    const double start = Now(), end = start + holdSeconds;
    SendKey(vk, false);
    for (double next = start + 0.5; repeats && next < end; next += 1.0 / 30) {
        SleepSeconds(std::max(0.0, next - Now()));
        SendKey(vk, false);
    }
    SleepSeconds(std::max(0.0, end - Now()));
    SendKey(vk, true);
}

struct KeyRecord {
    double time;
    bool up;
    std::uint8_t vk;
    std::uint32_t lParam;  // scan code in bits 16-23, extended flag in bit 24
    bool own;              // marked as sent by wigwag.exe
};

// The receiver window started in `dir` with the focus; Stop closes it and reads its log.
struct Receiver {
    Process process;
    HWND window = nullptr;
    std::wstring dir;
    ~Receiver() { process.Kill(); }
    // What the receiver has recorded so far.
    std::vector<KeyRecord> Keys() const {
        std::string log;
        ReadBytes(dir + L"\\receiver.log", log);
        std::istringstream lines(log);
        std::vector<KeyRecord> keys;
        unsigned vk = 0;
        unsigned long long extra = 0;
        for (KeyRecord k{}; lines >> k.time >> k.up >> vk >> k.lParam >> extra; keys.push_back(k)) {
            k.vk = std::uint8_t(vk);
            k.own = extra == wigwag::win32::kOwnEventMarker;
        }
        return keys;
    }
    std::vector<KeyRecord> Stop() {
        // The close would overtake key events still on their way (a posted message comes
        // before input): they get time to arrive first.
        SleepSeconds(0.3);
        PostMessageW(window, WM_CLOSE, 0, 0);
        WaitForSingleObject(process.handle, 10000);
        return Keys();
    }
};

inline bool StartReceiver(Receiver& r, const std::wstring& exe, const std::wstring& dir) {
    r.dir = dir;
    r.process = Start(exe, dir);
    auto focused = [&] {
        r.window = FindProcessWindow(r.process.id, "Wigwag receiver");
        return r.window && GetForegroundWindow() == r.window;
    };
    return r.process.handle && WaitUntil(focused, 60);
}

// The key events wigwag.exe sent, in order.
inline std::vector<KeyRecord> Own(const std::vector<KeyRecord>& keys) {
    std::vector<KeyRecord> own;
    std::copy_if(keys.begin(), keys.end(), std::back_inserter(own), [](auto& k) { return k.own; });
    return own;
}

// "8 48 ": the keys whose last event in `keys` is a key-down, left held after them.
inline std::string HeldAfter(const std::vector<KeyRecord>& keys) {
    bool down[256] = {};
    for (const KeyRecord& k : keys) down[k.vk] = !k.up;
    std::string held;
    for (int vk = 0; vk < 256; ++vk)
        if (down[vk]) held += std::to_string(vk) + " ";
    return held;
}

// "8 48 ": the keys the system holds down now.
inline std::string DownNow() {
    std::string down;
    for (int vk = 1; vk < 256; ++vk)
        if (GetAsyncKeyState(vk) & 0x8000) down += std::to_string(vk) + " ";
    return down;
}

// The key events of a switch between running and not running: key-ups of B, G and 9 (and of
// `extraUp`, a chosen effect key that is none of them), key-downs of 0 and Backspace.
inline bool IsBurstAt(const std::vector<KeyRecord>& keys, std::size_t i, std::uint8_t extraUp = 0) {
    std::vector<std::pair<bool, std::uint8_t>> burst{{true, 0x42}, {true, 0x47}, {true, 0x39}};
    if (extraUp) burst.push_back({true, extraUp});
    burst.insert(burst.end(), {{false, 0x30}, {false, 0x08}});
    for (std::size_t k = 0; k < burst.size(); ++k)
        if (i + k >= keys.size() || burst[k] != std::pair{keys[i + k].up, keys[i + k].vk})
            return false;
    return true;
}

}  // namespace e2e
