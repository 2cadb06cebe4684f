// One wigwag.exe per user and Windows session. The first start owns a named pipe,
// \\.\pipe\wigwag-<session>-<user SID>, open to the user alone; a later start hands it a
// command (`wigwag.exe --toggle` and the like) or asks it to bring its window to the front,
// and ends before it makes a window of its own.
//
// The exchange is the Linux program's: one line each way, "toggle", "start", "stop",
// "status" or "show", answered by the run state after the command ("Running",
// "Not Running"), "ok" to "show", and "refused" to anything else. One connection at a time;
// the pipe's operations never block the window's thread.
#pragma once

#include "platform/win32/win32_api.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/commands.h"
#include "platform/host.h"
#include "platform/win32/win32_host.h"

namespace wigwag::win32 {

// One line of UTF-8 text on standard output or error (STD_OUTPUT_HANDLE, STD_ERROR_HANDLE):
// to the handle the caller gave, else to the caller's console.
void PrintLine(DWORD stream, std::string_view line);

// The running Wigwag's end of the pipe.
class PipeServer final : public CommandSource, public Waitable {
  public:
    // Makes the pipe's first instance; nothing (with ERROR_ACCESS_DENIED as the last error)
    // when a Wigwag of this user and session has it already.
    static std::unique_ptr<PipeServer> Create(const std::wstring& name, const std::wstring& sid);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Starts taking connections; `bringToFront` answers a later start without a command.
    void Start(std::function<void()> bringToFront);

    std::optional<CommandRequest> Take() override;
    void Answer(std::uint64_t id, std::string_view answer) override;
    void Stop() override;
    std::vector<HANDLE> Handles() const override;
    void Service(HANDLE signalled) override;

  private:
    enum class State { Idle, Listening, Reading, Waiting, Closing };
    PipeServer(HANDLE pipe, HANDLE event, HANDLE deadline);
    void Listen();
    void Read();
    void Reply(std::string_view answer);
    void Restart();
    void FinishIo();
    void SetDeadline();
    void ClearDeadline();
    void Line(std::string_view line);

    HANDLE pipe_;
    HANDLE event_;     // the pending operation's completion
    HANDLE deadline_;  // a connection's time to send its line, or to hang up after the answer
    ULONGLONG deadlineAt_ = 0;  // when it falls, on GetTickCount64; 0: none
    OVERLAPPED io_{};
    bool ioPending_ = false;
    State state_ = State::Idle;
    std::string line_;
    char buffer_[64];
    std::optional<CommandRequest> waiting_;
    std::uint64_t lastId_ = 0;
    std::function<void()> bringToFront_;
};

// This process's place among the starts of wigwag.exe in its session.
class Instance {
  public:
    // Reads the command line. A command goes to the running Wigwag and its answer is printed
    // (on the caller's console or redirected output); a start while one runs asks it to
    // bring its window to the front. Either gives the exit status. Nothing: this process is
    // the session's Wigwag now and goes on to make its window.
    std::optional<int> Claim();

    // Once the window exists: receives the later starts' commands into `host`.
    void Listen(Win32Host& host);

  private:
    std::unique_ptr<PipeServer> server_;
};

}  // namespace wigwag::win32
