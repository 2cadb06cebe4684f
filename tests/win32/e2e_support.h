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
    // Closes the window as the user does; the exit code, or -1 when the program did not end.
    int Close() {
        PostMessageW(form, WM_CLOSE, 0, 0);
        DWORD code = DWORD(-1);
        if (WaitForSingleObject(process.handle, 30000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.handle, &code);
        return int(code);
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

// A key pressed and released through the system's input stream, as another program does.
inline void Tap(std::uint8_t vk, double holdSeconds) {
    const BYTE scan = BYTE(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    const DWORD flags = vk == VK_DELETE || vk == VK_INSERT ? KEYEVENTF_EXTENDEDKEY : 0;
    keybd_event(vk, scan, flags, 0);
    SleepSeconds(holdSeconds);
    keybd_event(vk, scan, flags | KEYEVENTF_KEYUP, 0);
}

struct KeyRecord {
    double time;
    bool up;
    std::uint8_t vk;
    std::uint32_t lParam;  // scan code in bits 16-23, extended flag in bit 24
};

// The receiver window started in `dir` with the focus; Stop closes it and reads its log.
struct Receiver {
    Process process;
    HWND window = nullptr;
    std::wstring dir;
    ~Receiver() { process.Kill(); }
    std::vector<KeyRecord> Stop() {
        PostMessageW(window, WM_CLOSE, 0, 0);
        WaitForSingleObject(process.handle, 10000);
        std::string log;
        ReadBytes(dir + L"\\receiver.log", log);
        std::istringstream lines(log);
        std::vector<KeyRecord> keys;
        unsigned vk = 0;
        for (KeyRecord k{}; lines >> k.time >> k.up >> vk >> k.lParam; keys.push_back(k))
            k.vk = std::uint8_t(vk);
        return keys;
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
