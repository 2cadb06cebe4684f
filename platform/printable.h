// Text that came from the user (an option, a display name, a path) made fit for a one-line
// message: control characters are written as escapes, so a message stays one line and
// sends nothing to the terminal but text.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace wigwag {

// UTF-8 in, UTF-8 out: C0 controls and DEL as \n, \t, \r, \e or \xHH, a backslash doubled;
// C1 controls and the Unicode line and paragraph separators as \u{HHHH}.
inline std::string Printable(std::string_view text) {
    std::string out;
    char escape[16];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // U+0080..U+009F (C2 80..C2 9F), U+2028 and U+2029 (E2 80 A8, E2 80 A9).
        const auto next = [&](std::size_t k) {
            return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
        };
        if (c == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u{%04X}", next(1));
            out += escape;
            i += 1;
        } else if (c == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) {
            std::snprintf(escape, sizeof escape, "\\u{%04X}", 0x2000 + next(2) - 0x80);
            out += escape;
            i += 2;
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == 0x1B) {
            out += "\\e";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace wigwag
