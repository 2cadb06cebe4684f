// The user's runtime folder ($XDG_RUNTIME_DIR), where the files of one X display live: the
// command socket, its lock and the auto-repeat note. It is trusted only when it is private
// to the user, and it is opened once: every file in it is made relative to that open
// folder, so no path is looked up again after the folder was checked.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace wigwag {

// One name per X display however it is spelt: "71" for ":71", ":071.0", "unix:71",
// "unix/:71", "localhost:71" or "localhost/unix:71"; "host_71" for another host's
// "host:71". Nothing for a text that names no display.
std::optional<std::string> DisplayKey(std::string_view display);

class RuntimeFolder {
  public:
    // Opens $XDG_RUNTIME_DIR if it is an absolute path to an existing folder that belongs
    // to this user and is closed to group and others; never makes it or changes its mode.
    RuntimeFolder();
    ~RuntimeFolder();
    RuntimeFolder(const RuntimeFolder&) = delete;
    RuntimeFolder& operator=(const RuntimeFolder&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    // The open folder, for openat() and the like; -1 when it is not open.
    int Fd() const { return fd_; }
    // Why it is not open, in a few words that end a message.
    const std::string& Why() const { return why_; }
    // A path to `name` in this very folder for bind() and connect(), which take no folder:
    // it goes through the process's open descriptor, not the folder's path.
    std::string PathOf(std::string_view name) const;

  private:
    int fd_ = -1;
    std::string why_;
};

// Opens `name` in the folder (made 0600 when missing, never through a link) and checks that
// it is a regular file of this user's; -1 otherwise.
int OpenPrivateFile(int folder, const std::string& name, int flags);

}  // namespace wigwag
