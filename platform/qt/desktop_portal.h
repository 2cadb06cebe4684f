// The desktop's portals (xdg-desktop-portal) on the session bus, through Qt's D-Bus module:
// the RemoteDesktop portal as a way out for keys where the compositor offers no virtual
// keyboard (GNOME, KDE Plasma), and the GlobalShortcuts portal for the start/stop key.
#pragma once

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/key_output.h"
#include "platform/linux/linux_keyboard.h"

class QDBusMessage;
class QSocketNotifier;

namespace wigwag {

// The RemoteDesktop portal's restore token lives in a private file of its own,
// ${XDG_STATE_HOME:-~/.local/state}/wigwag/remote-desktop-token, never in wigwag.cfg.
std::string RestoreTokenPath();
// The token kept there; empty when there is none.
std::string ReadRestoreToken(const std::string& path);
// Keeps the token, replacing the old one in one step (the folder made private if missing).
bool WriteRestoreToken(const std::string& path, const std::string& token);

class PortalKeyboard final : public QObject, public KeyOutput {
    Q_OBJECT

  public:
    // Asks the portal for a keyboard (from interface version 2 on, with the kept restore
    // token, so that the player consents once) and waits in a local event loop until the
    // desktop answers or `stop` becomes readable; nullptr with one line in `why` when the
    // desktop has no such portal, the player refuses or the request fails.
    static std::unique_ptr<PortalKeyboard> Open(QSocketNotifier& stop, std::string& why);
    ~PortalKeyboard() override;  // ends the session: the desktop lets go of its keys

    std::string Name() const override;
    bool Send(unsigned code, bool up) override;
    std::string Lost() const override { return lost_; }

  private slots:
    void OnClosed();
    void OnPortalGone();

  private:
    PortalKeyboard() = default;
    void SendFirst();

    QDBusObjectPath session_;
    unsigned version_ = 0;
    std::string lost_;
    // The portal may handle calls side by side, and so pass two keys on in either order: a
    // key goes out once the portal has answered for the one before it.
    std::deque<QDBusMessage> waiting_;
    QDBusPendingCallWatcher* sending_ = nullptr;
};

class PortalShortcut final : public QObject, public StartShortcut {
    Q_OBJECT

  public:
    // nullptr when the desktop offers no GlobalShortcuts portal.
    static std::unique_ptr<PortalShortcut> Open();
    ~PortalShortcut() override;

    void Follow(std::uint8_t vk) override;
    KeyPoll Take() override;
    void OwnPress(unsigned code) override;

  private slots:
    void OnResponse(uint response, const QVariantMap& results, const QDBusMessage& message);
    void OnActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                     const QVariantMap& options);
    void OnDeactivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                       const QVariantMap& options);

  private:
    PortalShortcut() = default;
    void Ask(const QString& method, QVariantList arguments, QVariantMap options);
    void CloseSession();
    void Fail(const std::string& why);

    int vk_ = -1;              // the key the shortcut follows; -1: none yet
    unsigned code_ = 0;        // its KEY_* code
    QString request_;          // the request awaiting its response
    QDBusObjectPath session_;  // empty until made
    bool bound_ = false;
    bool failed_ = false;             // said once; the X poll stays the only way in
    bool active_ = false;             // activated and not yet deactivated
    bool ownActive_ = false;          // the same, for an activation of the program's own key
    unsigned activations_ = 0;        // the player's, since the last Take()
    std::vector<double> ownPresses_;  // when own key-downs of the key were sent
};

}  // namespace wigwag
