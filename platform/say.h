// The program's one way to say something on standard output or standard error, one file
// for each platform: platform/linux/linux_say.cpp (UTF-8 as it is) and
// platform/win32/win32_say.cpp (Unicode on a console, UTF-8 to a file or pipe, and the
// console of the starting program when a windowed program has none of its own).
#pragma once

#include <string>
#include <string_view>

#include "platform/commands.h"

namespace wigwag {

enum class Stream { Out, Err };

// Writes the line and a line end. Empty when it was written whole, else why not.
std::string Say(Stream stream, std::string_view line);

// Says what a start has to say (each part that is not empty) and gives its status. Output
// that cannot be written is a failure, said on standard error.
int Tell(const Said& said);

}  // namespace wigwag
