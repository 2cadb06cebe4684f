#include "platform/qt/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QTimer>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/command_words.h"

namespace wigwag::qt {

namespace {

constexpr qsizetype kMaxLine = static_cast<qsizetype>(kMaxCommandLine);
// Connections open at once, and commands waiting for the next poll, beyond which more
// are refused.
constexpr std::size_t kMaxConnections = 16;
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

void Say(FILE* stream, const QString& text) {
    std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
}

// The display's part of the socket's name: ":0", ":0.0" and "unix:0" give "0"; a display
// on another host keeps the host's name.
QString DisplayPart(QString display) {
    const qsizetype colon = display.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QString() : display.left(colon);
    QString number = colon < 0 ? display : display.mid(colon + 1);
    if (const qsizetype dot = number.indexOf(QLatin1Char('.')); dot >= 0) number.truncate(dot);
    if (host == QLatin1String("unix")) host.clear();
    QString part = host.isEmpty() ? number : host + QLatin1Char('_') + number;
    for (QChar& c : part)
        if (!c.isLetterOrNumber() && c != QLatin1Char('.') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    return part.isEmpty() ? QStringLiteral("none") : part;
}

// Where the display's Wigwag listens; empty, with the reason in `why`, without a display
// or a private runtime folder.
QString SocketPath(QString& why) {
    const QString display = qEnvironmentVariable("DISPLAY");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (display.isEmpty()) {
        why = QStringLiteral("DISPLAY is not set");
        return {};
    }
    if (!runtime.startsWith(QLatin1Char('/'))) {
        why = QStringLiteral("XDG_RUNTIME_DIR is not set");
        return {};
    }
    return runtime + QStringLiteral("/wigwag-") + DisplayPart(display) + QStringLiteral(".sock");
}

struct Exchange {
    enum Outcome { NotRunning, NoAnswer, ClosedEarly, Answered } outcome;
    QByteArray answer;
};

// One line to the running Wigwag and its one-line answer, waiting at most `answerMs`.
// Blocking is fine here: this process has no window and no events of its own.
Exchange Ask(const QString& path, const QByteArray& word, int answerMs) {
    if (path.isEmpty()) return {Exchange::NotRunning, {}};
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(kConnectMs)) return {Exchange::NotRunning, {}};
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

QString NotRunningText(const QString& why) {
    if (!why.isEmpty()) return QStringLiteral("wigwag: no Wigwag can be reached: ") + why;
    return QStringLiteral("wigwag: Wigwag is not running on display ") +
           qEnvironmentVariable("DISPLAY");
}

int SendCommand(const QString& path, const QString& why, const char* word) {
    const Exchange exchange = Ask(path, word, kAnswerMs);
    switch (exchange.outcome) {
        case Exchange::NotRunning:
            Say(stderr, NotRunningText(why));
            return kNotRunning;
        case Exchange::ClosedEarly:
            Say(stderr, QStringLiteral("wigwag: Wigwag closed before it answered"));
            return kNotRunning;
        case Exchange::NoAnswer:
            Say(stderr, QStringLiteral("wigwag: the running Wigwag did not answer"));
            return kFailed;
        case Exchange::Answered:
            break;
    }
    if (exchange.answer == "refused") {
        Say(stderr, QStringLiteral("wigwag: the running Wigwag refused --") + QLatin1String(word));
        return kFailed;
    }
    std::printf("%s\n", exchange.answer.constData());
    return 0;
}

void SleepMs(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace

// --- the running Wigwag's side ------------------------------------------------------------

InstanceServer::InstanceServer(std::function<void()> bringToFront)
    : bringToFront_(std::move(bringToFront)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this] { Accept(); });
}

InstanceServer::~InstanceServer() {
    Stop();
}

bool InstanceServer::Listen(const QString& path, QString& error) {
    // A socket file that nobody listens on is a killed Wigwag's.
    QLocalServer::removeServer(path);
    if (!server_.listen(path)) {
        error = server_.errorString();
        return false;
    }
    // Read and write for the user alone (Qt leaves it rwx for the user).
    if (::chmod(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR) != 0) {
        error = QStringLiteral("cannot set the mode of ") + path;
        server_.close();
        return false;
    }
    return true;
}

void InstanceServer::Accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        if (connections_.size() >= kMaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connections_[socket] = {};
        // Qt must not buffer more than a line for us, whatever the other side sends.
        socket->setReadBufferSize(kMaxLine + 1);
        QObject::connect(socket, &QLocalSocket::readyRead, socket,
                         [this, socket] { Read(socket); });
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QObject::destroyed, &server_, [this, socket] {
            connections_.erase(socket);
            std::erase_if(askers_, [socket](const auto& asker) { return asker.second == socket; });
        });
        QTimer::singleShot(kLineMs, socket, [this, socket] {
            const auto connection = connections_.find(socket);
            if (connection != connections_.end() && !connection->second.read) socket->abort();
        });
        Read(socket);
    }
}

void InstanceServer::Read(QLocalSocket* socket) {
    const auto found = connections_.find(socket);
    if (found == connections_.end() || found->second.read) return;
    Connection& connection = found->second;
    connection.line += socket->read(kMaxLine + 1 - connection.line.size());
    const qsizetype end = connection.line.indexOf('\n');
    if (end < 0) {
        if (connection.line.size() > kMaxLine) {
            connection.read = true;
            Reply(socket, "refused");
        }
        return;
    }
    connection.read = true;
    bool known = false;
    // One line and nothing after it.
    const std::optional<Command> command = end + 1 == connection.line.size()
                                               ? CommandOf(connection.line.left(end), known)
                                               : std::nullopt;
    if (!known || (command && waiting_.size() >= kMaxWaiting)) return Reply(socket, "refused");
    if (!command) {
        bringToFront_();
        return Reply(socket, "ok");
    }
    waiting_.push_back({*command, ++lastId_});
    askers_[lastId_] = socket;
}

void InstanceServer::Reply(QLocalSocket* socket, std::string_view answer) {
    QByteArray line(answer.data(), static_cast<qsizetype>(answer.size()));
    socket->write(line + '\n');
    socket->disconnectFromServer();
}

std::optional<CommandRequest> InstanceServer::Take() {
    if (waiting_.empty()) return std::nullopt;
    const CommandRequest request = waiting_.front();
    waiting_.pop_front();
    return request;
}

void InstanceServer::Answer(std::uint64_t id, std::string_view answer) {
    const auto asker = askers_.find(id);
    if (asker == askers_.end()) return;  // it hung up before the answer
    QLocalSocket* socket = asker->second;
    askers_.erase(asker);
    Reply(socket, answer);
}

void InstanceServer::Stop() {
    server_.close();
    waiting_.clear();
    askers_.clear();
    std::vector<QLocalSocket*> open;
    for (const auto& connection : connections_) open.push_back(connection.first);
    connections_.clear();
    for (QLocalSocket* socket : open) {
        QObject::disconnect(socket, nullptr, &server_, nullptr);
        socket->abort();
        socket->deleteLater();
    }
}

// --- a start of the program -----------------------------------------------------------------

Instance::~Instance() {
    server_.reset();
    if (lockFd_ >= 0) ::close(lockFd_);
}

std::optional<int> Instance::Claim(const std::string& command) {
    socketPath_ = SocketPath(noSocket_);
    if (!command.empty()) {
        if (const CommandWord* word = CommandWordOf(command); word && word->command)
            return SendCommand(socketPath_, noSocket_, word->text);
        return kFailed;  // the options allow no other
    }
    // Without a display the program cannot run; it says so once it tries to open one.
    if (socketPath_.isEmpty()) return std::nullopt;
    // Held for the process's life: whoever holds it is the display's Wigwag, even before
    // it listens, so two starts at once cannot both listen.
    const QString lockPath = socketPath_.chopped(5) + QStringLiteral(".lock");
    lockFd_ = ::open(QFile::encodeName(lockPath).constData(),
                     O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (lockFd_ < 0) {
        noSocket_ = QStringLiteral("cannot open ") + lockPath;
        socketPath_.clear();
        return std::nullopt;
    }
    const QDeadlineTimer deadline(kClaimMs);
    for (;;) {
        const Exchange exchange = Ask(socketPath_, "show", kAnswerMs);
        if (exchange.outcome == Exchange::Answered && exchange.answer == "ok") {
            Say(stdout,
                QStringLiteral("Wigwag is already running: its window is brought to the front."));
            return 0;
        }
        if (exchange.outcome == Exchange::Answered) {
            Say(stderr, QStringLiteral("wigwag: the running Wigwag refused to come forward"));
            return kFailed;
        }
        if (exchange.outcome == Exchange::NoAnswer) {
            Say(stderr, QStringLiteral("wigwag: the running Wigwag did not answer"));
            return kFailed;
        }
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) return std::nullopt;
        if (deadline.hasExpired()) {
            Say(stderr, QStringLiteral("wigwag: another Wigwag holds ") + lockPath +
                            QStringLiteral(" but does not answer"));
            return kFailed;
        }
        SleepMs(kRetryMs);
    }
}

void Instance::Listen(QtHost& host) {
    if (socketPath_.isEmpty()) {
        Say(stderr, QStringLiteral("wigwag: running without taking commands, and without "
                                   "telling whether another Wigwag runs: ") +
                        noSocket_);
        return;
    }
    server_ = std::make_unique<InstanceServer>([&host] { host.BringToFront(); });
    QString error;
    if (!server_->Listen(socketPath_, error)) {
        Say(stderr, QStringLiteral("wigwag: running without taking commands: ") + error);
        server_.reset();
        return;
    }
    host.SetCommandSource(server_.get());
}

}  // namespace wigwag::qt
