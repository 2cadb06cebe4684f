#include "platform/win32/win32_api.h"

#include <string>

#include "platform/say.h"

namespace wigwag {

namespace {

// Standard output or error: the handle the caller gave (a pipe, a file), else the console
// of the caller, since a windowed program has none of its own; nothing when there is neither.
HANDLE Handle(Stream stream) {
    HANDLE handle = GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle && handle != INVALID_HANDLE_VALUE) return handle;
    static const HANDLE console = [] {
        if (!AttachConsole(ATTACH_PARENT_PROCESS) && GetLastError() != ERROR_ACCESS_DENIED)
            return INVALID_HANDLE_VALUE;
        return CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    }();
    return console;
}

// The text with Windows line ends, a last one included.
std::string Lines(std::string_view text) {
    std::string lines;
    for (char c : text) {
        if (c == '\n') lines += '\r';
        lines += c;
    }
    return lines + "\r\n";
}

}  // namespace

std::string Say(Stream stream, std::string_view line) {
    const HANDLE handle = Handle(stream);
    // Started from the desktop: nowhere to say it, and nothing lost.
    if (handle == INVALID_HANDLE_VALUE) return {};
    DWORD mode = 0, written = 0;
    bool whole = false;
    if (GetConsoleMode(handle, &mode)) {
        // A console shows Unicode as it is, whatever its code page.
        const std::wstring text = win32::Widen(Lines(line), CP_UTF8);
        whole = WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written,
                              nullptr) &&
                written == text.size();
    } else {
        const std::string text = Lines(line);
        whole =
            WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size();
    }
    if (whole) return {};
    return "Windows error " + std::to_string(GetLastError());
}

}  // namespace wigwag
