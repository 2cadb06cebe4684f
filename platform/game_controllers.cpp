#include "platform/game_controllers.h"

#include <algorithm>
#include <cstdio>

namespace wigwag {

namespace {

// The length of the UTF-8 sequence that starts at `i`, or 0 when it is not a valid one
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    if (b < 0x80) return 1;
    // The lead byte gives the length and the smallest code point of that length.
    const std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    const unsigned lowest = n == 4 ? 0x10000 : n == 3 ? 0x800 : 0x80;
    if (b < 0xC2 || b > 0xF4) return 0;
    if (i + n > s.size()) return 0;
    unsigned code = b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string ButtonDevice::NameOf(std::uint16_t vendor, std::uint16_t product) {
    for (const GameController& c : Controllers())
        if (c.vendor == vendor && c.product == product) return c.name;
    return {};
}

GameController DirectInputIds(std::optional<std::uint32_t> vidpid, std::uint32_t guidData1,
                              const std::array<std::uint8_t, 8>& guidData4) {
    static constexpr std::array<std::uint8_t, 6> kMark{'P', 'I', 'D', 'V', 'I', 'D'};
    std::uint32_t both = 0;
    if (vidpid && *vidpid != 0)
        both = *vidpid;
    else if (std::equal(kMark.begin(), kMark.end(), guidData4.begin() + 2))
        both = guidData1;
    GameController ids;
    ids.vendor = static_cast<std::uint16_t>(both & 0xFFFF);
    ids.product = static_cast<std::uint16_t>(both >> 16);
    ids.ids = both != 0;
    return ids;
}

std::string PrintableName(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t n = Utf8Length(name, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
            continue;
        }
        const auto c = static_cast<unsigned char>(name[i]);
        const bool control = n == 1 && (c < 0x20 || c == 0x7F);
        // C1 controls: U+0080 to U+009F, two bytes C2 80 to C2 9F.
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0;
        if (control || c1)
            out += ' ';
        else
            out.append(name.substr(i, n));
        i += n;
    }
    const std::size_t begin = out.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    return out.substr(begin, out.find_last_not_of(' ') - begin + 1);
}

std::string ControllerLine(const GameController& c) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", c.vendor, c.product);
    std::string name = PrintableName(c.name);
    if (name.empty()) name = "(no name)";
    std::string line = std::string(ids) + "  " + name + "  " + std::to_string(c.buttons) +
                       (c.buttons == 1 ? " button  " : " buttons  ");
    line += c.readable ? "readable" : "cannot be read";
    if (!c.readable && !c.problem.empty()) line += ": " + PrintableName(c.problem);
    if (!c.ids) line += "  no vendor or product id: chosen as 0000:0000";
    if (!c.where.empty()) line += "  (" + PrintableName(c.where) + ")";
    return line;
}

}  // namespace wigwag
