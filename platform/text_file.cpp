#include "platform/text_file.h"

#include <algorithm>

namespace wigwag {

void ReadBounded(FileRead& result, std::size_t limit, std::size_t expected,
                 const std::function<long(char* to, std::size_t want)>& read) {
    constexpr std::size_t kChunk = 64 * 1024;
    result.bytes.reserve(std::min(expected, limit) + 1);
    while (result.bytes.size() <= limit) {
        const std::size_t have = result.bytes.size();
        const std::size_t want = std::min(kChunk, limit + 1 - have);
        result.bytes.resize(have + want);
        const long got = read(result.bytes.data() + have, want);
        result.bytes.resize(have + static_cast<std::size_t>(std::max(got, 0L)));
        if (got <= 0) {
            result.failed = got < 0;
            break;
        }
    }
    if (result.bytes.size() > limit) {
        result.bytes.resize(limit);
        result.failed = true;
    }
}

}  // namespace wigwag
