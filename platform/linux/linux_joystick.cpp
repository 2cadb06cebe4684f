#include "platform/linux/linux_joystick.h"

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <libudev.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/say.h"

namespace wigwag {

struct LinuxJoysticks::Pad {
    std::string syspath;
    GameController info;
    int fd = -1;
    libevdev* dev = nullptr;
    std::vector<std::uint16_t> numbers;  // by key code: the button's number, 0 for none
    bool syncing = false;                // reading the state after dropped events
    bool filtered = false;               // the kernel passes button events only

    ~Pad() {
        if (dev) libevdev_free(dev);
        if (fd >= 0) ::close(fd);
    }
};

namespace {

// Without the kernel's filter (before Linux 4.4), a wheel's axes would wake us a thousand
// times a second: a controller read without it rests this long after each read, which
// keeps the stream's cost under half a CPU second a minute. Its events wait in the
// kernel's buffer meanwhile; should that overflow, the buttons still held are caught up
// with as after any SYN_DROPPED. A press reaches the program's poll (every 100 ms) at
// most this much later.
constexpr int kUnfilteredRestMs = 60;

std::string Text(const char* s) {
    return s ? s : "";
}

std::uint16_t Hex(const char* s) {
    return s ? static_cast<std::uint16_t>(std::strtoul(s, nullptr, 16)) : 0;
}

// The node's number, for listing the controllers in the kernel's order.
int NodeNumber(const std::string& node) {
    const std::size_t digits = node.find_last_not_of("0123456789") + 1;
    return digits < node.size() ? std::atoi(node.c_str() + digits) : INT_MAX;
}

// What udev tells about a controller without opening it: the USB ids and the input
// device's name.
void DescribeFromUdev(udev_device* device, GameController& info) {
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device")) {
        info.vendor = Hex(udev_device_get_sysattr_value(usb, "idVendor"));
        info.product = Hex(udev_device_get_sysattr_value(usb, "idProduct"));
    } else {
        info.vendor = Hex(udev_device_get_property_value(device, "ID_VENDOR_ID"));
        info.product = Hex(udev_device_get_property_value(device, "ID_MODEL_ID"));
    }
    if (udev_device* input =
            udev_device_get_parent_with_subsystem_devtype(device, "input", nullptr))
        info.name = Text(udev_device_get_sysattr_value(input, "name"));
}

// Asks the kernel to pass this descriptor button events only (and the reports that end
// them), so that a wheel's axes, streaming a thousand reports a second, never wake us.
bool AskForButtonsOnly(int fd) {
    unsigned long types[(EV_CNT + LONG_BIT - 1) / LONG_BIT] = {};
    types[EV_KEY / LONG_BIT] |= 1UL << (EV_KEY % LONG_BIT);
    input_mask mask{};
    mask.type = 0;  // the mask of event types
    mask.codes_size = sizeof types;
    mask.codes_ptr = reinterpret_cast<std::uintptr_t>(types);
    return ::ioctl(fd, EVIOCSMASK, &mask) == 0;
}

bool IsJoystickNode(udev_device* device) {
    const char* joystick = udev_device_get_property_value(device, "ID_INPUT_JOYSTICK");
    const char* node = udev_device_get_devnode(device);
    return joystick && std::strcmp(joystick, "1") == 0 && node &&
           std::strncmp(udev_device_get_sysname(device), "event", 5) == 0;
}

}  // namespace

LinuxJoysticks::LinuxJoysticks(Watcher* watcher) : watcher_(watcher), udev_(udev_new()) {
    if (!udev_) return;
    // Following first, then finding: a controller plugged in between is seen either way.
    if (watcher_) {
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ &&
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "input", nullptr) == 0 &&
            udev_monitor_enable_receiving(monitor_) == 0) {
            watcher_->Watch(udev_monitor_get_fd(monitor_));
        } else if (monitor_) {
            monitor_ = udev_monitor_unref(monitor_);
        }
    }
    udev_enumerate* found = udev_enumerate_new(udev_);
    if (!found) return;
    udev_enumerate_add_match_subsystem(found, "input");
    udev_enumerate_add_match_property(found, "ID_INPUT_JOYSTICK", "1");
    udev_enumerate_scan_devices(found);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(found)) {
        if (udev_device* device =
                udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry))) {
            Add(device);
            udev_device_unref(device);
        }
    }
    udev_enumerate_unref(found);
}

LinuxJoysticks::~LinuxJoysticks() {
    for (const auto& pad : pads_)
        if (watcher_ && pad->fd >= 0) watcher_->Unwatch(pad->fd);
    pads_.clear();
    if (monitor_) {
        if (watcher_) watcher_->Unwatch(udev_monitor_get_fd(monitor_));
        udev_monitor_unref(monitor_);
    }
    if (udev_) udev_unref(udev_);
}

void LinuxJoysticks::Add(udev_device* device) {
    if (!IsJoystickNode(device)) return;
    const std::string syspath = udev_device_get_syspath(device);
    for (const auto& known : pads_)
        if (known->syspath == syspath) return;

    auto pad = std::make_unique<Pad>();
    pad->syspath = syspath;
    pad->info.where = udev_device_get_devnode(device);
    DescribeFromUdev(device, pad->info);

    // Read only, never grabbed: the game reads the same controller.
    pad->fd = ::open(pad->info.where.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int error = pad->fd < 0 ? errno : 0;
    if (!error) {
        const int rc = libevdev_new_from_fd(pad->fd, &pad->dev);
        if (rc < 0) {
            error = -rc;
            pad->dev = nullptr;
        }
    }
    // Gone again between finding and opening.
    if (error == ENOENT || error == ENODEV) return;
    if (error) {
        pad->info.problem = std::strerror(error);
        if (warned_.insert(pad->info.where).second) {
            const std::string name = PrintableName(pad->info.name);
            Say(Stream::Err, "wigwag: cannot read " + pad->info.where + " (" + name +
                                 "): " + pad->info.problem +
                                 (error == EACCES || error == EPERM
                                      ? "; the desktop normally gives game controllers to the "
                                        "user logged in at the seat"
                                      : ""));
        }
        pads_.push_back(std::move(pad));
        return;
    }

    pad->info.readable = true;
    pad->info.vendor = static_cast<std::uint16_t>(libevdev_get_id_vendor(pad->dev));
    pad->info.product = static_cast<std::uint16_t>(libevdev_get_id_product(pad->dev));
    pad->info.name = Text(libevdev_get_name(pad->dev));
    // Buttons are numbered in the order of their codes, from BTN_MISC up.
    pad->numbers.assign(KEY_CNT, 0);
    for (unsigned code = BTN_MISC; code < KEY_CNT; ++code)
        if (libevdev_has_event_code(pad->dev, EV_KEY, code))
            pad->numbers[code] = static_cast<std::uint16_t>(++pad->info.buttons);

    if (pad->info.buttons == 0 || !watcher_) {
        // Nothing to read: listed, not kept open.
        libevdev_free(pad->dev);
        pad->dev = nullptr;
        ::close(pad->fd);
        pad->fd = -1;
    } else {
        pad->filtered = AskForButtonsOnly(pad->fd);
        // Said once: on such a kernel it holds for every controller.
        if (!pad->filtered && !toldUnfiltered_) {
            toldUnfiltered_ = true;
            Say(Stream::Err, std::string("wigwag: the kernel does not filter the game "
                                         "controllers' events for Wigwag (") +
                                 std::strerror(errno) + "); it reads them all");
        }
        watcher_->Watch(pad->fd);
    }
    pads_.push_back(std::move(pad));
}

void LinuxJoysticks::Remove(const std::string& syspath) {
    const auto it = std::find_if(pads_.begin(), pads_.end(),
                                 [&](const auto& pad) { return pad->syspath == syspath; });
    if (it == pads_.end()) return;
    if ((*it)->fd >= 0 && watcher_) watcher_->Unwatch((*it)->fd);
    pads_.erase(it);
}

void LinuxJoysticks::Readable(int fd) {
    if (monitor_ && fd == udev_monitor_get_fd(monitor_)) {
        OnMonitor();
        return;
    }
    for (const auto& pad : pads_)
        if (pad->fd == fd) return ReadPad(*pad);
}

void LinuxJoysticks::OnMonitor() {
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(device);
        if (action && std::strcmp(action, "add") == 0) {
            Add(device);
        } else if (action && std::strcmp(action, "remove") == 0) {
            Remove(udev_device_get_syspath(device));
        } else if (action && std::strcmp(action, "change") == 0) {
            // Perhaps readable now (a seat's access given to the user): tried again.
            const std::string syspath = udev_device_get_syspath(device);
            for (const auto& pad : pads_)
                if (pad->syspath == syspath && !pad->info.readable) {
                    Remove(syspath);
                    Add(device);
                    break;
                }
        }
        udev_device_unref(device);
    }
}

void LinuxJoysticks::ReadPad(Pad& pad) {
    bool readSomething = false;
    bool gone = false;
    for (;;) {
        input_event ev{};
        const int rc = libevdev_next_event(
            pad.dev, pad.syncing ? LIBEVDEV_READ_FLAG_SYNC : LIBEVDEV_READ_FLAG_NORMAL, &ev);
        if (rc == -EAGAIN) {
            if (!pad.syncing) break;
            pad.syncing = false;  // the state is read again; on with the events
            continue;
        }
        if (rc < 0) {
            gone = true;  // ENODEV: unplugged
            break;
        }
        readSomething = true;
        if (rc == LIBEVDEV_READ_STATUS_SYNC && !pad.syncing) {
            // SYN_DROPPED: the kernel's buffer overflowed. libevdev compares the buttons'
            // state with what it saw last and gives the differences: a button pressed
            // in the gap comes as a press, one released as a release.
            pad.syncing = true;
            continue;
        }
        if (ev.type == EV_KEY && ev.value == 1 && ev.code < pad.numbers.size() &&
            pad.numbers[ev.code])
            presses_.push_back(
                {{pad.info.vendor, pad.info.product, pad.numbers[ev.code]}, pad.info.name});
    }
    // Readable but nothing to read: the end of the file, the node is gone.
    if (gone || !readSomething)
        Remove(pad.syspath);
    else if (!pad.filtered)
        watcher_->Rest(pad.fd, kUnfilteredRestMs);
}

std::vector<GameButtonPress> LinuxJoysticks::TakePresses() {
    return std::exchange(presses_, {});
}

std::vector<GameController> LinuxJoysticks::Controllers() {
    std::vector<const Pad*> sorted;
    for (const auto& pad : pads_) sorted.push_back(pad.get());
    std::stable_sort(sorted.begin(), sorted.end(), [](const Pad* a, const Pad* b) {
        return NodeNumber(a->info.where) < NodeNumber(b->info.where);
    });
    std::vector<GameController> out;
    for (const Pad* pad : sorted) out.push_back(pad->info);
    return out;
}

}  // namespace wigwag
