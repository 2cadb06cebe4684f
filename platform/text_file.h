// Whole-file reading and atomic replacement on the real file system, for the real hosts.
#pragma once

#include <string>
#include <string_view>

#include "platform/host.h"

namespace wigwag {

// Reads a regular file whole in binary, at most `limit` bytes; `failed` when a read breaks
// off after opening or the file is longer. Opening never waits (a named pipe without a
// writer included) and anything but a regular file counts as not opened; `missing` only
// when nothing of that name exists.
FileRead ReadWholeFile(const std::string& name, std::size_t limit);

// Writes the bytes to a new temporary file beside `name` (beside the file it leads to, for
// a link), flushes it to the disk and renames it over that file in one step, with the old
// file's owner and permissions where the system allows. On failure the old file is left as
// it was and no temporary file remains; a link that leads nowhere is a failure.
FileWrite ReplaceWholeFile(const std::string& name, std::string_view bytes);

}  // namespace wigwag
