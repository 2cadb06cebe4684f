#include "platform/win32/instance.h"

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <utility>

#include "platform/printable.h"

namespace wigwag::win32 {

namespace {

constexpr std::size_t kMaxLine = kMaxCommandLine;
// A connection that has not sent its line, or not hung up after the answer, by then is
// dropped, so that it cannot keep the pipe from the next one.
constexpr ULONGLONG kConnectionMs = 2000;
// A later start's patience: for the pipe (busy with another start), for its answer, and for
// a Wigwag that has the pipe but does not answer yet (starting) or any more (closing).
constexpr DWORD kConnectMs = 2000;
constexpr DWORD kAnswerMs = 5000;
constexpr DWORD kClaimMs = 5000;
constexpr DWORD kRetryMs = 50;

constexpr int kFailed = kExitFailed;
constexpr int kUsage = kExitUsage;

// Standard output or error: the handle the caller gave (a pipe, a file), else the console
// of the caller, since a windowed program has none of its own.
HANDLE Stream(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle && handle != INVALID_HANDLE_VALUE) return handle;
    static HANDLE console = [] {
        if (!AttachConsole(ATTACH_PARENT_PROCESS) && GetLastError() != ERROR_ACCESS_DENIED)
            return INVALID_HANDLE_VALUE;
        return CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    }();
    return console;
}

// One line; false when it could not be written whole.
bool Say(DWORD which, const std::string& line) {
    const HANDLE stream = Stream(which);
    if (stream == INVALID_HANDLE_VALUE) return false;
    const std::string text = line + "\r\n";
    DWORD written = 0;
    return WriteFile(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

}  // namespace

void PrintLine(DWORD which, std::string_view line) {
    const HANDLE stream = Stream(which);
    if (stream == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(stream, &mode)) {
        // A console shows wide text as it is, whatever its code page.
        const std::wstring text = Widen(line, CP_UTF8) + L"\r\n";
        WriteConsoleW(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string text = std::string(line) + "\r\n";
    WriteFile(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

namespace {

// The user's SID as text, and the session: the pipe's name and its one allowed user.
bool Identity(std::wstring& sid, DWORD& session) {
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) return false;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> data(size);
    wchar_t* text = nullptr;
    const bool ok =
        size > 0 && GetTokenInformation(token, TokenUser, data.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(data.data())->User.Sid, &text);
    CloseHandle(token);
    if (!ok) return false;
    sid = text;
    LocalFree(text);
    return true;
}

std::wstring PipeName(const std::wstring& sid, DWORD session) {
    return L"\\\\.\\pipe\\wigwag-" + std::to_wstring(session) + L"-" + sid;
}

struct Exchange {
    enum Outcome { NotRunning, NoAnswer, ClosedEarly, Foreign, Answered } outcome;
    std::string answer;
};

// Whether the pipe's owner is the user `sid`: the name is predictable, so another user may
// have made a pipe of that name first, to be asked the commands.
bool OwnedBy(HANDLE pipe, const std::wstring& sid) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    PSID user = nullptr;
    const bool mine = ConvertStringSidToSidW(sid.c_str(), &user) && owner && EqualSid(owner, user);
    if (user) LocalFree(user);
    LocalFree(descriptor);
    return mine;
}

// One line to the running Wigwag and its one-line answer, waiting at most `answerMs`.
// Blocking is fine here: this process has no window.
Exchange Ask(const std::wstring& name, const std::wstring& sid, const char* word, DWORD answerMs) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const ULONGLONG connectBy = GetTickCount64() + kConnectMs;
    for (;;) {
        pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) break;
        // Ours lets the user in: a pipe that does not is another user's.
        if (GetLastError() == ERROR_ACCESS_DENIED) return {Exchange::Foreign, {}};
        // Busy: another start's exchange has the pipe; it is free within a poll.
        const ULONGLONG now = GetTickCount64();
        if (GetLastError() != ERROR_PIPE_BUSY || now >= connectBy)
            return {Exchange::NotRunning, {}};
        WaitNamedPipeW(name.c_str(), static_cast<DWORD>(connectBy - now));
    }
    if (!OwnedBy(pipe, sid)) {
        CloseHandle(pipe);
        return {Exchange::Foreign, {}};
    }
    // The running Wigwag may take the foreground when it is asked to come forward.
    ULONG server = 0;
    if (GetNamedPipeServerProcessId(pipe, &server)) AllowSetForegroundWindow(server);

    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Exchange result{Exchange::NoAnswer, {}};
    const ULONGLONG answerBy = GetTickCount64() + answerMs;
    // Waits for one overlapped operation until the answer's deadline.
    auto finish = [&](BOOL started, DWORD& bytes) {
        if (!started && GetLastError() != ERROR_IO_PENDING) return false;
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < answerBy ? static_cast<DWORD>(answerBy - now) : 0;
        if (WaitForSingleObject(event, left) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, nullptr, &bytes, TRUE);
            return false;
        }
        return true;
    };
    OVERLAPPED io{};
    io.hEvent = event;
    const std::string line = std::string(word) + "\n";
    DWORD bytes = 0;
    bool open = finish(WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), nullptr, &io),
                       bytes) &&
                GetOverlappedResult(pipe, &io, &bytes, FALSE);
    std::string answer;
    while (open && answer.find('\n') == std::string::npos && answer.size() <= kMaxLine) {
        char chunk[kMaxLine + 1];
        io = {};
        io.hEvent = event;
        if (!finish(ReadFile(pipe, chunk, sizeof chunk, nullptr, &io), bytes)) break;
        if (!GetOverlappedResult(pipe, &io, &bytes, FALSE)) {
            result.outcome = Exchange::ClosedEarly;  // hung up: closing
            break;
        }
        answer.append(chunk, bytes);
    }
    CloseHandle(event);
    CloseHandle(pipe);
    if (const std::size_t end = answer.find('\n'); end != std::string::npos)
        return {Exchange::Answered, answer.substr(0, end)};
    return result;
}

int SendCommand(const std::wstring& name, const std::wstring& sid, const char* word) {
    const Exchange exchange = Ask(name, sid, word, kAnswerMs);
    switch (exchange.outcome) {
        case Exchange::NotRunning:
            Say(STD_ERROR_HANDLE, "wigwag: Wigwag is not running");
            return kExitNotRunning;
        case Exchange::ClosedEarly:
            Say(STD_ERROR_HANDLE,
                "wigwag: the running Wigwag closed the connection without an answer");
            return kFailed;
        case Exchange::Foreign:
            Say(STD_ERROR_HANDLE, "wigwag: the command pipe belongs to another user");
            return kFailed;
        case Exchange::NoAnswer:
            Say(STD_ERROR_HANDLE, "wigwag: the running Wigwag did not answer");
            return kFailed;
        case Exchange::Answered:
            break;
    }
    if (exchange.answer == "refused") {
        Say(STD_ERROR_HANDLE, std::string("wigwag: the running Wigwag refused --") + word);
        return kFailed;
    }
    if (!Say(STD_OUTPUT_HANDLE, exchange.answer)) {
        Say(STD_ERROR_HANDLE, "wigwag: cannot write the answer to standard output");
        return kFailed;
    }
    return 0;
}

// The command of the command line ("toggle" …); empty for none, nothing when it is wrong.
std::optional<std::string> CommandOfCommandLine() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args) return std::string();
    std::optional<std::string> command = std::string();
    std::string problem;
    for (int i = 1; i < count && problem.empty(); ++i) {
        const std::string arg = Narrow(args[i]);
        const std::optional<Command> word =
            arg.rfind("--", 0) == 0 ? CommandOfWord(arg.substr(2)) : std::nullopt;
        if (!word)
            problem = "unknown argument '" + Printable(arg) +
                      "' (commands: --toggle, --start, --stop, --status, --list-devices)";
        else if (!command->empty())
            problem = "one command at a time";
        else
            command = arg.substr(2);
    }
    LocalFree(args);
    if (!problem.empty()) {
        Say(STD_ERROR_HANDLE, "wigwag: " + problem);
        return std::nullopt;
    }
    return command;
}

}  // namespace

// --- the running Wigwag's side ------------------------------------------------------------

std::unique_ptr<PipeServer> PipeServer::Create(const std::wstring& name, const std::wstring& sid) {
    // Owned by the user, whom later starts check for; full access for the user alone, no
    // inherited entries; remote clients refused.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring sddl = L"O:" + sid + L"D:P(A;;GA;;;" + sid + L")";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    const HANDLE pipe = CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 256, 256,
        0, &security);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (pipe == INVALID_HANDLE_VALUE) {
        SetLastError(error);
        return nullptr;
    }
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE deadline = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    if (!event || !deadline) {
        if (event) CloseHandle(event);
        if (deadline) CloseHandle(deadline);
        CloseHandle(pipe);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return std::unique_ptr<PipeServer>(new PipeServer(pipe, event, deadline));
}

PipeServer::PipeServer(HANDLE pipe, HANDLE event, HANDLE deadline)
    : pipe_(pipe), event_(event), deadline_(deadline) {
    io_.hEvent = event_;
}

PipeServer::~PipeServer() {
    Stop();
    CloseHandle(deadline_);
    CloseHandle(event_);
    CloseHandle(pipe_);
}

void PipeServer::Start(std::function<void()> bringToFront) {
    bringToFront_ = std::move(bringToFront);
    Listen();
}

std::vector<HANDLE> PipeServer::Handles() const {
    if (state_ == State::Idle) return {};
    return {event_, deadline_};
}

void PipeServer::Listen() {
    state_ = State::Listening;
    line_.clear();
    io_ = {};
    io_.hEvent = event_;
    ResetEvent(event_);
    if (ConnectNamedPipe(pipe_, &io_) || GetLastError() == ERROR_IO_PENDING) {
        ioPending_ = true;
        return;
    }
    // A client came between two connections: it is connected already.
    ioPending_ = false;
    if (GetLastError() == ERROR_PIPE_CONNECTED) SetEvent(event_);
}

void PipeServer::Read() {
    io_ = {};
    io_.hEvent = event_;
    ResetEvent(event_);
    ioPending_ = ReadFile(pipe_, buffer_, sizeof buffer_, nullptr, &io_) ||
                 GetLastError() == ERROR_IO_PENDING;
    if (!ioPending_) SetEvent(event_);  // failed at once: the client is gone
}

void PipeServer::SetDeadline() {
    deadlineAt_ = GetTickCount64() + kConnectionMs;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(kConnectionMs) * 10000;  // relative, 100 ns
    SetWaitableTimer(deadline_, &due, 0, nullptr, nullptr, FALSE);
}

void PipeServer::ClearDeadline() {
    deadlineAt_ = 0;
    CancelWaitableTimer(deadline_);
}

void PipeServer::Restart() {
    FinishIo();
    ClearDeadline();
    DisconnectNamedPipe(pipe_);
    waiting_.reset();
    Listen();
}

void PipeServer::FinishIo() {
    if (!ioPending_) return;
    DWORD bytes = 0;
    CancelIo(pipe_);
    GetOverlappedResult(pipe_, &io_, &bytes, TRUE);
    ioPending_ = false;
}

void PipeServer::Service(HANDLE signalled) {
    if (state_ == State::Idle) return;
    if (signalled == deadline_) {
        // Too slow to send its line or to hang up: the next one gets the pipe. (A signal
        // left from an earlier connection is not this one's.)
        const bool due = deadlineAt_ && GetTickCount64() >= deadlineAt_;
        if (due && (state_ == State::Reading || state_ == State::Closing)) Restart();
        return;
    }
    if (signalled != event_) return;
    DWORD bytes = 0;
    bool done = true;
    DWORD error = 0;
    if (ioPending_) {
        if (!HasOverlappedIoCompleted(&io_)) return;
        ioPending_ = false;
        done = GetOverlappedResult(pipe_, &io_, &bytes, FALSE);
        error = done ? 0 : GetLastError();
    }
    ResetEvent(event_);
    switch (state_) {
        case State::Listening:
            if (!done && error != ERROR_PIPE_CONNECTED) return Restart();
            SetDeadline();
            state_ = State::Reading;
            return Read();
        case State::Reading:
            if (!done || bytes == 0) return Restart();
            line_.append(buffer_, bytes);
            if (line_.find('\n') != std::string::npos) return Line(line_);
            if (line_.size() > kMaxLine) return Reply("refused");
            return Read();
        case State::Closing:
            // A hang-up ends the connection; so does anything sent after the answer.
            return Restart();
        case State::Waiting:
        case State::Idle:
            return;
    }
}

void PipeServer::Line(std::string_view line) {
    const std::size_t end = line.find('\n');
    // One line and nothing after it.
    const std::string_view text = end + 1 == line.size() ? line.substr(0, end) : "";
    if (text == "show") {
        if (bringToFront_) bringToFront_();
        return Reply("ok");
    }
    const std::optional<Command> command = CommandOfWord(text);
    if (!command) return Reply("refused");
    // The command waits for the next poll of the start/stop key.
    ClearDeadline();
    waiting_ = CommandRequest{*command, ++lastId_};
    state_ = State::Waiting;
}

void PipeServer::Reply(std::string_view answer) {
    const std::string text = std::string(answer) + "\n";
    OVERLAPPED write{};
    write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    // A few bytes into an empty pipe buffer: done at once, never waiting for the client.
    if (!WriteFile(pipe_, text.data(), static_cast<DWORD>(text.size()), nullptr, &write) &&
        GetLastError() == ERROR_IO_PENDING) {
        CancelIo(pipe_);
    }
    GetOverlappedResult(pipe_, &write, &bytes, TRUE);
    if (write.hEvent) CloseHandle(write.hEvent);
    // The pipe is let go once the client hangs up, so that it reads the answer first.
    SetDeadline();
    state_ = State::Closing;
    Read();
}

std::optional<CommandRequest> PipeServer::Take() {
    std::optional<CommandRequest> request = waiting_;
    waiting_.reset();
    return request;
}

void PipeServer::Answer(std::uint64_t id, std::string_view answer) {
    if (state_ != State::Waiting || id != lastId_) return;
    Reply(answer);
}

void PipeServer::Stop() {
    if (state_ == State::Idle) return;
    FinishIo();
    ClearDeadline();
    DisconnectNamedPipe(pipe_);
    waiting_.reset();
    state_ = State::Idle;
}

// --- a start of the program -----------------------------------------------------------------

std::optional<int> Instance::Claim() {
    const std::optional<std::string> command = CommandOfCommandLine();
    if (!command) return kUsage;
    std::wstring sid;
    DWORD session = 0;
    if (!Identity(sid, session)) {
        if (!command->empty()) {
            Say(STD_ERROR_HANDLE, "wigwag: Wigwag is not running (no user identity to find it)");
            return kExitNotRunning;
        }
        return std::nullopt;  // runs without taking commands
    }
    const std::wstring name = PipeName(sid, session);
    if (!command->empty()) return SendCommand(name, sid, command->c_str());

    const ULONGLONG claimBy = GetTickCount64() + kClaimMs;
    for (;;) {
        server_ = PipeServer::Create(name, sid);
        if (server_) return std::nullopt;
        if (GetLastError() != ERROR_ACCESS_DENIED && GetLastError() != ERROR_PIPE_BUSY)
            return std::nullopt;  // no pipe to be had: runs without taking commands
        const Exchange exchange = Ask(name, sid, "show", kAnswerMs);
        if (exchange.outcome == Exchange::Answered && exchange.answer == "ok") return 0;
        if (exchange.outcome == Exchange::Foreign) {
            Say(STD_ERROR_HANDLE,
                "wigwag: running without taking commands, and without telling "
                "whether another Wigwag runs: another user has the pipe " +
                    Narrow(name));
            return std::nullopt;
        }
        if (exchange.outcome == Exchange::Answered || exchange.outcome == Exchange::NoAnswer) {
            Say(STD_ERROR_HANDLE, "wigwag: the running Wigwag did not answer");
            return kFailed;
        }
        // Between two owners of the pipe (one closing): the next one is this start.
        if (GetTickCount64() >= claimBy) {
            Say(STD_ERROR_HANDLE, "wigwag: another Wigwag has the pipe but does not answer");
            return kFailed;
        }
        Sleep(kRetryMs);
    }
}

void Instance::Listen(Win32Host& host) {
    if (!server_) return;
    server_->Start([&host] { host.BringToFront(); });
    host.SetCommandSource(server_.get());
    host.SetWaitable(server_.get());
}

}  // namespace wigwag::win32
