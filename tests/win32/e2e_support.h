// Driving the real wigwag.exe from another process: starting it in a scratch directory,
// reading its controls through standard window messages, pressing keys as another program
// would, and reading what the receiver window recorded.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/host.h"

namespace e2e {

// Failed checks are counted and printed; a case fails when any check failed.
extern int failures;
void Check(bool ok, const std::string& what);
std::string Quote(const std::string& s);

// A path given on the command line, as Windows sees it (a Unix path under Wine maps to Z:).
std::wstring WindowsPath(const char* arg);
std::wstring Widen(const std::string& s);
std::string Narrow(const std::wstring& s);

double Now();  // seconds, the same clock in every process
void SleepSeconds(double seconds);
// Polls `ready` until it holds or `seconds` have passed.
bool WaitUntil(const std::function<bool()>& ready, double seconds);

std::wstring MakeScratchDirectory();
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool ReadBytes(const std::wstring& path, std::string& bytes);

// Under Wine: makes it draw window frames itself, for a display without a window manager.
void UseOwnWindowFrames();

struct Process {
    HANDLE handle = nullptr;
    DWORD id = 0;
    bool Running() const;
    int WaitExit(double seconds);  // exit code, or -1 when it did not end in time
    void Kill();
};
Process Start(const std::wstring& exe, const std::wstring& args, const std::wstring& dir);

// Top-level windows of one process.
HWND FindProcessWindow(DWORD pid, const std::wstring& title, const wchar_t* cls = nullptr);
std::wstring WindowText(HWND hwnd);
std::wstring ClassOf(HWND hwnd);

// A running wigwag.exe and its controls.
struct Wigwag {
    Process process;
    HWND form = nullptr;
    std::wstring dir;

    HWND Control(wigwag::Control c) const;
    int CheckValue(wigwag::Control c) const;
    int ListIndex(wigwag::Control c) const;
    int ListCount(wigwag::Control c) const;
    std::string ListItem(wigwag::Control c, int index) const;
    std::string Text(wigwag::Control c) const;
    // Closes the window as the user would and waits for the program to end.
    int Close();
};

// Starts wigwag.exe in `dir` and waits for its window (the message box is left alone).
bool StartWigwag(Wigwag& w, const std::wstring& exe, const std::wstring& dir);
// Waits for the window to be shown.
bool WaitShown(const Wigwag& w, double seconds);

// One key event into the system's input stream as another program sends it.
void KeyEvent(std::uint8_t vk, bool up);
void Tap(std::uint8_t vk, double holdSeconds);

// The receiver: a window of its own process that records the keys it gets.
struct KeyRecord {
    double time;
    bool up;
    std::uint8_t vk;
    std::uint32_t lParam;
    int Scan() const { return static_cast<int>((lParam >> 16) & 0xFF); }
    bool Extended() const { return (lParam >> 24) & 1; }
};
struct Receiver {
    Process process;
    HWND window = nullptr;
    std::wstring log;
    std::vector<KeyRecord> Stop();  // closes it and reads what it recorded
};
bool StartReceiver(Receiver& r, const std::wstring& exe, const std::wstring& dir);

// The five key events of every switch between running and not running, when the chosen
// effect keys are the default ones; `extraUps` more key-ups when they are not.
bool IsBurstAt(const std::vector<KeyRecord>& keys, std::size_t i, std::size_t extraUps = 0);

std::string Describe(const KeyRecord& k);

// A PNG file of 24-bit pixels, rows top to bottom.
bool WritePng(const std::wstring& path, int width, int height,
              const std::vector<std::uint8_t>& rgb);

}  // namespace e2e
