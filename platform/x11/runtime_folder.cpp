#include "platform/x11/runtime_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/printable.h"

namespace wigwag {

namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

// Words before the display number that all mean this machine: as protocol ("unix/:0",
// "tcp/localhost:0") or as host ("unix:0", "localhost:0", "localhost/unix:0").
bool IsThisMachine(std::string_view word) {
    for (std::string_view local :
         {"", "unix", "local", "localhost", "tcp", "inet", "inet6", "127.0.0.1", "::1", "[::1]"})
        if (word == local) return true;
    return false;
}

}  // namespace

std::optional<std::string> DisplayKey(std::string_view display) {
    const std::size_t colon = display.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view number = display.substr(colon + 1);
    if (const std::size_t dot = number.find('.'); dot != std::string_view::npos) {
        if (!AllDigits(number.substr(dot + 1))) return std::nullopt;
        number = number.substr(0, dot);
    }
    if (!AllDigits(number)) return std::nullopt;
    number.remove_prefix(std::min(number.find_first_not_of('0'), number.size() - 1));

    std::string_view host = display.substr(0, colon), protocol;
    if (const std::size_t slash = host.rfind('/'); slash != std::string_view::npos) {
        protocol = host.substr(0, slash);
        host = host.substr(slash + 1);
    }
    if (IsThisMachine(protocol) && IsThisMachine(host)) return std::string(number);
    if (host.empty()) return std::nullopt;
    std::string key;
    for (const char c : host)
        key += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-'
                   ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                   : '_';
    return key + "_" + std::string(number);
}

RuntimeFolder::RuntimeFolder() {
    const char* path = std::getenv("XDG_RUNTIME_DIR");
    if (!path || !*path) {
        why_ = "XDG_RUNTIME_DIR is not set";
        return;
    }
    const std::string named = "XDG_RUNTIME_DIR \"" + Printable(path) + "\"";
    if (path[0] != '/') {
        why_ = named + " is not an absolute path";
        return;
    }
    const int fd = ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        why_ = named + (errno == ENOENT    ? " does not exist"
                        : errno == ENOTDIR ? " is not a folder"
                                           : std::string(": ") + std::strerror(errno));
    } else if (info.st_uid != ::geteuid()) {
        why_ = named + " belongs to another user";
    } else if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        why_ = named + " is open to other users (mode " + mode + ")";
    } else {
        // bind() and connect() reach the folder through /proc; it must be this folder.
        struct stat through {};
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        if (::stat(proc.c_str(), &through) == 0 && through.st_dev == info.st_dev &&
            through.st_ino == info.st_ino) {
            fd_ = fd;
            return;
        }
        why_ = named + " cannot be reached through /proc/self/fd";
    }
    if (fd >= 0) ::close(fd);
}

RuntimeFolder::~RuntimeFolder() {
    if (fd_ >= 0) ::close(fd_);
}

std::string RuntimeFolder::PathOf(std::string_view name) const {
    return "/proc/self/fd/" + std::to_string(fd_) + "/" + std::string(name);
}

int OpenPrivateFile(int folder, const std::string& name, int flags) {
    const int fd =
        ::openat(folder, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) return fd;
    ::close(fd);
    return -1;
}

}  // namespace wigwag
