// The file service on Linux (any POSIX system): a non-blocking read and a replace through
// a new file renamed over the old one, with the old file's owner and mode.
#include "platform/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace wigwag {

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

}  // namespace wigwag
