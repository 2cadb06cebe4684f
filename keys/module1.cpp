#include "keys/module1.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace wigwag {

double Val(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const std::size_t start = i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    const std::size_t digitsFrom = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    std::size_t digits = i - digitsFrom;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fractionFrom = ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        digits += i - fractionFrom;
    }
    if (digits == 0) return 0.0;
    // Read by hand: strtod would follow the locale's decimal separator.
    const std::string number(text.substr(start, i - start));
    double value = 0.0;
    double scale = 1.0;
    bool fraction = false;
    for (char c : number) {
        if (c == '.') {
            fraction = true;
        } else if (c >= '0' && c <= '9') {
            if (fraction) {
                scale /= 10.0;
                value += (c - '0') * scale;
            } else {
                value = value * 10.0 + (c - '0');
            }
        }
    }
    return number[0] == '-' ? -value : value;
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
    host.SendKeyEvent(code, 0, 0, 0);
    host.SendKeyEvent(8, 0, 0, 0);
    if (Val(release) != 1.0) return;
    Pause(host, NumberText(Val(holdSeconds)));
    host.SendKeyEvent(KeyCodeOf(keyCode), 0, kKeyUp, 0);
}

void Pause(Host& host, std::string_view seconds) {
    const double start = host.Clock();
    // A deadline rather than a running difference, so the host sleeps to exactly it.
    const double deadline = start + Val(seconds);
    while (host.Clock() < deadline) host.WaitEvents(deadline);
}

}  // namespace wigwag
