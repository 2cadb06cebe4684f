// The plain key routines: numeric text, key pulses and pauses that keep the window alive.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/host.h"

namespace wigwag {

// The leading-number rule: leading blanks skipped, then the longest leading decimal
// number (optional sign, digits, optional "." fraction); text without one reads as 0.
double Val(std::string_view text);

// A number as decimal text with "." as the separator ("0.1", "46").
std::string NumberText(double value);

// A key code outside 0..255 (after rounding half to even).
class KeyCodeOverflow : public std::out_of_range {
  public:
    using std::out_of_range::out_of_range;
};

// Key-down of `keyCode`, key-down of Backspace; when `release` reads as exactly 1, a pause
// of `holdSeconds` and the key-up. Throws KeyCodeOverflow before sending anything when the
// code does not fit a virtual-key code.
void PressKey(Host& host, std::string_view keyCode, std::string_view release,
              std::string_view holdSeconds);

// Waits until `seconds` have passed on the host's clock, processing the window's events
// meanwhile. A pause that reads as 0 returns at once without processing events.
void Pause(Host& host, std::string_view seconds);

}  // namespace wigwag
