// The exchange between a later start of the program and the one that runs, the same on
// every host: one line each way. A later start sends "toggle", "start", "stop", "status"
// or "show"; the running one answers with its run state after the command, "ok" to
// "show", and "refused" to anything else.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/host.h"

namespace wigwag {

// The longest line either side sends; a longer one is refused unread.
inline constexpr std::size_t kMaxCommandLine = 32;

// Exit statuses of a later start: no answer or refused, a wrong command line, no Wigwag
// running.
inline constexpr int kCommandFailed = 1;
inline constexpr int kCommandUsage = 2;
inline constexpr int kNotRunning = 3;

struct CommandWord {
    const char* text;
    std::optional<Command> command;  // nothing: "show", which the host answers itself
};
inline constexpr CommandWord kCommandWords[] = {
    {"toggle", Command::Toggle}, {"start", Command::Start}, {"stop", Command::Stop},
    {"status", Command::Status}, {"show", std::nullopt},
};

// The word of a line without its line end; nothing for any other text.
inline const CommandWord* CommandWordOf(std::string_view text) {
    for (const CommandWord& word : kCommandWords)
        if (text == word.text) return &word;
    return nullptr;
}

}  // namespace wigwag
