#include "keys/module1.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace wigwag {

double Val(std::string_view text) {
    // Read by hand: strtod would follow the locale's decimal separator.
    std::size_t i = text.find_first_not_of(" \t");
    if (i == std::string_view::npos) return 0.0;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') ++i;
    double value = 0.0;
    double scale = 0.0;  // 0 before the decimal point, then the place of the next digit
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && scale == 0.0) {
            scale = 0.1;
        } else if (c >= '0' && c <= '9') {
            if (scale == 0.0) {
                value = value * 10.0 + (c - '0');
            } else {
                value += (c - '0') * scale;
                scale /= 10.0;
            }
        } else {
            break;
        }
    }
    return negative ? -value : value;
}

std::string NumberText(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    std::string text = buf;
    // The C library writes the locale's separator; the program's texts always use ".".
    for (char& c : text)
        if (c == ',') c = '.';
    return text;
}

namespace {

// The key code as a virtual-key code: nearest whole number, ties to even, within 0..255.
std::uint8_t KeyCodeOf(std::string_view keyCode) {
    const double value = Val(keyCode);
    const double rounded =
        value - std::floor(value) == 0.5 ? 2.0 * std::round(value / 2.0) : std::round(value);
    if (!(rounded >= 0.0 && rounded <= 255.0))
        throw KeyCodeOverflow("key code \"" + std::string(keyCode) +
                              "\" is not a virtual-key code (0 to 255)");
    return static_cast<std::uint8_t>(rounded);
}

}  // namespace

void PressKey(Host& host, std::string_view keyCode, std::string_view release,
              std::string_view holdSeconds) {
    const std::uint8_t code = KeyCodeOf(keyCode);
    host.SendKey(code, false);
    host.SendKey(8, false);
    if (Val(release) != 1.0) return;
    Pause(host, NumberText(Val(holdSeconds)));
    host.SendKey(KeyCodeOf(keyCode), true);
}

void Pause(Host& host, std::string_view seconds) {
    const double start = host.Clock();
    // A deadline rather than a running difference, so the host sleeps to exactly it.
    const double deadline = start + Val(seconds);
    while (host.Clock() < deadline) host.WaitEvents(deadline);
}

}  // namespace wigwag
