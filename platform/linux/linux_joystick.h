// Game controllers on Linux: the event nodes udev marks as joysticks (wheels, pedals,
// shifters, button boxes, pads, sticks), found and followed through libudev and read with
// libevdev, never grabbed, so the game reads the same controller. No threads and no
// polling: the owner watches the file descriptors this class names and calls Readable.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/game_controllers.h"

struct udev;
struct udev_device;
struct udev_monitor;

namespace wigwag {

class LinuxJoysticks final : public ButtonDevice {
  public:
    // The event loop's side: call Readable(fd) whenever a watched descriptor can be read.
    class Watcher {
      public:
        virtual void Watch(int fd) = 0;
        virtual void Unwatch(int fd) = 0;
        // Stops watching the descriptor for a while, then watches it again.
        virtual void Rest(int fd, int milliseconds) = 0;

      protected:
        ~Watcher() = default;
    };

    // Finds the controllers connected now and opens them. With a watcher it also follows
    // plugging; without one it only lists (wigwag --list-devices). A node that cannot be
    // opened is named once on standard error.
    explicit LinuxJoysticks(Watcher* watcher);
    ~LinuxJoysticks() override;
    LinuxJoysticks(const LinuxJoysticks&) = delete;
    LinuxJoysticks& operator=(const LinuxJoysticks&) = delete;

    void Readable(int fd);

    std::vector<GameButtonPress> TakePresses() override;
    std::vector<GameController> Controllers() override;

  private:
    struct Pad;

    void Add(udev_device* device);
    void Remove(const std::string& syspath);
    void ReadPad(Pad& pad);
    void OnMonitor();

    Watcher* watcher_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    std::vector<std::unique_ptr<Pad>> pads_;
    std::vector<GameButtonPress> presses_;
    std::set<std::string> warned_;  // nodes named on standard error already
    bool toldUnfiltered_ = false;   // that EVIOCSMASK failed
};

}  // namespace wigwag
