#include "platform/commands.h"

#include "platform/say.h"

#include <algorithm>
#include <array>
#include <utility>

namespace wigwag {

namespace {

constexpr std::array<std::pair<Command, const char*>, 4> kWords{{
    {Command::Toggle, "toggle"},
    {Command::Start, "start"},
    {Command::Stop, "stop"},
    {Command::Status, "status"},
}};
constexpr std::string_view kShow = "show";

}  // namespace

const char* CommandWord(Command command) {
    for (const auto& [c, word] : kWords)
        if (c == command) return word;
    return "";
}

std::optional<Command> CommandOfWord(std::string_view word) {
    for (const auto& [command, text] : kWords)
        if (word == text) return command;
    return std::nullopt;
}

// --- the running Wigwag's side -------------------------------------------------------------

CommandServer::CommandServer(std::function<void()> bringToFront)
    : bringToFront_(std::move(bringToFront)) {}

std::optional<std::uint64_t> CommandServer::Opened() {
    if (stopped_) return std::nullopt;
    if (open_.size() >= kMaxConnections) {
        // Connections that send nothing never keep a command out: the oldest silent one goes.
        const auto silent = std::find_if(open_.begin(), open_.end(),
                                         [](const auto& connection) { return !connection.second; });
        if (silent == open_.end()) return std::nullopt;
        const std::uint64_t oldest = silent->first;
        Closed(oldest);
        Drop(oldest);
    }
    open_[++lastConnection_] = false;
    return lastConnection_;
}

bool CommandServer::Received(std::uint64_t connection, std::string_view text) {
    const auto found = open_.find(connection);
    if (found == open_.end() || found->second) return false;
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
        if (text.size() <= kMaxCommandLine) return true;  // more to come
        Closed(connection);
        Reply(connection, "refused");
        return false;
    }
    // One line and nothing after it; the writer may shut its side and still get the answer.
    found->second = true;
    const std::string_view word = text.substr(0, end);
    const std::optional<Command> command =
        end + 1 == text.size() ? CommandOfWord(word) : std::nullopt;
    if (end + 1 == text.size() && word == kShow) {
        if (bringToFront_) bringToFront_();
        Closed(connection);
        Reply(connection, "ok");
    } else if (!command) {
        Closed(connection);
        Reply(connection, "refused");
    } else {
        waiting_.push_back({*command, ++lastRequest_});
        askers_[lastRequest_] = connection;
    }
    return false;
}

void CommandServer::Closed(std::uint64_t connection) {
    open_.erase(connection);
    std::erase_if(askers_, [connection](const auto& asker) { return asker.second == connection; });
}

bool CommandServer::HasSentLine(std::uint64_t connection) const {
    const auto found = open_.find(connection);
    return found != open_.end() && found->second;
}

std::optional<CommandRequest> CommandServer::Take() {
    if (waiting_.empty()) return std::nullopt;
    const CommandRequest request = waiting_.front();
    waiting_.pop_front();
    return request;
}

void CommandServer::Answer(std::uint64_t id, std::string_view answer) {
    const auto asker = askers_.find(id);
    if (asker == askers_.end()) return;  // gone before the answer
    const std::uint64_t connection = asker->second;
    Closed(connection);
    Reply(connection, answer);
}

void CommandServer::Stop() {
    stopped_ = true;
    waiting_.clear();
    askers_.clear();
    while (!open_.empty()) {
        const std::uint64_t connection = open_.begin()->first;
        Closed(connection);
        Drop(connection);
    }
}

// --- a later start's side ------------------------------------------------------------------

Said CommandOutcome(const Exchange& exchange, std::string_view word, const Channel& channel) {
    switch (exchange.outcome) {
        case Exchange::NotRunning:
            return {kExitNotRunning, {}, "wigwag: Wigwag is not running" + channel.where};
        case Exchange::Foreign:
            return {kExitFailed,
                    {},
                    "wigwag: the command " + channel.noun + " belongs to another user"};
        case Exchange::NoAnswer:
            return {kExitFailed, {}, "wigwag: the running Wigwag did not answer"};
        case Exchange::ClosedEarly:
            return {kExitFailed,
                    {},
                    "wigwag: the running Wigwag closed the connection without an answer"};
        case Exchange::Answered:
            break;
    }
    if (exchange.answer == "refused")
        return {kExitFailed, {}, "wigwag: the running Wigwag refused --" + std::string(word)};
    return {kExitOk, exchange.answer, {}};
}

Said Unreachable(std::string_view why) {
    return {kExitFailed, {}, "wigwag: no Wigwag can be reached: " + std::string(why)};
}

Said ClaimOrShow(const std::function<bool()>& becomeRunning,
                 const std::function<Exchange()>& askToShow, const Channel& channel,
                 const std::function<void(int)>& sleep, const std::function<double()>& clockMs) {
    const double deadline = clockMs() + kClaimMs;
    for (;;) {
        if (becomeRunning()) return {kRuns, {}, {}};
        const Exchange exchange = askToShow();
        switch (exchange.outcome) {
            case Exchange::Answered:
                if (exchange.answer == "ok")
                    return {kExitOk,
                            "Wigwag is already running: its window is brought to the front.",
                            {}};
                return {kExitFailed, {}, "wigwag: the running Wigwag refused to come forward"};
            case Exchange::NoAnswer:
                return {kExitFailed, {}, "wigwag: the running Wigwag did not answer"};
            case Exchange::Foreign:
                return {kRuns,
                        {},
                        "wigwag: running without taking commands, and without telling "
                        "whether another Wigwag runs: the command " +
                            channel.noun + " belongs to another user"};
            case Exchange::NotRunning:
            case Exchange::ClosedEarly:
                break;  // between two Wigwags, one closing: the next one may be this start
        }
        if (clockMs() >= deadline)
            return {kExitFailed,
                    {},
                    "wigwag: another Wigwag holds " + channel.holder + " but does not answer"};
        sleep(kRetryMs);
    }
}

int Tell(const Said& said) {
    if (!said.out.empty()) {
        if (const std::string why = Say(Stream::Out, said.out); !why.empty()) {
            Say(Stream::Err, "wigwag: cannot write to standard output: " + why);
            return kExitFailed;
        }
    }
    if (!said.err.empty()) Say(Stream::Err, said.err);
    return said.status;
}

}  // namespace wigwag
