#include "platform/wayland/wayland_keyboard.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/printable.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

namespace wigwag {

namespace {

// A key no keyboard sends and no program acts on: the keymap's fake Hyper_L, at the
// keycode 207 of the X keymap.
constexpr unsigned kWakeKey = 199;

std::uint32_t NowMilliseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

struct Globals {
    wl_seat* seat = nullptr;
    zwp_virtual_keyboard_manager_v1* manager = nullptr;
};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t) {
    auto* globals = static_cast<Globals*>(data);
    if (!globals->seat && std::strcmp(interface, wl_seat_interface.name) == 0)
        globals->seat =
            static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (!globals->manager &&
             std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
        globals->manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
}

void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

// The full US keymap as text, with its ending zero, the form a Wayland keymap travels in.
std::string UsKeymap() {
    std::string text;
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!context) return text;
    const xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
    if (xkb_keymap* keymap =
            xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS)) {
        if (char* string = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1)) {
            text.assign(string, std::strlen(string) + 1);
            std::free(string);
        }
        xkb_keymap_unref(keymap);
    }
    xkb_context_unref(context);
    return text;
}

// The keymap in a sealed memory file, which the compositor maps.
int KeymapFile(const std::string& keymap) {
    const int fd = memfd_create("wigwag-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    std::size_t done = 0;
    while (done < keymap.size()) {
        const ssize_t n = ::write(fd, keymap.data() + done, keymap.size() - done);
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

}  // namespace

std::unique_ptr<WaylandKeyboard> WaylandKeyboard::Open(std::string& why) {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name) {
        why = "no Wayland session (WAYLAND_DISPLAY is not set)";
        return nullptr;
    }
    std::unique_ptr<WaylandKeyboard> keyboard(new WaylandKeyboard());
    keyboard->compositor_ = name;
    if (!keyboard->Init(why)) return nullptr;
    return keyboard;
}

bool WaylandKeyboard::Init(std::string& why) {
    const std::string shown = "\"" + Printable(compositor_).append("\"");
    display_ = wl_display_connect(nullptr);
    if (!display_) {
        why = "cannot reach the Wayland compositor " + shown;
        return false;
    }
    Globals globals;
    wl_registry* registry = wl_display_get_registry(display_);
    wl_registry_add_listener(registry, &kRegistryListener, &globals);
    wl_display_roundtrip(display_);
    wl_registry_destroy(registry);
    seat_ = globals.seat;
    manager_ = globals.manager;
    if (!manager_ || !seat_) {
        why = "the Wayland compositor " + shown + " offers no virtual keyboard";
        return false;
    }
    const std::string keymap = UsKeymap();
    const int fd = keymap.empty() ? -1 : KeymapFile(keymap);
    if (fd < 0) {
        why = "cannot make a US keymap for a Wayland virtual keyboard (is xkb-data installed?)";
        return false;
    }
    keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager_, seat_);
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<std::uint32_t>(keymap.size()));
    ::close(fd);
    // A new keyboard's first key is lost, or folded into the focus's arrival, while the
    // seat and its clients take the keyboard in: a key of no meaning goes first, here.
    zwp_virtual_keyboard_v1_key(keyboard_, NowMilliseconds(), kWakeKey, 1);
    zwp_virtual_keyboard_v1_key(keyboard_, NowMilliseconds(), kWakeKey, 0);
    if (wl_display_roundtrip(display_) < 0) {
        why = "the Wayland compositor " + shown + " refused a virtual keyboard";
        return false;
    }
    return true;
}

WaylandKeyboard::~WaylandKeyboard() {
    if (keyboard_) zwp_virtual_keyboard_v1_destroy(keyboard_);
    if (manager_) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager_));
    if (seat_) wl_seat_destroy(seat_);
    if (display_) {
        wl_display_flush(display_);
        wl_display_disconnect(display_);
    }
}

std::string WaylandKeyboard::Name() const {
    return "a Wayland virtual keyboard (compositor \"" + Printable(compositor_) + "\")";
}

int WaylandKeyboard::Fd() const {
    return wl_display_get_fd(display_);
}

bool WaylandKeyboard::Send(unsigned code, bool up) {
    if (!lost_.empty()) return false;
    zwp_virtual_keyboard_v1_key(keyboard_, NowMilliseconds(), code, up ? 0 : 1);
    // Out at once: the compositor stamps nothing itself, the key's time is ours.
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) CheckConnection();
    return lost_.empty();
}

void WaylandKeyboard::Dispatch() {
    if (lost_.empty() && wl_display_dispatch(display_) < 0) CheckConnection();
}

void WaylandKeyboard::CheckConnection() {
    const int error = wl_display_get_error(display_);
    if (error == 0) return;
    lost_ = "the connection to the Wayland compositor \"" + Printable(compositor_) + "\" ended";
    if (error == EPROTO) lost_ += " (the compositor refused a request)";
}

}  // namespace wigwag
