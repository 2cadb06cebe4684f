// The 63 keys the player can choose, by list index, with their virtual-key codes.
// The order is part of the settings file format: the file stores indexes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wigwag {

struct KeyEntry {
    const char* name;   // as shown in the drop-down lists
    std::uint8_t code;  // the system's virtual-key code
};

inline constexpr int kKeyCount = 63;

extern const std::array<KeyEntry, kKeyCount> kKeyTable;

// Indexes and codes the program itself relies on.
inline constexpr int kDeleteIndex = 0;  // default start/stop key
inline constexpr int kGIndex = 31;      // default headlight-flash key
inline constexpr int kBIndex = 26;      // default horn key
inline constexpr std::uint8_t kBackspaceCode = 8;
inline constexpr std::uint8_t kZeroCode = 48;
inline constexpr std::uint8_t kNineCode = 57;  // the hazard-light key
inline constexpr std::uint8_t kGCode = 71;
inline constexpr std::uint8_t kBCode = 66;

// "&H" followed by the code in upper-case hexadecimal, no leading zeros ("&H2E", "&H8").
std::string CodeText(std::uint8_t code);

// Hexadecimal digits of either case as a number; nothing for an empty text, another
// character or more than eight digits.
std::optional<std::uint32_t> ParseHex(std::string_view digits);

// Reads a code text back ("&H2E" -> 46); nothing for text that is not one.
std::optional<std::uint8_t> ParseCodeText(const std::string& text);

}  // namespace wigwag
