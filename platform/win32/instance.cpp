#include "platform/win32/instance.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <utility>

#include "platform/say.h"

namespace wigwag::win32 {

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

// One line to the running Wigwag and its one-line answer. Blocking is fine here: this
// process has no window.
Exchange Ask(const std::wstring& name, const std::wstring& sid, const std::string& word) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const ULONGLONG connectBy = GetTickCount64() + kConnectMs;
    for (;;) {
        pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) break;
        const DWORD error = GetLastError();
        // Ours lets the user in: a pipe that does not is another user's.
        if (error == ERROR_ACCESS_DENIED) return {Exchange::Foreign, {}};
        // Busy: every instance has a connection; one is free within a poll.
        const ULONGLONG now = GetTickCount64();
        if (error != ERROR_PIPE_BUSY || now >= connectBy) return {Exchange::NotRunning, {}};
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
    const ULONGLONG answerBy = GetTickCount64() + kAnswerMs;
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
    const std::string line = word + "\n";
    DWORD bytes = 0;
    bool open = finish(WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), nullptr, &io),
                       bytes) &&
                GetOverlappedResult(pipe, &io, &bytes, FALSE);
    std::string answer;
    while (open && answer.find('\n') == std::string::npos && answer.size() <= kMaxCommandLine) {
        char chunk[kMaxCommandLine + 1];
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

}  // namespace

HANDLE MakePipe(const std::wstring& name, const std::wstring& sid, bool first) {
    // Owned by the user, whom later starts check for; full access for the user alone, no
    // inherited entries; remote clients refused.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring sddl = L"O:" + sid + L"D:P(A;;GA;;;" + sid + L")";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    const HANDLE pipe = CreateNamedPipeW(
        name.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        kMaxConnections + 1, 256, 256, 0, &security);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return pipe;
}

// --- the running Wigwag's side ------------------------------------------------------------

PipeServer::PipeServer(std::function<void()> bringToFront, HANDLE first, const std::wstring& name,
                       const std::wstring& sid)
    : CommandServer(std::move(bringToFront)) {
    deadlineTimer_ = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    for (std::size_t i = 0; i < pipes_.size(); ++i) {
        Pipe& pipe = pipes_[i];
        pipe.handle = i == 0 ? first : MakePipe(name, sid, false);
        pipe.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (pipe.handle != INVALID_HANDLE_VALUE && pipe.event) Listen(pipe);
    }
}

PipeServer::~PipeServer() {
    Stop();
    for (Pipe& pipe : pipes_) {
        if (pipe.handle != INVALID_HANDLE_VALUE) CloseHandle(pipe.handle);
        if (pipe.event) CloseHandle(pipe.event);
    }
    if (deadlineTimer_) CloseHandle(deadlineTimer_);
}

std::vector<HANDLE> PipeServer::Handles() const {
    std::vector<HANDLE> handles;
    if (stopped_) return handles;
    for (const Pipe& pipe : pipes_)
        if (pipe.state != Pipe::Off) handles.push_back(pipe.event);
    if (deadlineTimer_) handles.push_back(deadlineTimer_);
    return handles;
}

void PipeServer::Listen(Pipe& pipe) {
    pipe.state = Pipe::Listening;
    pipe.connection = 0;
    pipe.received.clear();
    pipe.deadline = 0;
    // A client that came and went before the instance listened leaves it to be disconnected
    // first.
    for (int tries = 0; tries < 2; ++tries) {
        pipe.io = {};
        pipe.io.hEvent = pipe.event;
        ResetEvent(pipe.event);
        pipe.pending =
            ConnectNamedPipe(pipe.handle, &pipe.io) || GetLastError() == ERROR_IO_PENDING;
        if (pipe.pending) return;
        // A client came between two connections: it is connected already.
        if (GetLastError() == ERROR_PIPE_CONNECTED) {
            SetEvent(pipe.event);
            return;
        }
        DisconnectNamedPipe(pipe.handle);
    }
    pipe.state = Pipe::Off;
}

void PipeServer::Read(Pipe& pipe) {
    pipe.io = {};
    pipe.io.hEvent = pipe.event;
    ResetEvent(pipe.event);
    // Never more than decides whether the line is too long.
    const DWORD room = static_cast<DWORD>(sizeof pipe.buffer - pipe.received.size());
    pipe.pending = ReadFile(pipe.handle, pipe.buffer, room, nullptr, &pipe.io) ||
                   GetLastError() == ERROR_IO_PENDING;
    if (!pipe.pending) SetEvent(pipe.event);  // failed at once: the other end is gone
}

void PipeServer::Service(HANDLE signalled) {
    if (stopped_) return;
    if (signalled == deadlineTimer_) return Expire();
    const auto found = std::find_if(pipes_.begin(), pipes_.end(), [signalled](const Pipe& p) {
        return p.event == signalled && p.state != Pipe::Off;
    });
    if (found == pipes_.end()) return;
    Pipe& pipe = *found;
    if (pipe.pending && !HasOverlappedIoCompleted(&pipe.io)) return;
    DWORD bytes = 0;
    bool ok = pipe.state == Pipe::Listening;  // connected already when nothing was pending
    if (pipe.pending)
        ok = GetOverlappedResult(pipe.handle, &pipe.io, &bytes, FALSE) ||
             GetLastError() == ERROR_PIPE_CONNECTED;
    pipe.pending = false;
    ResetEvent(pipe.event);
    Done(pipe, ok, bytes);
}

void PipeServer::Done(Pipe& pipe, bool ok, DWORD bytes) {
    switch (pipe.state) {
        case Pipe::Listening:
            return ok ? Connected(pipe) : Restart(pipe);
        case Pipe::Reading: {
            const std::uint64_t connection = pipe.connection;
            if (!ok || bytes == 0) {  // gone before its line ended
                Closed(connection);
                return Drop(connection);
            }
            pipe.received.append(pipe.buffer, bytes);
            if (Received(connection, pipe.received)) return Read(pipe);
            // The line is whole and its command waits for the program, unless it was
            // answered already.
            if (pipe.state == Pipe::Reading) {
                pipe.state = Pipe::Waiting;
                pipe.deadline = 0;
            }
            return;
        }
        case Pipe::Closing:
            // A hang-up ends the connection; so does anything sent after the answer.
            return Restart(pipe);
        case Pipe::Waiting:
        case Pipe::Off:
            return;
    }
}

void PipeServer::Connected(Pipe& pipe) {
    // The last free instance taken makes room on another, or this one is refused.
    const std::optional<std::uint64_t> connection = Opened();
    if (!connection) return Answer(pipe, "refused");
    pipe.connection = *connection;
    pipe.state = Pipe::Reading;
    SetDeadline(pipe);
    Read(pipe);
}

PipeServer::Pipe* PipeServer::Of(std::uint64_t connection) {
    for (Pipe& pipe : pipes_)
        if (pipe.connection == connection &&
            (pipe.state == Pipe::Reading || pipe.state == Pipe::Waiting))
            return &pipe;
    return nullptr;
}

void PipeServer::Reply(std::uint64_t connection, std::string_view line) {
    if (Pipe* pipe = Of(connection)) Answer(*pipe, line);
}

void PipeServer::Drop(std::uint64_t connection) {
    if (Pipe* pipe = Of(connection)) Restart(*pipe);
}

void PipeServer::Answer(Pipe& pipe, std::string_view line) {
    Finish(pipe);
    const std::string text = std::string(line) + "\n";
    pipe.io = {};
    pipe.io.hEvent = pipe.event;
    DWORD bytes = 0;
    // A few bytes into an empty pipe buffer: done at once, never waiting for the other end.
    if (!WriteFile(pipe.handle, text.data(), static_cast<DWORD>(text.size()), nullptr, &pipe.io) &&
        GetLastError() == ERROR_IO_PENDING) {
        CancelIo(pipe.handle);
        GetOverlappedResult(pipe.handle, &pipe.io, &bytes, TRUE);
    }
    pipe.state = Pipe::Closing;
    pipe.connection = 0;
    pipe.received.clear();
    SetDeadline(pipe);
    Read(pipe);
}

void PipeServer::Finish(Pipe& pipe) {
    if (!pipe.pending) return;
    DWORD bytes = 0;
    CancelIo(pipe.handle);
    GetOverlappedResult(pipe.handle, &pipe.io, &bytes, TRUE);
    pipe.pending = false;
}

void PipeServer::Restart(Pipe& pipe) {
    Finish(pipe);
    DisconnectNamedPipe(pipe.handle);
    if (!stopped_) return Listen(pipe);
    pipe.state = Pipe::Off;
    pipe.connection = 0;
    pipe.deadline = 0;
}

void PipeServer::SetDeadline(Pipe& pipe) {
    pipe.deadline = GetTickCount64() + kLineMs;
    Arm();
}

void PipeServer::Expire() {
    armedFor_ = 0;
    const ULONGLONG now = GetTickCount64();
    for (Pipe& pipe : pipes_) {
        if (!pipe.deadline || pipe.deadline > now) continue;
        if (pipe.state == Pipe::Reading) {
            // Too slow to send its line: it makes room for the next one.
            const std::uint64_t connection = pipe.connection;
            Closed(connection);
            Drop(connection);
        } else {
            Restart(pipe);  // too slow to hang up after the answer
        }
    }
    Arm();
}

void PipeServer::Arm() {
    ULONGLONG earliest = 0;
    for (const Pipe& pipe : pipes_)
        if (pipe.deadline && (!earliest || pipe.deadline < earliest)) earliest = pipe.deadline;
    if (!deadlineTimer_ || earliest == armedFor_) return;
    armedFor_ = earliest;
    if (!earliest) {
        CancelWaitableTimer(deadlineTimer_);
        return;
    }
    const ULONGLONG now = GetTickCount64();
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(earliest > now ? earliest - now : 1) * 10000;
    SetWaitableTimer(deadlineTimer_, &due, 0, nullptr, nullptr, FALSE);
}

void PipeServer::Stop() {
    stopped_ = true;
    CommandServer::Stop();
    for (Pipe& pipe : pipes_)
        if (pipe.state != Pipe::Off) Restart(pipe);
    if (deadlineTimer_) CancelWaitableTimer(deadlineTimer_);
    armedFor_ = 0;
}

// --- a start of the program -----------------------------------------------------------------

Instance::~Instance() {
    server_.reset();
    if (first_ != INVALID_HANDLE_VALUE) CloseHandle(first_);
}

std::optional<int> Instance::Claim(const std::string& command) {
    DWORD session = 0;
    const bool known = Identity(sid_, session);
    if (known) name_ = PipeName(sid_, session);
    const Channel channel{"pipe", "", "the pipe"};
    constexpr const char* kNoIdentity = "the user's identity cannot be read";
    if (!command.empty()) {
        if (!known) return Tell(Unreachable(kNoIdentity));
        return Tell(CommandOutcome(Ask(name_, sid_, command), command, channel));
    }
    if (!known) {
        noPipe_ = kNoIdentity;
        return std::nullopt;
    }
    const Said said = ClaimOrShow(
        [this] {
            first_ = MakePipe(name_, sid_, true);
            const DWORD error = GetLastError();
            if (first_ != INVALID_HANDLE_VALUE) return true;
            // Another Wigwag of this user and session has it.
            if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) return false;
            noPipe_ = "the pipe cannot be made (Windows error " + std::to_string(error) + ")";
            return true;
        },
        [this] { return Ask(name_, sid_, "show"); }, channel,
        [](int ms) { Sleep(static_cast<DWORD>(ms)); },
        [] { return static_cast<double>(GetTickCount64()); });
    if (said.status != kRuns) return Tell(said);
    Tell(said);  // another user's pipe: said why this one takes no commands
    return std::nullopt;
}

void Instance::Listen(Win32Host& host) {
    if (first_ == INVALID_HANDLE_VALUE) {
        if (!noPipe_.empty())
            Say(Stream::Err,
                "wigwag: running without taking commands, and without telling whether another "
                "Wigwag runs: " +
                    noPipe_);
        return;
    }
    server_ = std::make_unique<PipeServer>([&host] { host.BringToFront(); }, first_, name_, sid_);
    first_ = INVALID_HANDLE_VALUE;
    host.SetCommandSource(server_.get());
    host.SetWaitable(server_.get());
}

}  // namespace wigwag::win32
