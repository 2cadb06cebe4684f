#include "platform/qt/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/command_words.h"
#include "platform/printable.h"

namespace wigwag::qt {

namespace {

constexpr qsizetype kMaxLine = static_cast<qsizetype>(kMaxCommandLine);
// Connections open at once (beyond which the oldest that has not sent its line makes
// room), and commands waiting for the next poll (beyond which more are refused).
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxWaiting = 64;
// A connection that has not sent its line by then is dropped.
constexpr int kLineMs = 2000;
// A later start's patience: to connect, for its answer, and for a Wigwag that holds the
// display but is not listening yet (starting) or any more (closing).
constexpr int kConnectMs = 1000;
constexpr int kAnswerMs = 5000;
constexpr int kClaimMs = 5000;
constexpr long kRetryMs = 50;

constexpr int kFailed = kCommandFailed;

std::optional<Command> CommandOf(const QByteArray& line, bool& known) {
    const CommandWord* word = CommandWordOf(std::string_view(line.constData(), line.size()));
    known = word != nullptr;
    return word ? word->command : std::nullopt;
}

// One line; false when it could not be written whole.
bool Say(FILE* stream, const std::string& text) {
    return std::fprintf(stream, "%s\n", text.c_str()) >= 0 && std::fflush(stream) == 0;
}

uid_t PeerUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return static_cast<uid_t>(-1);
    return peer.uid;
}

struct Exchange {
    enum Outcome { NotRunning, NoAnswer, ClosedEarly, Foreign, Answered } outcome;
    QByteArray answer;
};

// One line to the running Wigwag and its one-line answer, waiting at most `answerMs`.
// Blocking is fine here: this process has no window and no events of its own.
Exchange Ask(const std::string& path, const QByteArray& word, int answerMs) {
    QLocalSocket socket;
    socket.connectToServer(QFile::decodeName(path.c_str()));
    if (!socket.waitForConnected(kConnectMs)) return {Exchange::NotRunning, {}};
    if (PeerUser(static_cast<int>(socket.socketDescriptor())) != ::geteuid())
        return {Exchange::Foreign, {}};
    socket.write(word + '\n');
    socket.flush();
    const QDeadlineTimer deadline(answerMs);
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() <= kMaxLine) {
        if (socket.bytesAvailable() == 0 &&
            !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        answer += socket.read(kMaxLine + 1 - answer.size());
    }
    const qsizetype end = answer.indexOf('\n');
    if (end >= 0) return {Exchange::Answered, answer.left(end)};
    if (socket.state() != QLocalSocket::ConnectedState) return {Exchange::ClosedEarly, {}};
    return {Exchange::NoAnswer, {}};
}

int SendCommand(const std::string& path, const char* word) {
    const Exchange exchange = Ask(path, word, kAnswerMs);
    switch (exchange.outcome) {
        case Exchange::NotRunning:
            Say(stderr, "wigwag: Wigwag is not running on display " +
                            Printable(qgetenv("DISPLAY").toStdString()));
            return kNotRunning;
        case Exchange::ClosedEarly:
            Say(stderr, "wigwag: the running Wigwag closed the connection without an answer");
            return kFailed;
        case Exchange::NoAnswer:
            Say(stderr, "wigwag: the running Wigwag did not answer");
            return kFailed;
        case Exchange::Foreign:
            Say(stderr, "wigwag: the command socket belongs to another user");
            return kFailed;
        case Exchange::Answered:
            break;
    }
    if (exchange.answer == "refused") {
        Say(stderr, std::string("wigwag: the running Wigwag refused --") + word);
        return kFailed;
    }
    if (!Say(stdout, exchange.answer.toStdString())) {
        Say(stderr, "wigwag: cannot write the answer to standard output: " +
                        std::string(std::strerror(errno)));
        return kFailed;
    }
    return 0;
}

QtMessageHandler qtMessages = nullptr;

// Qt's own warning that it found no runtime folder: the program has said why already.
void QuietAboutRuntimeFolder(QtMsgType type, const QMessageLogContext& context,
                             const QString& text) {
    if (text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
    if (qtMessages) qtMessages(type, context, text);
}

void SleepMs(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace

// --- the running Wigwag's side ------------------------------------------------------------

InstanceServer::InstanceServer(std::function<void()> bringToFront)
    : bringToFront_(std::move(bringToFront)) {}

InstanceServer::~InstanceServer() {
    Stop();
}

void InstanceServer::Listen(int listening, int folder, std::string name) {
    listening_ = listening;
    folder_ = folder;
    name_ = std::move(name);
    acceptor_ = std::make_unique<QSocketNotifier>(listening_, QSocketNotifier::Read);
    QObject::connect(acceptor_.get(), &QSocketNotifier::activated, acceptor_.get(),
                     [this] { Accept(); });
}

void InstanceServer::Accept() {
    for (;;) {
        const int fd = ::accept4(listening_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (PeerUser(fd) != ::geteuid()) {
            ::close(fd);
            continue;
        }
        if (connections_.size() >= kMaxConnections) {
            // Room for the new one: the oldest that is still silent goes.
            int oldest = -1;
            for (const auto& [other, connection] : connections_)
                if (!connection.read &&
                    (oldest < 0 || connection.order < connections_.at(oldest).order))
                    oldest = other;
            if (oldest < 0) {
                Reply(fd, "refused");
                continue;
            }
            Drop(oldest);
        }
        Connection& connection = connections_[fd];
        const std::uint64_t order = connection.order = ++accepted_;
        connection.readable.reset(new QSocketNotifier(fd, QSocketNotifier::Read));
        // The descriptor's number comes back with later connections: each check is this one's.
        const auto same = [this, fd, order] {
            const auto found = connections_.find(fd);
            return found != connections_.end() && found->second.order == order;
        };
        QObject::connect(connection.readable.get(), &QSocketNotifier::activated,
                         connection.readable.get(), [this, fd, same] {
                             if (same()) Read(fd);
                         });
        QTimer::singleShot(kLineMs, connection.readable.get(), [this, fd, same] {
            if (same() && !connections_.at(fd).read) Drop(fd);
        });
        Read(fd);
    }
}

void InstanceServer::Read(int fd) {
    const auto found = connections_.find(fd);
    if (found == connections_.end() || found->second.read) return;
    Connection& connection = found->second;
    char buffer[kMaxLine + 1];
    const ssize_t n =
        ::recv(fd, buffer, static_cast<std::size_t>(kMaxLine + 1 - connection.line.size()), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return Drop(fd);  // gone before its line ended
    connection.line.append(buffer, n);
    const qsizetype end = connection.line.indexOf('\n');
    if (end < 0) {
        if (connection.line.size() > kMaxLine) Reply(fd, "refused");
        return;
    }
    // Read no more: a writer that shuts its side after the line still gets the answer.
    connection.read = true;
    connection.readable->setEnabled(false);
    bool known = false;
    // One line and nothing after it.
    const std::optional<Command> command = end + 1 == connection.line.size()
                                               ? CommandOf(connection.line.left(end), known)
                                               : std::nullopt;
    if (!known || (command && waiting_.size() >= kMaxWaiting)) return Reply(fd, "refused");
    if (!command) {
        bringToFront_();
        return Reply(fd, "ok");
    }
    waiting_.push_back({*command, ++lastId_});
    askers_[lastId_] = fd;
}

void InstanceServer::Reply(int fd, std::string_view answer) {
    // A few bytes on a connection that has had none: the socket's buffer takes them at once.
    const std::string line = std::string(answer) + "\n";
    [[maybe_unused]] const ssize_t sent =
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    Drop(fd);
}

void InstanceServer::Drop(int fd) {
    std::erase_if(askers_, [fd](const auto& asker) { return asker.second == fd; });
    if (const auto found = connections_.find(fd); found != connections_.end()) {
        // Its notifier may be the one whose signal runs now: it goes once that returns.
        QSocketNotifier* readable = found->second.readable.release();
        readable->setEnabled(false);
        readable->deleteLater();
        connections_.erase(found);
    }
    ::close(fd);
}

std::optional<CommandRequest> InstanceServer::Take() {
    if (waiting_.empty()) return std::nullopt;
    const CommandRequest request = waiting_.front();
    waiting_.pop_front();
    return request;
}

void InstanceServer::Answer(std::uint64_t id, std::string_view answer) {
    const auto asker = askers_.find(id);
    if (asker == askers_.end()) return;  // dropped before the answer
    const int fd = asker->second;
    askers_.erase(asker);
    Reply(fd, answer);
}

void InstanceServer::Stop() {
    acceptor_.reset();
    if (listening_ >= 0) {
        ::unlinkat(folder_, name_.c_str(), 0);
        ::close(listening_);
    }
    listening_ = -1;
    waiting_.clear();
    askers_.clear();
    std::vector<int> open;
    for (const auto& connection : connections_) open.push_back(connection.first);
    for (const int fd : open) Drop(fd);
}

// --- a start of the program -----------------------------------------------------------------

Instance::~Instance() {
    server_.reset();
    if (lockFd_ >= 0) ::close(lockFd_);
}

std::optional<int> Instance::Claim(const std::string& command) {
    const QByteArray display = qgetenv("DISPLAY");
    const std::optional<std::string> key = DisplayKey(display.toStdString());
    if (display.isEmpty())
        noSocket_ = "DISPLAY is not set";
    else if (!key)
        noSocket_ = "DISPLAY \"" + Printable(display.toStdString()) + "\" names no X display";
    else if (!runtime_.IsOpen())
        noSocket_ = runtime_.Why();
    else if (runtime_.PathOf("wigwag-" + *key + ".sock").size() >= sizeof(sockaddr_un::sun_path))
        noSocket_ = "the display name \"" + Printable(display.toStdString()) +
                    "\" is too long for a socket address";
    else
        socketName_ = "wigwag-" + *key + ".sock";
    if (!command.empty()) {
        const CommandWord* word = CommandWordOf(command);
        if (!word || !word->command) return kFailed;  // the options allow no other
        if (socketName_.empty()) {
            Say(stderr, "wigwag: no Wigwag can be reached: " + noSocket_);
            return kFailed;
        }
        return SendCommand(runtime_.PathOf(socketName_), word->text);
    }
    if (!runtime_.IsOpen()) {
        // Nothing in this process uses a folder that failed the checks: Qt would make it
        // when it is missing, and the opener of the web site would inherit it.
        qunsetenv("XDG_RUNTIME_DIR");
        qtMessages = qInstallMessageHandler(QuietAboutRuntimeFolder);
    }
    // Without a display the program cannot run; it says so once it tries to open one.
    if (socketName_.empty()) return std::nullopt;
    // Held for the process's life: whoever holds it is the display's Wigwag, even before
    // it listens, so two starts at once cannot both listen.
    const std::string lockName = "wigwag-" + *key + ".lock";
    lockFd_ = OpenPrivateFile(runtime_.Fd(), lockName, O_RDWR | O_CREAT);
    if (lockFd_ < 0) {
        noSocket_ = "cannot open its lock file " + lockName + " in XDG_RUNTIME_DIR";
        socketName_.clear();
        return std::nullopt;
    }
    const std::string path = runtime_.PathOf(socketName_);
    const QDeadlineTimer deadline(kClaimMs);
    for (;;) {
        const Exchange exchange = Ask(path, "show", kAnswerMs);
        if (exchange.outcome == Exchange::Answered && exchange.answer == "ok") {
            if (Say(stdout, "Wigwag is already running: its window is brought to the front."))
                return 0;
            Say(stderr,
                "wigwag: cannot write to standard output: " + std::string(std::strerror(errno)));
            return kFailed;
        }
        if (exchange.outcome == Exchange::Answered) {
            Say(stderr, "wigwag: the running Wigwag refused to come forward");
            return kFailed;
        }
        if (exchange.outcome == Exchange::NoAnswer) {
            Say(stderr, "wigwag: the running Wigwag did not answer");
            return kFailed;
        }
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) return std::nullopt;
        if (deadline.hasExpired()) {
            Say(stderr, "wigwag: another Wigwag holds " + lockName +
                            " in XDG_RUNTIME_DIR but does not answer");
            return kFailed;
        }
        SleepMs(kRetryMs);
    }
}

void Instance::Listen(QtHost& host) {
    const char* without = runtime_.IsOpen()
                              ? "wigwag: running without taking commands, and without telling "
                                "whether another Wigwag runs: "
                              : "wigwag: running without taking commands, without telling "
                                "whether another Wigwag runs, and without a note to give "
                                "auto-repeat back after a crash: ";
    if (socketName_.empty()) {
        Say(stderr, without + noSocket_);
        return;
    }
    // A socket file left here is a killed Wigwag's (this process holds the lock); the new
    // one is read and written by the user alone from the moment it has a name.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = runtime_.PathOf(socketName_);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ::unlinkat(runtime_.Fd(), socketName_.c_str(), 0);
    if (fd < 0 || ::fchmod(fd, S_IRUSR | S_IWUSR) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        Say(stderr, without + ("cannot listen on " + socketName_ + " in XDG_RUNTIME_DIR: ") +
                        std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return;
    }
    server_ = std::make_unique<InstanceServer>([&host] { host.BringToFront(); });
    server_->Listen(fd, runtime_.Fd(), socketName_);
    host.SetCommandSource(server_.get());
}

}  // namespace wigwag::qt
