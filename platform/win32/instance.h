// One wigwag.exe per user and Windows session. The first start makes a named pipe,
// \\.\pipe\wigwag-<session>-<user SID>, owned by the user and open to the user alone; a later
// start hands it a command (`wigwag.exe --toggle` and the like) or asks it to bring its window
// to the front, and ends before it makes a window of its own. The exchange is
// platform/commands.h's; the pipe is its transport.
#pragma once

#include "platform/win32/win32_api.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/commands.h"
#include "platform/win32/win32_host.h"

namespace wigwag::win32 {

// The running Wigwag's end of the pipe: an instance for each connection that may be open at
// once and one more, on which a connection past them is still heard (and makes room, or is
// refused). Every operation is overlapped; the message loop waits on each instance's event
// and on one timer for the earliest deadline.
class PipeServer final : public CommandServer, public Waitable {
  public:
    // Takes over `first`, the pipe's first instance (made by MakePipe), and makes the others.
    // `bringToFront` answers a later start without a command.
    PipeServer(std::function<void()> bringToFront, HANDLE first, const std::wstring& name,
               const std::wstring& sid);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    void Stop() override;
    std::vector<HANDLE> Handles() const override;
    void Service(HANDLE signalled) override;

  private:
    struct Pipe {
        HANDLE handle = INVALID_HANDLE_VALUE;
        HANDLE event = nullptr;  // the pending operation's completion (manual reset)
        OVERLAPPED io{};
        bool pending = false;  // an operation is under way, or ended and not looked at yet
        enum State { Off, Listening, Reading, Waiting, Closing } state = Off;
        std::uint64_t connection = 0;
        std::string received;
        char buffer[kMaxCommandLine + 1];
        ULONGLONG deadline = 0;  // GetTickCount64 when it is dropped; 0: none
    };

    void Reply(std::uint64_t connection, std::string_view line) override;
    void Drop(std::uint64_t connection) override;

    Pipe* Of(std::uint64_t connection);
    void Listen(Pipe& pipe);
    void Connected(Pipe& pipe);
    void Read(Pipe& pipe);
    void Done(Pipe& pipe, bool ok, DWORD bytes);
    // Writes the line, then waits for the other end to hang up (its answer unread would go
    // with a disconnection).
    void Answer(Pipe& pipe, std::string_view line);
    void Finish(Pipe& pipe);
    void Restart(Pipe& pipe);
    void SetDeadline(Pipe& pipe);
    void Expire();
    void Arm();

    std::array<Pipe, kMaxConnections + 1> pipes_;
    HANDLE deadlineTimer_ = nullptr;  // the earliest deadline of all instances
    ULONGLONG armedFor_ = 0;
    bool stopped_ = false;
};

// Makes an instance of the pipe `name`, owned by the user `sid` with the user's as its only
// access entry; `first`: it must be the first (else ERROR_ACCESS_DENIED or ERROR_PIPE_BUSY
// when the pipe is there). INVALID_HANDLE_VALUE, with the last error, when it cannot be made.
HANDLE MakePipe(const std::wstring& name, const std::wstring& sid, bool first);

// This process's place among the starts of wigwag.exe in its session.
class Instance {
  public:
    Instance() = default;
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // A command ("toggle", "start", "stop", "status") goes to the running Wigwag and its
    // answer is said (on the caller's console or redirected output); a start (no command)
    // while one runs asks it to bring its window to the front. Either gives the exit status.
    // Nothing: this process is the session's Wigwag now and goes on to make its window.
    std::optional<int> Claim(const std::string& command);

    // Once the window exists: receives the later starts' commands into `host`.
    void Listen(Win32Host& host);

  private:
    std::wstring name_, sid_;
    HANDLE first_ = INVALID_HANDLE_VALUE;  // the pipe's first instance, until Listen
    std::string noPipe_;                   // why there is none (said at Listen)
    std::unique_ptr<PipeServer> server_;
};

}  // namespace wigwag::win32
