// Whole-file reading and atomic replacement on the real file system, for the real hosts.
#pragma once

#include <functional>
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

// The two above live in each platform's own file; this is their shared reading loop. Reads
// at most limit + 1 bytes through `read`, which gives the number of bytes it read, 0 at the
// end or -1 when the read failed; one byte past the limit says the file is longer (`failed`).
// `expected` (the file's size) is what to make room for.
void ReadBounded(FileRead& result, std::size_t limit, std::size_t expected,
                 const std::function<long(char* to, std::size_t want)>& read);

}  // namespace wigwag
