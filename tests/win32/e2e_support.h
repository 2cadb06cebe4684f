// The harness of wigwag.exe's end-to-end cases and benchmarks: the program and the receiver
// window in a scratch directory, its controls read through window messages, keys pressed as
// another program would, commands run, and the keys the receiver got.
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

using wigwag::Control;
constexpr const char* kBurst = "u66 u71 u57 d48 d8 ";  // a switch: B, G, 9 up; 0, Backspace down
inline std::wstring wigwagExe, receiverExe;

inline int failures = 0;
inline void Check(bool ok, const std::string& what) {
    failures += ok ? 0 : 1;
    if (!ok) std::fprintf(stderr, "FAILED: %s\n", what.c_str());
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

inline std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(std::size_t(MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()),
                                                wide.data(), int(wide.size()))));
    return wide;
}

// A path given on the command line as Windows sees it (a Unix path under Wine is on Z:).
inline std::wstring WindowsPath(const std::string& arg) {
    std::wstring path = Widen(arg);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return (arg[0] == '/' ? L"Z:" : L"") + path;
}

// Under Wine: window frames drawn by Wine itself, for a display without a window manager.
inline void UseOwnWindowFrames() {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", L"Decorated", REG_SZ,
                        L"N", 4);
}

inline std::wstring ScratchDirectory() {
    wchar_t temp[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    GetTempFileNameW(temp, L"wig", 0, name);  // creates a file of a new name
    DeleteFileW(name);
    return CreateDirectoryW(name, nullptr) ? name : L"";
}

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    return bool(std::ofstream(path.c_str(), std::ios::binary) << bytes);
}

inline std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline std::string Config(const std::string& dataLine) {
    return dataLine + "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n";
}

// A top-level window of process `pid` with this title.
inline HWND FindProcessWindow(DWORD pid, const char* title) {
    DWORD owner = 0;
    HWND h = nullptr;
    while ((h = FindWindowExA(nullptr, h, nullptr, title)) && GetWindowThreadProcessId(h, &owner))
        if (owner == pid) return h;
    return nullptr;
}

inline std::wstring WideText(HWND hwnd) {
    wchar_t text[256] = L"";
    SendMessageW(hwnd, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
    return text;
}

inline std::string Text(HWND hwnd) {  // the program's texts are ASCII
    const std::wstring text = WideText(hwnd);
    return {text.begin(), text.end()};
}

// A program started in `dir`, its standard output and error into `out` and `err` when given,
// and its top-level window; ended at the latest when this goes.
struct Process {
    HANDLE handle = nullptr;
    DWORD id = 0;
    HWND window = nullptr;
    ~Process() { Kill(); }
    bool Start(const std::wstring& exe, const std::wstring& args, const std::wstring& dir,
               HANDLE out = nullptr, HANDLE err = nullptr) {
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
    // Waits for its window of this title, and for it to be shown or to have the focus.
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

// A run of wigwag.exe with arguments, as a script or a stream deck's software makes it: what
// it printed, its exit code, when it began and how long it took.
struct Ran {
    int code = -1;
    std::string out, err;
    double start = 0, seconds = 0;
};

inline std::string ReadAll(HANDLE pipe) {
    std::string text;
    char chunk[512];
    for (DWORD n = 0; ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0;)
        text.append(chunk, n);
    return text;
}

inline Ran Run(const std::wstring& args, const std::wstring& dir = ScratchDirectory()) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read[2], write[2];  // standard output and error: the program's end is inherited
    for (int i : {0, 1}) {
        CreatePipe(&read[i], &write[i], &inherit, 0);
        SetHandleInformation(read[i], HANDLE_FLAG_INHERIT, 0);
    }
    Ran ran;
    ran.start = Now();
    Process p;
    p.Start(wigwagExe, args, dir, write[0], write[1]);
    for (int i : {0, 1}) CloseHandle(write[i]);
    ran.out = ReadAll(read[0]);  // both are a line at most: neither pipe fills up
    ran.err = ReadAll(read[1]);
    ran.code = p.Wait(30);
    ran.seconds = Now() - ran.start;
    for (int i : {0, 1}) CloseHandle(read[i]);
    return ran;
}

inline std::string Said(const Ran& ran) {
    return std::to_string(ran.code) + " \"" + ran.out + ran.err + "\"";
}

struct KeyRecord {
    double time;
    bool up;
    std::uint8_t vk;
    std::uint32_t lParam;  // scan code in bits 16-23, extended flag in bit 24
};
using Keys = std::vector<KeyRecord>;

// "u66 d8 ...": the key-ups and key-downs in order, by virtual-key code.
inline std::string Events(Keys::const_iterator from, Keys::const_iterator to) {
    std::string s;
    for (; from < to; ++from) s.append(from->up ? "u" : "d").append(std::to_string(from->vk) + " ");
    return s;
}

// Where the switch-over bursts begin.
inline std::vector<std::size_t> Bursts(const Keys& keys, const std::string& burst = kBurst) {
    const long length = long(std::count(burst.begin(), burst.end(), ' '));
    std::vector<std::size_t> at;
    for (auto k = keys.begin(); k + length <= keys.end(); ++k)
        if (Events(k, k + length) == burst) at.push_back(std::size_t(k - keys.begin()));
    return at;
}

// "8 48 ": the keys for which `down` holds.
inline std::string KeysWhere(const std::function<bool(int vk)>& down) {
    std::string keys;
    for (int vk = 1; vk < 256; ++vk)
        if (down(vk)) keys += std::to_string(vk) + " ";
    return keys;
}

// wigwag.exe and the receiver in one scratch directory. The receiver writes every key event
// it gets to receiver.log there: time, 1 for up, virtual key, lParam and the sender's mark.
struct Harness {
    Process w, r;
    std::wstring dir = ScratchDirectory();
    // Starts wigwag.exe and waits for its window; with a settings file of this data line, for
    // the window to be shown.
    bool Launch(const char* line) {
        if (line) WriteBytes(dir + L"\\wigwag.cfg", Config(line));
        const bool ok =
            w.Start(wigwagExe, L"", dir) && w.Find(wigwag::kForm1.caption, 180, line != nullptr);
        Check(ok, "wigwag.exe started");
        return ok;
    }
    // Starts the receiver, or gives it the focus back.
    bool Receive() {
        if (!r.handle) r.Start(receiverExe, L"", dir);
        if (r.window) SetForegroundWindow(r.window);
        const bool ok = r.Find("Wigwag receiver", 60, false, true);
        Check(ok, "the receiver has the focus");
        return ok;
    }
    bool Open(const char* line) { return Launch(line) && Receive(); }
    HWND Control(Control c) const { return GetDlgItem(w.window, wigwag::win32::ControlId(c)); }
    std::string Status() const { return Text(Control(Control::lblStatus)); }
    std::string Saved() const { return ReadBytes(dir + L"\\wigwag.cfg"); }
    // The key events marked as sent by wigwag.exe that the receiver got so far, in order.
    Keys Got() const {
        std::istringstream lines(ReadBytes(dir + L"\\receiver.log"));
        Keys keys;
        unsigned vk = 0;
        unsigned long long mark = 0;
        for (KeyRecord k{}; lines >> k.time >> k.up >> vk >> k.lParam >> mark;)
            if (mark == wigwag::win32::kOwnEventMarker)
                keys.push_back({k.time, k.up, std::uint8_t(vk), k.lParam});
        return keys;
    }
    // Ends wigwag.exe as the user closes it (WM_CLOSE), by a WM_QUIT to its thread, or with
    // the Windows session (0: asked, told, and ended once it has answered) and checks that it
    // ended well with no key left down, in the system and at the receiver; the receiver's keys.
    Keys End(UINT how) {
        if (how == 0) {
            Check(SendMessageW(w.window, WM_QUERYENDSESSION, 0, 0), "agreed to end the session");
            SendMessageW(w.window, WM_ENDSESSION, TRUE, 0);
            w.Kill();
        } else {
            if (how == WM_QUIT)
                PostThreadMessageW(GetWindowThreadProcessId(w.window, nullptr), how, 0, 0);
            else
                PostMessageW(w.window, how, 0, 0);
            Check(w.Wait(30) == 0, "ended with exit code 0");
        }
        const std::string down =
            KeysWhere([](int vk) { return (GetAsyncKeyState(vk) & 0x8000) != 0; });
        Check(down.empty(), "keys still down at the end: " + down);
        if (!r.handle) return {};
        // A posted close would overtake key events still on their way (posted messages come
        // before input): they get time to arrive first.
        SleepSeconds(0.3);
        PostMessageW(r.window, WM_CLOSE, 0, 0);
        r.Wait(10);
        const Keys keys = Got();
        bool pressed[256] = {};
        for (const KeyRecord& k : keys) pressed[k.vk] = !k.up;
        const std::string held = KeysWhere([&](int vk) { return pressed[vk]; });
        Check(held.empty(), "keys the receiver saw go down and not up: " + held);
        return keys;
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

}  // namespace e2e
