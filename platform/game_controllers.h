// Game controllers (wheels, pedals, button boxes, pads) as a window host uses them: button
// presses in, whichever window has the focus, never taken away from the game. The
// implementations live beside the other files of each platform; tests substitute their own.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host.h"

namespace wigwag {

// A game controller as the system shows it.
struct GameController {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string name;  // as the controller gives it: any bytes
    int buttons = 0;   // how many buttons it reports
    bool readable = false;
    std::string where;    // the device node, or the system's name for it
    std::string problem;  // why it cannot be read, when it cannot
    bool ids = true;      // false: the system gave no ids, and 0000:0000 stands for them
};

// A controller's vendor and product ids as DirectInput tells them: the driver's answer to
// DIPROP_VIDPID (vendor in the low word, product in the high word) when it gave one other
// than 0; else the product GUID's first four bytes in the same order, but only when its last
// six read "PIDVID", the mark of a GUID made from the ids; else none (ids false, 0000:0000).
GameController DirectInputIds(std::optional<std::uint32_t> vidpid, std::uint32_t guidData1,
                              const std::array<std::uint8_t, 8>& guidData4);

class ButtonDevice {
  public:
    virtual ~ButtonDevice() = default;
    // The presses since the previous call, oldest first: one per press of a button, however
    // long it is held; a tap that came and went since the previous call counts.
    virtual std::vector<GameButtonPress> TakePresses() = 0;
    // The controllers connected now, readable or not.
    virtual std::vector<GameController> Controllers() = 0;
    // The name of a connected controller with these ids; empty when none is connected.
    std::string NameOf(std::uint16_t vendor, std::uint16_t product);
};

// A controller's name for the window and the terminal: valid UTF-8 without control
// characters (each invalid byte becomes U+FFFD, a control character a space), trimmed.
std::string PrintableName(std::string_view name);

// One line of `wigwag --list-devices` (no line end): the ids, the name, the number of
// buttons, and whether it can be read, with the reason when not.
std::string ControllerLine(const GameController& controller);

}  // namespace wigwag
