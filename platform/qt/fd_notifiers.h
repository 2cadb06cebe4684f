// Watches descriptors for a reader in Qt's event loop: one QSocketNotifier each, so the
// reader runs when there is something to read (and has not asked for a rest), never
// otherwise.
#pragma once

#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/linux/linux_joystick.h"

namespace wigwag::qt {

class FdNotifiers final : public LinuxJoysticks::Watcher {
  public:
    // `readable` gets the descriptor whose notifier fired.
    explicit FdNotifiers(std::function<void(int)> readable) : readable_(std::move(readable)) {}

    void Watch(int fd) override {
        Unwatch(fd);
        auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this, fd] {
            retired_.clear();  // none of them is firing now
            readable_(fd);
        });
        notifiers_[fd] = std::move(notifier);
    }

    void Rest(int fd, int milliseconds) override {
        const auto it = notifiers_.find(fd);
        if (it == notifiers_.end()) return;
        QSocketNotifier* notifier = it->second.get();
        notifier->setEnabled(false);
        // Tied to the notifier: gone with it when the descriptor is unwatched meanwhile.
        QTimer::singleShot(milliseconds, notifier, [notifier] { notifier->setEnabled(true); });
    }

    // The notifier may be the one firing right now: it is switched off here and deleted
    // at the next firing of another.
    void Unwatch(int fd) override {
        const auto it = notifiers_.find(fd);
        if (it == notifiers_.end()) return;
        it->second->setEnabled(false);
        retired_.push_back(std::move(it->second));
        notifiers_.erase(it);
    }

  private:
    std::function<void(int)> readable_;
    std::map<int, std::unique_ptr<QSocketNotifier>> notifiers_;
    std::vector<std::unique_ptr<QSocketNotifier>> retired_;
};

}  // namespace wigwag::qt
