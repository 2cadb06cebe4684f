// One Wigwag per user and X display. The first start listens on a local socket in
// $XDG_RUNTIME_DIR; a later start hands it a command (`wigwag --toggle` and the like) or asks
// it to bring its window to the front, and ends before it opens a display of its own.
//
// The exchange is one line each way on a connection of its own: "toggle", "start", "stop",
// "status" or "show", answered by the run state after the command ("Running",
// "Not Running"), "ok" to "show", and "refused" to anything else.
#pragma once

#include <QByteArray>
#include <QSocketNotifier>
#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/host.h"
#include "platform/qt/qt_host.h"
#include "platform/x11/runtime_folder.h"

namespace wigwag::qt {

// The commands that later starts hand over, received on the window's thread and queued
// until the program takes them at its next poll of the start/stop key.
class InstanceServer final : public CommandSource {
  public:
    // `bringToFront` runs when a later start without a command asks for the window.
    explicit InstanceServer(std::function<void()> bringToFront);
    ~InstanceServer();
    InstanceServer(const InstanceServer&) = delete;
    InstanceServer& operator=(const InstanceServer&) = delete;

    // Takes over `listening`, a socket bound and listening already as `name` in `folder`,
    // which it removes when it stops.
    void Listen(int listening, int folder, std::string name);

    // CommandSource
    std::optional<CommandRequest> Take() override;
    void Answer(std::uint64_t id, std::string_view answer) override;
    void Stop() override;

  private:
    struct Connection {
        std::unique_ptr<QSocketNotifier> readable;  // also the context of its deadline
        std::uint64_t order = 0;                    // of acceptance
        QByteArray line;
        bool read = false;  // its line came; nothing more is read from it
    };
    void Accept();
    void Read(int fd);
    void Reply(int fd, std::string_view answer);
    void Drop(int fd);

    std::function<void()> bringToFront_;
    int listening_ = -1;
    int folder_ = -1;
    std::string name_;
    std::unique_ptr<QSocketNotifier> acceptor_;
    std::map<int, Connection> connections_;  // by descriptor
    std::uint64_t accepted_ = 0;
    std::deque<CommandRequest> waiting_;
    std::map<std::uint64_t, int> askers_;  // by request, until answered
    std::uint64_t lastId_ = 0;
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
