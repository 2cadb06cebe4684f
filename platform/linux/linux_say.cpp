#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/say.h"

namespace wigwag {

std::string Say(Stream stream, std::string_view line) {
    std::FILE* file = stream == Stream::Out ? stdout : stderr;
    const std::string text = std::string(line) + "\n";
    if (std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0)
        return {};
    return std::strerror(errno);
}

}  // namespace wigwag
