// The file service on Windows: a shared, never-waiting read and a replace through a new
// file renamed over the old one.
#include "platform/text_file.h"

#include <algorithm>
#include <cstdint>

#include "platform/win32/win32_api.h"

namespace wigwag {

using win32::Narrow;
using win32::Widen;

namespace {

std::string ErrorText(DWORD code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string error = text;
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r' || error.back() == ' '))
        error.pop_back();
    return error;
}

bool NotFound(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

class Handle {
  public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (*this) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
    // Closes now; false when the system reports an error closing it.
    bool Close() {
        const bool ok = CloseHandle(h_) != 0;
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }

  private:
    HANDLE h_;
};

// The file a link leads to, as a full path; empty when it leads nowhere.
std::wstring FinalPath(const std::wstring& link) {
    Handle file(CreateFileW(link.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return {};
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetFinalPathNameByHandleW(file.get(), path.data(), static_cast<DWORD>(path.size()), 0);
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(n);
    }
}

}  // namespace

FileRead ReadWholeFile(const std::string& name, std::size_t limit) {
    FileRead result;
    // Shared with writers and with a rename or delete, so the player's other programs are
    // never locked out; a folder does not open without backup semantics.
    Handle file(CreateFileW(Widen(name).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        result.missing = NotFound(GetLastError());
        return result;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return result;
    result.opened = true;
    const std::uint64_t size =
        static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    ReadBounded(result, limit, static_cast<std::size_t>(std::min<std::uint64_t>(size, limit)),
                [&](char* to, std::size_t want) -> long {
                    DWORD got = 0;
                    if (!ReadFile(file.get(), to, static_cast<DWORD>(want), &got, nullptr))
                        return -1;
                    return static_cast<long>(got);
                });
    return result;
}

FileWrite ReplaceWholeFile(const std::string& name, std::string_view bytes) {
    std::wstring target = Widen(name);
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (const DWORD code = GetLastError(); !NotFound(code)) return {false, ErrorText(code)};
    } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: the file it leads to is replaced, beside itself, and the link stays.
        target = FinalPath(target);
        if (target.empty()) return {false, "Cannot follow the link: " + ErrorText(GetLastError())};
        attributes = GetFileAttributesW(target.c_str());
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return {false, "The name is that of a folder."};

    // A fixed name beside the target: a leftover of a run that was killed while saving goes
    // first, then the name is created new, never opened through whatever holds it.
    const std::wstring temporary = target + L".new";
    DeleteFileW(temporary.c_str());
    Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return {false, Narrow(temporary) + ": " + ErrorText(GetLastError())};
    bool written = true;
    for (std::size_t done = 0; written && done < bytes.size();) {
        DWORD put = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        written = WriteFile(file.get(), bytes.data() + done, want, &put, nullptr) && put > 0;
        done += put;
    }
    written = written && FlushFileBuffers(file.get());
    DWORD error = written ? 0 : GetLastError();
    if (!file.Close() && written) error = GetLastError();
    if (!error && !MoveFileExW(temporary.c_str(), target.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (!error) return {true, {}};
    DeleteFileW(temporary.c_str());
    return {false, ErrorText(error)};
}

}  // namespace wigwag
