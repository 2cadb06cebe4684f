// Keys through a Wayland virtual keyboard (zwp_virtual_keyboard_v1), which wlroots
// desktops (sway and others) offer: the program's own connection to the compositor, one
// keyboard for the program's whole life with one full US keymap, so that every key arrives
// at its own position, whatever the player's layout.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/key_output.h"

struct wl_display;
struct wl_seat;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;

namespace wigwag {

class WaylandKeyboard final : public KeyOutput {
  public:
    // Connects to $WAYLAND_DISPLAY and makes the keyboard; nullptr with one line in `why`
    // when there is no compositor, or it offers no virtual keyboard or refuses one.
    static std::unique_ptr<WaylandKeyboard> Open(std::string& why);
    ~WaylandKeyboard() override;
    WaylandKeyboard(const WaylandKeyboard&) = delete;
    WaylandKeyboard& operator=(const WaylandKeyboard&) = delete;

    std::string Name() const override;
    bool Send(unsigned code, bool up) override;
    std::string Lost() const override { return lost_; }

    // The connection, to be watched for reading; Dispatch() when it is readable, so that
    // the compositor's messages are read and an ended connection is noticed.
    int Fd() const;
    void Dispatch();

  private:
    WaylandKeyboard() = default;
    bool Init(std::string& why);
    void CheckConnection();

    wl_display* display_ = nullptr;
    wl_seat* seat_ = nullptr;
    zwp_virtual_keyboard_manager_v1* manager_ = nullptr;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    std::string compositor_;        // $WAYLAND_DISPLAY
    std::string lost_;
};

}  // namespace wigwag
