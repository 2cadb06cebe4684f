// How a fuzz input is laid out: one byte that says how the read of the settings file goes,
// then the file's bytes. Shared by the fuzzer and the program that writes its seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wigwag::fuzz {

struct SettingsInput {
    std::string file;
    // Where the read breaks off; nothing: the file reads whole.
    std::optional<std::size_t> readFailsAfter;
};

// First byte 0: the file reads whole. n > 0: the read breaks off after
// (n - 1) * size / 255 bytes, so 1 fails at the first byte and every n > 0 fails before
// the end of a file that is not empty.
inline SettingsInput DecodeInput(std::string_view bytes) {
    SettingsInput input;
    if (bytes.empty()) return input;
    const auto how = static_cast<std::uint8_t>(bytes[0]);
    input.file = std::string(bytes.substr(1));
    if (how != 0) input.readFailsAfter = (how - 1u) * input.file.size() / 255u;
    return input;
}

inline std::string EncodeInput(std::uint8_t how, std::string_view file) {
    return std::string(1, static_cast<char>(how)) + std::string(file);
}

}  // namespace wigwag::fuzz
