#include "platform/qt/desktop_portal.h"

#include <sys/stat.h>
#include <time.h>
#include <xkbcommon/xkbcommon.h>

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEventLoop>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/linux/evdev_keys.h"
#include "platform/printable.h"
#include "platform/say.h"
#include "platform/text_file.h"
#include "platform/x11/keysyms.h"

namespace wigwag {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString kGlobalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
const QString kShortcutId = QStringLiteral("start-stop");

// The portal's device types and persistence modes.
constexpr uint kKeyboard = 1;
constexpr uint kPersistUntilRevoked = 2;
// An answer that never came: the call failed, the portal went away, or a signal came.
constexpr uint kNoAnswer = 99;
// How long a key the program sent may take to come back as the shortcut's activation.
constexpr double kOwnPressWindow = 0.25;
// A portal that does not answer for a key in this time has stopped passing keys on.
constexpr int kKeyAnswerMs = 2000;

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

QDBusConnection Bus() {
    return QDBusConnection::sessionBus();
}

// A token for a request's or session's object path, new in this process.
QString NextToken() {
    static unsigned count = 0;
    return QStringLiteral("wigwag%1").arg(++count);
}

// Where the portal will put the Request object of a call made with this handle_token.
QString RequestPath(const QString& token) {
    QString sender = Bus().baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

// A property of one of the portal's interfaces; nothing when it cannot be read (no portal,
// or no such interface).
std::optional<uint> PortalProperty(const QString& interface, const QString& name,
                                   QString* error = nullptr) {
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << interface << name;
    const QDBusMessage reply = Bus().call(get, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        if (error) *error = reply.errorName();
        return std::nullopt;
    }
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toUInt();
}

std::string ResponseWhy(uint response, const QString& error) {
    switch (response) {
        case 0:
            return {};
        case 1:
            return "the player did not allow it";
        case kNoAnswer:
            return error.isEmpty() ? std::string("it gave no answer")
                                   : "it gave no answer (" + Printable(error.toStdString()) + ")";
        default:
            return "it failed";
    }
}

// Awaits the Response of one portal request in a local event loop.
class Awaited final : public QObject {
    Q_OBJECT

  public:
    uint response = kNoAnswer;
    QVariantMap results;
    QString error;
    QEventLoop loop;

  public slots:
    void OnResponse(uint code, const QVariantMap& values) {
        response = code;
        results = values;
        loop.quit();
    }
};

struct Answer {
    uint response = kNoAnswer;
    QVariantMap results;
    QString error;
};

// Calls a method of the portal that answers through a Request and waits for the answer,
// or until `stop` becomes readable or the portal leaves the bus.
Answer Ask(QSocketNotifier& stop, const QString& interface, const QString& method,
           QVariantList arguments, QVariantMap options) {
    const QString token = NextToken();
    options.insert(QStringLiteral("handle_token"), token);
    arguments << options;
    Awaited awaited;
    QDBusConnection bus = Bus();
    // Listening before the call, so that a quick answer is not missed.
    bus.connect(kService, RequestPath(token), kRequest, QStringLiteral("Response"), &awaited,
                SLOT(OnResponse(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, interface, method);
    call.setArguments(arguments);
    QDBusPendingCallWatcher watcher(bus.asyncCall(call));
    QString handle = RequestPath(token);
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &awaited, [&] {
        if (watcher.isError()) {
            awaited.error = watcher.error().name();
            awaited.loop.quit();
            return;
        }
        // A portal older than handle_token says where its answer comes instead.
        const QDBusPendingReply<QDBusObjectPath> reply = watcher;
        if (reply.value().path() != handle) {
            handle = reply.value().path();
            bus.connect(kService, handle, kRequest, QStringLiteral("Response"), &awaited,
                        SLOT(OnResponse(uint, QVariantMap)));
        }
    });
    QDBusServiceWatcher gone(kService, bus, QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&gone, &QDBusServiceWatcher::serviceUnregistered, &awaited.loop,
                     &QEventLoop::quit);
    const QMetaObject::Connection stopped =
        QObject::connect(&stop, &QSocketNotifier::activated, &awaited.loop, &QEventLoop::quit);
    awaited.loop.exec();
    QObject::disconnect(stopped);
    for (const QString& path : {RequestPath(token), handle})
        bus.disconnect(kService, path, kRequest, QStringLiteral("Response"), &awaited,
                       SLOT(OnResponse(uint, QVariantMap)));
    return {awaited.response, awaited.results, awaited.error};
}

// The shortcut's preferred trigger: the key's keysym name ("Delete", "g", "KP_Add").
QString TriggerName(std::uint8_t vk) {
    char name[64] = {};
    if (xkb_keysym_get_name(static_cast<xkb_keysym_t>(KeysymForVk(vk)), name, sizeof name) <= 0)
        return {};
    return QString::fromLatin1(name);
}

}  // namespace

std::string RestoreTokenPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string folder;
    if (state && *state == '/') {
        folder = state;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) return {};
        folder = std::string(home) + "/.local/state";
    }
    return folder + "/wigwag/remote-desktop-token";
}

std::string ReadRestoreToken(const std::string& path) {
    if (path.empty()) return {};
    const FileRead read = ReadWholeFile(path, 4096);
    if (!read.opened || read.failed) return {};
    std::string token = read.bytes;
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
    return token;
}

bool WriteRestoreToken(const std::string& path, const std::string& token) {
    if (path.empty()) return false;
    // Each missing folder on the way is made private, as the base directory rules ask.
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    if (!ReplaceWholeFile(path, token + "\n").ok) return false;
    return ::chmod(path.c_str(), 0600) == 0;
}

std::unique_ptr<PortalKeyboard> PortalKeyboard::Open(QSocketNotifier& stop, std::string& why) {
    if (!Bus().isConnected()) {
        why = "no D-Bus session bus for the desktop's portal";
        return nullptr;
    }
    QString error;
    const std::optional<uint> version =
        PortalProperty(kRemoteDesktop, QStringLiteral("version"), &error);
    const std::optional<uint> types =
        PortalProperty(kRemoteDesktop, QStringLiteral("AvailableDeviceTypes"));
    if (!version || !types) {
        why = "the desktop offers no remote-desktop portal";
        if (!error.isEmpty()) why += " (" + Printable(error.toStdString()) + ")";
        return nullptr;
    }
    if (!(*types & kKeyboard)) {
        why = "the desktop's remote-desktop portal offers no keyboard";
        return nullptr;
    }
    const auto refused = [&why](const char* step, const Answer& answer) {
        why = std::string("the desktop's remote-desktop portal ") + step + ": " +
              ResponseWhy(answer.response, answer.error);
    };
    QVariantMap options{{QStringLiteral("session_handle_token"), NextToken()}};
    Answer answer = Ask(stop, kRemoteDesktop, QStringLiteral("CreateSession"), {}, options);
    if (answer.response != 0) {
        refused("made no session", answer);
        return nullptr;
    }
    std::unique_ptr<PortalKeyboard> keyboard(new PortalKeyboard());
    keyboard->version_ = *version;
    keyboard->session_ =
        QDBusObjectPath(answer.results.value(QStringLiteral("session_handle")).toString());
    const QVariant session = QVariant::fromValue(keyboard->session_);

    options = {{QStringLiteral("types"), kKeyboard}};
    const std::string tokenPath = RestoreTokenPath();
    if (*version >= 2) {
        // Remembered until the player takes it back; the token says which consent.
        options.insert(QStringLiteral("persist_mode"), kPersistUntilRevoked);
        const std::string token = ReadRestoreToken(tokenPath);
        if (!token.empty())
            options.insert(QStringLiteral("restore_token"), QString::fromStdString(token));
    }
    answer = Ask(stop, kRemoteDesktop, QStringLiteral("SelectDevices"), {session}, options);
    if (answer.response != 0) {
        refused("refused the keyboard", answer);
        return nullptr;
    }
    answer = Ask(stop, kRemoteDesktop, QStringLiteral("Start"), {session, QString()}, {});
    if (answer.response != 0) {
        refused("was not started", answer);
        return nullptr;
    }
    if (!(answer.results.value(QStringLiteral("devices")).toUInt() & kKeyboard)) {
        why = "the desktop's remote-desktop portal gave no keyboard";
        return nullptr;
    }
    // A token is good for one start: the new one replaces it every time.
    const QString token = answer.results.value(QStringLiteral("restore_token")).toString();
    if (*version >= 2 && !token.isEmpty() && !WriteRestoreToken(tokenPath, token.toStdString()))
        Say(Stream::Err, "wigwag: cannot keep the portal's consent in " + Printable(tokenPath));

    QDBusConnection bus = Bus();
    bus.connect(kService, keyboard->session_.path(), kSession, QStringLiteral("Closed"),
                keyboard.get(), SLOT(OnClosed()));
    auto* gone = new QDBusServiceWatcher(kService, bus, QDBusServiceWatcher::WatchForUnregistration,
                                         keyboard.get());
    connect(gone, &QDBusServiceWatcher::serviceUnregistered, keyboard.get(),
            &PortalKeyboard::OnPortalGone);
    // A session's first key is lost, or folded into the focus's arrival, while the
    // desktop makes its keyboard: a key of no meaning goes first (the keymap's fake
    // Hyper_L, a key no keyboard sends).
    keyboard->Send(199, false);
    keyboard->Send(199, true);
    return keyboard;
}

PortalKeyboard::~PortalKeyboard() {
    // The keys still waiting go out first, in order: each answer sends the next.
    while (sending_) {
        QDBusPendingCallWatcher* call = sending_;
        call->waitForFinished();
        if (sending_ == call) break;
    }
    if (!lost_.empty()) return;  // the portal ends a gone program's session itself
    Bus().call(QDBusMessage::createMethodCall(kService, session_.path(), kSession,
                                              QStringLiteral("Close")),
               QDBus::Block, 2000);
}

std::string PortalKeyboard::Name() const {
    std::string name =
        "the desktop's remote-desktop portal (version " + std::to_string(version_) + ")";
    if (version_ < 2) name += ", which asks for consent at every start";
    return name;
}

bool PortalKeyboard::Send(unsigned code, bool up) {
    if (!lost_.empty()) return false;
    QDBusMessage notify = QDBusMessage::createMethodCall(kService, kPath, kRemoteDesktop,
                                                         QStringLiteral("NotifyKeyboardKeycode"));
    notify << QVariant::fromValue(session_) << QVariantMap() << static_cast<int>(code)
           << static_cast<uint>(up ? 0 : 1);
    if (!Bus().isConnected()) {
        lost_ = "the session bus is gone";
        return false;
    }
    waiting_.push_back(notify);
    if (!sending_) SendFirst();
    return true;
}

void PortalKeyboard::SendFirst() {
    sending_ = new QDBusPendingCallWatcher(Bus().asyncCall(waiting_.front(), kKeyAnswerMs), this);
    connect(sending_, &QDBusPendingCallWatcher::finished, this, [this] {
        const QDBusError::ErrorType error = sending_->error().type();
        sending_->deleteLater();
        sending_ = nullptr;
        waiting_.pop_front();
        if (lost_.empty() && (error == QDBusError::NoReply || error == QDBusError::Timeout ||
                              error == QDBusError::TimedOut || error == QDBusError::Disconnected))
            lost_ = "the desktop's portal did not answer for a key in time";
        if (!waiting_.empty() && lost_.empty()) SendFirst();
    });
}

void PortalKeyboard::OnClosed() {
    if (lost_.empty()) lost_ = "the desktop closed the remote-desktop session";
}

void PortalKeyboard::OnPortalGone() {
    if (lost_.empty()) lost_ = "the desktop's portal went away";
}

std::unique_ptr<PortalShortcut> PortalShortcut::Open() {
    if (!Bus().isConnected() || !PortalProperty(kGlobalShortcuts, QStringLiteral("version")))
        return nullptr;
    qDBusRegisterMetaType<QPair<QString, QVariantMap>>();
    qDBusRegisterMetaType<QList<QPair<QString, QVariantMap>>>();
    std::unique_ptr<PortalShortcut> shortcut(new PortalShortcut());
    QDBusConnection bus = Bus();
    bus.connect(kService, kPath, kGlobalShortcuts, QStringLiteral("Activated"), shortcut.get(),
                SLOT(OnActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    bus.connect(kService, kPath, kGlobalShortcuts, QStringLiteral("Deactivated"), shortcut.get(),
                SLOT(OnDeactivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    return shortcut;
}

PortalShortcut::~PortalShortcut() {
    CloseSession();
}

void PortalShortcut::Follow(std::uint8_t vk) {
    if (vk == vk_ || failed_) return;
    // A session binds its shortcuts once: another key takes a new session.
    CloseSession();
    vk_ = vk;
    code_ = EvdevCodeForVk(vk);
    Ask(QStringLiteral("CreateSession"), {},
        {{QStringLiteral("session_handle_token"), NextToken()}});
}

void PortalShortcut::Ask(const QString& method, QVariantList arguments, QVariantMap options) {
    const QString token = NextToken();
    options.insert(QStringLiteral("handle_token"), token);
    arguments << options;
    request_ = RequestPath(token);
    QDBusConnection bus = Bus();
    bus.connect(kService, request_, kRequest, QStringLiteral("Response"), this,
                SLOT(OnResponse(uint, QVariantMap, QDBusMessage)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kGlobalShortcuts, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, method] {
        watcher->deleteLater();
        if (watcher->isError())
            Fail("the desktop's shortcut portal refused " + method.toStdString() + " (" +
                 Printable(watcher->error().name().toStdString()) + ")");
    });
}

void PortalShortcut::OnResponse(uint response, const QVariantMap& results,
                                const QDBusMessage& message) {
    Bus().disconnect(kService, message.path(), kRequest, QStringLiteral("Response"), this,
                     SLOT(OnResponse(uint, QVariantMap, QDBusMessage)));
    if (message.path() != request_) return;  // a key chosen since has its own request
    request_.clear();
    if (response != 0) {
        Fail("the desktop's global shortcut for the start/stop key was not made: " +
             ResponseWhy(response, {}));
        return;
    }
    if (session_.path().isEmpty()) {
        session_ = QDBusObjectPath(results.value(QStringLiteral("session_handle")).toString());
        const QVariantMap shortcut{
            {QStringLiteral("description"), QStringLiteral("Start/stop")},
            {QStringLiteral("preferred_trigger"), TriggerName(static_cast<std::uint8_t>(vk_))}};
        QList<QPair<QString, QVariantMap>> shortcuts{{kShortcutId, shortcut}};
        Ask(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(session_), QVariant::fromValue(shortcuts), QString()}, {});
    } else {
        bound_ = true;
    }
}

void PortalShortcut::OnActivated(const QDBusObjectPath& session, const QString& id, qulonglong,
                                 const QVariantMap&) {
    if (!bound_ || session != session_ || id != kShortcutId) return;
    const double now = Now();
    std::erase_if(ownPresses_, [now](double sent) { return now - sent > kOwnPressWindow; });
    if (!ownPresses_.empty()) {
        // The program's own key-down of the key came back as the shortcut.
        ownPresses_.erase(ownPresses_.begin());
        ownActive_ = true;
        return;
    }
    if (!active_) ++activations_;  // a hold, repeated, is one press
    active_ = true;
}

void PortalShortcut::OnDeactivated(const QDBusObjectPath& session, const QString& id, qulonglong,
                                   const QVariantMap&) {
    if (session != session_ || id != kShortcutId) return;
    if (ownActive_)
        ownActive_ = false;
    else
        active_ = false;
}

KeyPoll PortalShortcut::Take() {
    KeyPoll poll{active_, activations_ > 0};
    activations_ = 0;
    return poll;
}

void PortalShortcut::OwnPress(unsigned code) {
    if (bound_ && code == code_) ownPresses_.push_back(Now());
}

void PortalShortcut::CloseSession() {
    if (!session_.path().isEmpty())
        Bus().send(QDBusMessage::createMethodCall(kService, session_.path(), kSession,
                                                  QStringLiteral("Close")));
    session_ = QDBusObjectPath();
    request_.clear();
    bound_ = active_ = ownActive_ = false;
    activations_ = 0;
    ownPresses_.clear();
}

void PortalShortcut::Fail(const std::string& why) {
    if (failed_) return;
    failed_ = true;
    Say(Stream::Err, "wigwag: " + why + "; the start/stop key works in X windows only");
    CloseSession();
}

}  // namespace wigwag

#include "desktop_portal.moc"
