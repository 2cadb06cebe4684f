// Whole-file reading and atomic replacement on the real file system, for the real hosts.
#pragma once

#include <string>
#include <string_view>

#include "platform/host.h"

namespace wigwag {

// Reads the whole file in binary, at most `limit` bytes; `failed` when a read breaks off
// after opening or the file is longer.
FileRead ReadWholeFile(const std::string& name, std::size_t limit);

// Writes the bytes to a temporary file beside `name`, flushes it to the disk and puts it
// in place of `name` in one step. On failure the old file is left as it was.
FileWrite ReplaceWholeFile(const std::string& name, std::string_view bytes);

}  // namespace wigwag
