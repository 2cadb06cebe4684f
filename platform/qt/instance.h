// One Wigwag per user and X display: the first start listens on a local socket in
// $XDG_RUNTIME_DIR; a later start hands it a command (`wigwag --toggle` and the like) or asks
// it to bring its window to the front, and ends before it opens a display of its own. The
// exchange is platform/commands.h's; this is its transport.
#pragma once

#include <QSocketNotifier>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/commands.h"
#include "platform/qt/qt_host.h"
#include "platform/x11/runtime_folder.h"

namespace wigwag::qt {

// The running Wigwag's end: connections on the socket, read on the window's thread.
class InstanceServer final : public CommandServer {
  public:
    // Takes over `listening`, a socket bound and listening already as `name` in `folder`,
    // which it removes when it stops.
    InstanceServer(std::function<void()> bringToFront, int listening, int folder, std::string name);
    ~InstanceServer();
    InstanceServer(const InstanceServer&) = delete;
    InstanceServer& operator=(const InstanceServer&) = delete;

    void Stop() override;

  private:
    struct Connection {
        int fd = -1;
        std::unique_ptr<QSocketNotifier> readable;  // also the context of its deadline
        std::string received;
    };
    void Accept();
    void Read(std::uint64_t connection);
    void Reply(std::uint64_t connection, std::string_view line) override;
    void Drop(std::uint64_t connection) override;

    int listening_;
    int folder_;
    std::string name_;
    std::unique_ptr<QSocketNotifier> acceptor_;
    std::map<std::uint64_t, Connection> connections_;
};

// This process's place among the starts of Wigwag on its display.
class Instance {
  public:
    Instance() = default;
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // A command ("toggle", "start", "stop", "status") goes to the running Wigwag and its
    // answer is printed; a start (no command) while one runs asks it to bring its window to
    // the front. Either gives the exit status. Nothing: this process is the display's
    // Wigwag now and goes on to open its window.
    std::optional<int> Claim(const std::string& command);

    // Once the display is open: receives the later starts' commands into `host`.
    void Listen(QtHost& host);

  private:
    RuntimeFolder runtime_;
    std::string socketName_;  // in the runtime folder; empty: no socket
    std::string noSocket_;    // why there is none
    int lockFd_ = -1;
    std::unique_ptr<InstanceServer> server_;
};

}  // namespace wigwag::qt
