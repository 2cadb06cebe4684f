#include "platform/text_file.h"

#include <algorithm>

#ifdef _WIN32
#include "platform/win32/win32_api.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#endif

namespace wigwag {

namespace {

// Reads at most limit + 1 bytes through `read`, which gives the number of bytes it read,
// 0 at the end, or -1 when the read failed. One byte past the limit says the file is longer.
template <typename ReadSome>
void ReadBounded(FileRead& result, std::size_t limit, std::size_t expected, ReadSome read) {
    constexpr std::size_t kChunk = 64 * 1024;
    result.bytes.reserve(std::min(expected, limit) + 1);
    while (result.bytes.size() <= limit) {
        const std::size_t have = result.bytes.size();
        const std::size_t want = std::min(kChunk, limit + 1 - have);
        result.bytes.resize(have + want);
        const long got = read(result.bytes.data() + have, want);
        result.bytes.resize(have + static_cast<std::size_t>(std::max(got, 0L)));
        if (got <= 0) {
            result.failed = got < 0;
            break;
        }
    }
    if (result.bytes.size() > limit) {
        result.bytes.resize(limit);
        result.failed = true;
    }
}

}  // namespace

#ifdef _WIN32

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

#else

namespace {

std::string ErrorText(int code) {
    return std::strerror(code);
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now; false when the system reports an error closing it (a failed delayed write).
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// Permission errors that a file system without owners or modes (or a process without the
// right) gives; the new file then keeps what it was created with.
bool NotPermitted(int code) {
    return code == EPERM || code == ENOTSUP || code == EOPNOTSUPP;
}

// Makes the rename itself durable; a failure here loses nothing already in place.
void FlushFolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

}  // namespace

FileRead ReadWholeFile(const std::string& name, std::size_t limit) {
    FileRead result;
    // Non-blocking, so that a named pipe without a writer opens at once (and is then turned
    // down as not a regular file); no device becomes the controlling terminal.
    Descriptor file(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
        result.missing = errno == ENOENT;
        return result;
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return result;
    result.opened = true;
    ReadBounded(result, limit, static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)),
                [&](char* to, std::size_t want) -> long {
                    for (;;) {
                        const ssize_t got = ::read(file.get(), to, want);
                        if (got >= 0 || errno != EINTR) return static_cast<long>(got);
                    }
                });
    return result;
}

FileWrite ReplaceWholeFile(const std::string& name, std::string_view bytes) {
    // What is replaced: the file itself, or the file a link leads to, so that the link stays.
    std::string target = name;
    struct stat old {};
    bool exists = ::lstat(name.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) return {false, ErrorText(errno)};
    if (exists && S_ISLNK(old.st_mode)) {
        char* resolved = ::realpath(name.c_str(), nullptr);
        if (!resolved) return {false, "Cannot follow the link: " + ErrorText(errno)};
        target = resolved;
        std::free(resolved);
        if (::stat(target.c_str(), &old) != 0) return {false, ErrorText(errno)};
    }
    if (exists && !S_ISREG(old.st_mode))
        return {false, S_ISDIR(old.st_mode) ? ErrorText(EISDIR) : "Not a regular file"};

    // A fixed name beside the target: a leftover of a run that was killed while saving goes
    // first (a link there is removed, never followed), then the name is created new. Anything
    // that takes the name in between makes the save fail rather than write through it.
    const std::string temporary = target + ".new";
    ::unlink(temporary.c_str());
    Descriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           exists ? 0600 : 0666));
    if (file.get() < 0) return {false, temporary + ": " + ErrorText(errno)};

    int error = 0;
    const auto check = [&error](bool ok) {
        if (!ok && !error) error = errno;
    };
    if (exists) {
        // The owner first: changing it may clear the set-id bits that the mode then restores,
        // and only for the old owner: the new file never carries them for another one.
        mode_t mode = old.st_mode & 07777;
        if (::fchown(file.get(), old.st_uid, old.st_gid) != 0) {
            check(NotPermitted(errno));
            mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
        }
        if (::fchmod(file.get(), mode) != 0) check(NotPermitted(errno));
    }
    check(WriteAll(file.get(), bytes));
    check(::fsync(file.get()) == 0);
    const bool closed = file.Close();
    check(closed);
    if (!error) check(::rename(temporary.c_str(), target.c_str()) == 0);
    if (error) {
        ::unlink(temporary.c_str());
        return {false, ErrorText(error)};
    }
    FlushFolderOf(target);
    return {true, {}};
}

#endif

}  // namespace wigwag
