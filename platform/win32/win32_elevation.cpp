#include "platform/win32/win32_elevation.h"

namespace wigwag::win32 {

namespace {

// Whether the process's token is elevated: 1 yes, 0 no, -1 when it cannot be read.
int TokenElevated(HANDLE process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return -1;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool read =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return read ? elevation.TokenIsElevated != 0 : -1;
}

// The line for the program of process `id`: empty when it takes a limited program's keys.
std::wstring LineFor(DWORD id) {
    std::wstring name = L"The game in front";
    int elevated = -1;  // a program whose token may not be read at all is taken as elevated
    if (const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id)) {
        wchar_t path[MAX_PATH];
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, path, &size)) {
            const std::wstring full(path, size);
            name = full.substr(full.find_last_of(L"\\/") + 1);
        }
        elevated = TokenElevated(process);
        CloseHandle(process);
    }
    if (elevated == 0) return {};
    return name + (elevated > 0 ? L" runs" : L" may run") +
           L" as administrator: run Wigwag as administrator too";
}

}  // namespace

ElevationCheck::ElevationCheck() : elevated_(TokenElevated(GetCurrentProcess()) > 0) {}

const std::wstring& ElevationCheck::FrontLine() {
    if (elevated_) return line_;
    const HWND front = GetForegroundWindow();
    // No window in front, for a moment while the focus moves: the line stays as it was.
    if (!front || front == front_) return line_;
    front_ = front;
    DWORD id = 0;
    GetWindowThreadProcessId(front, &id);
    // Wigwag's own window in front: the player came to read it, about the program before.
    if (id == GetCurrentProcessId()) return line_;
    if (id != process_) {
        process_ = id;
        line_ = LineFor(id);
    }
    return line_;
}

}  // namespace wigwag::win32
