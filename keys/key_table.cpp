#include "keys/key_table.h"

#include <cstdio>

namespace wigwag {

const std::array<KeyEntry, kKeyCount> kKeyTable{{
    {"DELETE", 0x2E},    {"END", 0x23},      {"HOME", 0x24},     {"INSERT", 0x2D},
    {"BACKSPACE", 0x08}, {"TAB", 0x09},      {"RETURN", 0x0D},   {"SHIFT", 0x10},
    {"CONTROL", 0x11},   {"SPACE", 0x20},    {"NUMPAD *", 0x6A}, {"NUMPAD +", 0x6B},
    {"NUMPAD -", 0x6D},  {"NUMPAD .", 0x6E}, {"NUMPAD /", 0x6F}, {"NUMPAD 0", 0x60},
    {"NUMPAD 1", 0x61},  {"NUMPAD 2", 0x62}, {"NUMPAD 3", 0x63}, {"NUMPAD 4", 0x64},
    {"NUMPAD 5", 0x65},  {"NUMPAD 6", 0x66}, {"NUMPAD 7", 0x67}, {"NUMPAD 8", 0x68},
    {"NUMPAD 9", 0x69},  {"A", 0x41},        {"B", 0x42},        {"C", 0x43},
    {"D", 0x44},         {"E", 0x45},        {"F", 0x46},        {"G", 0x47},
    {"H", 0x48},         {"I", 0x49},        {"J", 0x4A},        {"K", 0x4B},
    {"L", 0x4C},         {"M", 0x4D},        {"N", 0x4E},        {"O", 0x4F},
    {"P", 0x50},         {"Q", 0x51},        {"R", 0x52},        {"S", 0x53},
    {"T", 0x54},         {"U", 0x55},        {"V", 0x56},        {"W", 0x57},
    {"X", 0x58},         {"Y", 0x59},        {"Z", 0x5A},        {"F1", 0x70},
    {"F2", 0x71},        {"F3", 0x72},       {"F4", 0x73},       {"F5", 0x74},
    {"F6", 0x75},        {"F7", 0x76},       {"F8", 0x77},       {"F9", 0x78},
    {"F10", 0x79},       {"F11", 0x7A},      {"F12", 0x7B},
}};

std::string CodeText(std::uint8_t code) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "&H%X", static_cast<unsigned>(code));
    return buf;
}

std::optional<std::uint32_t> ParseHex(std::string_view digits) {
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) {
        std::uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else
            return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

std::optional<std::uint8_t> ParseCodeText(const std::string& text) {
    if (text.size() < 3 || text.size() > 4 || text[0] != '&' || (text[1] != 'H' && text[1] != 'h'))
        return std::nullopt;
    const std::optional<std::uint32_t> value = ParseHex(std::string_view(text).substr(2));
    if (!value) return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

}  // namespace wigwag
