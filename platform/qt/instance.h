// One Wigwag per user and X display. The first start listens on a local socket in
// $XDG_RUNTIME_DIR; a later start hands it a command (`wigwag --toggle` and the like) or asks
// it to bring its window to the front, and ends before it opens a display of its own.
//
// The exchange is one line each way on a connection of its own: "toggle", "start", "stop",
// "status" or "show", answered by the run state after the command ("Running",
// "Not Running"), "ok" to "show", and "refused" to anything else.
#pragma once

#include <QLocalServer>
#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/host.h"
#include "platform/qt/qt_host.h"

class QLocalSocket;

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

    // Listens on `path`, replacing a socket file that a killed Wigwag left behind: the
    // caller holds the lock that makes this process the one Wigwag of the display.
    bool Listen(const QString& path, QString& error);

    // CommandSource
    std::optional<CommandRequest> Take() override;
    void Answer(std::uint64_t id, std::string_view answer) override;
    void Stop() override;

  private:
    struct Connection {
        QByteArray line;
        bool read = false;  // its line came; nothing more is read from it
    };
    void Accept();
    void Read(QLocalSocket* socket);
    void Reply(QLocalSocket* socket, std::string_view answer);

    std::function<void()> bringToFront_;
    QLocalServer server_;
    std::map<QLocalSocket*, Connection> connections_;
    std::deque<CommandRequest> waiting_;
    std::map<std::uint64_t, QLocalSocket*> askers_;  // by request, until answered
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
    QString socketPath_;  // empty: no private runtime folder, so no socket
    QString noSocket_;    // why there is none
    int lockFd_ = -1;
    std::unique_ptr<InstanceServer> server_;
};

}  // namespace wigwag::qt
