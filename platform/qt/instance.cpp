#include "platform/qt/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/printable.h"
#include "platform/say.h"

namespace wigwag::qt {

namespace {

uid_t PeerUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return static_cast<uid_t>(-1);
    return peer.uid;
}

// One line to the running Wigwag and its one-line answer. Blocking is fine here: this
// process has no window and no events of its own.
Exchange Ask(const std::string& path, const std::string& word) {
    QLocalSocket socket;
    socket.connectToServer(QFile::decodeName(path.c_str()));
    if (!socket.waitForConnected(kConnectMs)) return {Exchange::NotRunning, {}};
    if (PeerUser(static_cast<int>(socket.socketDescriptor())) != ::geteuid())
        return {Exchange::Foreign, {}};
    socket.write((word + '\n').c_str());
    socket.flush();
    const QDeadlineTimer deadline(kAnswerMs);
    constexpr auto kMax = static_cast<qsizetype>(kMaxCommandLine);
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() <= kMax) {
        if (socket.bytesAvailable() == 0 &&
            !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        answer += socket.readAll();
    }
    if (answer.contains('\n'))
        return {Exchange::Answered, answer.left(answer.indexOf('\n')).toStdString()};
    if (socket.state() != QLocalSocket::ConnectedState) return {Exchange::ClosedEarly, {}};
    return {Exchange::NoAnswer, {}};
}

QtMessageHandler qtMessages = nullptr;

// Qt's own warning that it found no runtime folder: the program has said why already.
void QuietAboutRuntimeFolder(QtMsgType type, const QMessageLogContext& context,
                             const QString& text) {
    if (text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
    if (qtMessages) qtMessages(type, context, text);
}

}  // namespace

// --- the running Wigwag's side ------------------------------------------------------------

InstanceServer::InstanceServer(std::function<void()> bringToFront, int listening, int folder,
                               std::string name)
    : CommandServer(std::move(bringToFront)),
      listening_(listening),
      folder_(folder),
      name_(std::move(name)),
      acceptor_(std::make_unique<QSocketNotifier>(listening_, QSocketNotifier::Read)) {
    QObject::connect(acceptor_.get(), &QSocketNotifier::activated, acceptor_.get(),
                     [this] { Accept(); });
}

InstanceServer::~InstanceServer() {
    Stop();
}

void InstanceServer::Accept() {
    for (;;) {
        const int fd = ::accept4(listening_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (PeerUser(fd) != ::geteuid()) {
            ::close(fd);
            continue;
        }
        const std::optional<std::uint64_t> connection = Opened();
        if (!connection) {
            // As many as are allowed wait for their answers: this one is refused.
            const char refused[] = "refused\n";
            [[maybe_unused]] const ssize_t n =
                ::send(fd, refused, sizeof refused - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            continue;
        }
        Connection& entry = connections_[*connection];
        entry.fd = fd;
        entry.readable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        const std::uint64_t id = *connection;
        QObject::connect(entry.readable.get(), &QSocketNotifier::activated, entry.readable.get(),
                         [this, id] { Read(id); });
        QTimer::singleShot(kLineMs, entry.readable.get(), [this, id] {
            if (!HasSentLine(id)) {
                Closed(id);
                Drop(id);
            }
        });
        Read(id);
    }
}

void InstanceServer::Read(std::uint64_t connection) {
    const auto found = connections_.find(connection);
    if (found == connections_.end()) return;
    Connection& entry = found->second;
    char buffer[kMaxCommandLine + 1];
    const ssize_t n = ::recv(entry.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {  // gone before its line ended
        Closed(connection);
        return Drop(connection);
    }
    entry.received.append(buffer, static_cast<std::size_t>(n));
    // Read no more once the line is whole: a writer that shuts its side after the line
    // still gets the answer.
    if (!Received(connection, entry.received)) {
        if (const auto still = connections_.find(connection); still != connections_.end())
            still->second.readable->setEnabled(false);
    }
}

void InstanceServer::Reply(std::uint64_t connection, std::string_view line) {
    const auto found = connections_.find(connection);
    if (found == connections_.end()) return;
    // A few bytes on a connection that has had none: the socket's buffer takes them at once.
    const std::string text = std::string(line) + "\n";
    [[maybe_unused]] const ssize_t sent =
        ::send(found->second.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    Drop(connection);
}

void InstanceServer::Drop(std::uint64_t connection) {
    const auto found = connections_.find(connection);
    if (found == connections_.end()) return;
    // Its notifier may be the one whose signal runs now: it goes once that returns.
    QSocketNotifier* readable = found->second.readable.release();
    readable->setEnabled(false);
    readable->deleteLater();
    ::close(found->second.fd);
    connections_.erase(found);
}

void InstanceServer::Stop() {
    acceptor_.reset();
    if (listening_ >= 0) {
        ::unlinkat(folder_, name_.c_str(), 0);
        ::close(listening_);
    }
    listening_ = -1;
    CommandServer::Stop();
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
    const Channel channel{"socket", " on display " + Printable(display.toStdString()),
                          "wigwag-" + key.value_or("") + ".lock in XDG_RUNTIME_DIR"};
    if (!command.empty()) {
        if (socketName_.empty()) return Tell(Unreachable(noSocket_));
        return Tell(CommandOutcome(Ask(runtime_.PathOf(socketName_), command), command, channel));
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
    QElapsedTimer clock;
    clock.start();
    const Said said =
        ClaimOrShow([this] { return ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0; },
                    [&path] { return Ask(path, "show"); }, channel,
                    [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
                    [&clock] { return static_cast<double>(clock.elapsed()); });
    if (said.status == kRuns) return std::nullopt;
    return Tell(said);
}

void Instance::Listen(QtHost& host) {
    const char* without = runtime_.IsOpen()
                              ? "wigwag: running without taking commands, and without telling "
                                "whether another Wigwag runs: "
                              : "wigwag: running without taking commands, without telling "
                                "whether another Wigwag runs, and without a note to give "
                                "auto-repeat back after a crash: ";
    if (socketName_.empty()) {
        Say(Stream::Err, without + noSocket_);
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
        Say(Stream::Err, without + ("cannot listen on " + socketName_ + " in XDG_RUNTIME_DIR: ") +
                             std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return;
    }
    server_ = std::make_unique<InstanceServer>([&host] { host.BringToFront(); }, fd, runtime_.Fd(),
                                               socketName_);
    host.SetCommandSource(server_.get());
}

}  // namespace wigwag::qt
