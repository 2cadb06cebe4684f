// The commands of a later start for the running Wigwag (`wigwag --toggle` and the like),
// once for every host: the words, the limits and the patience, the running side's
// handling of a connection, and what a later start makes of the exchange. The hosts'
// transports (a local socket on Linux, a named pipe on Windows) only carry the bytes.
//
// One line each way on a connection of its own: a later start sends "toggle", "start",
// "stop", "status" or "show"; the running one answers with its run state after the command
// ("Running", "Not Running"), "ok" to "show", and "refused" to anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/host.h"

namespace wigwag {

// The longest line either side sends; a longer one is refused unread.
inline constexpr std::size_t kMaxCommandLine = 32;
// Connections open at once, those whose commands wait for the program's next poll among
// them: beyond, the oldest one that has not sent its line makes room, or when every one has,
// the new one is refused.
inline constexpr std::size_t kMaxConnections = 16;
// A connection that has not sent its line by then is dropped.
inline constexpr int kLineMs = 2000;
// A later start's patience: to reach the running Wigwag, for its answer, and for one that
// holds the display or session but does not listen yet (starting) or any more (closing).
inline constexpr int kConnectMs = 2000;
inline constexpr int kAnswerMs = 5000;
inline constexpr int kClaimMs = 5000;
inline constexpr int kRetryMs = 50;

// Exit statuses of a start: done, failed (no answer, refused, unreachable), a wrong command
// line, no Wigwag running.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotRunning = 3;

// The word of a command ("toggle" …), and the command of a word; nothing for another text.
const char* CommandWord(Command command);
std::optional<Command> CommandOfWord(std::string_view word);

// Where the commands of later starts come from, as the window's host takes them.
class CommandSource {
  public:
    // The oldest command not taken yet; nothing when none waits.
    virtual std::optional<CommandRequest> Take() = 0;
    // The program's answer to a command it took.
    virtual void Answer(std::uint64_t id, std::string_view answer) = 0;
    // The window closed: no more commands are taken; those waiting are dropped.
    virtual void Stop() = 0;

  protected:
    ~CommandSource() = default;
};

// What a start prints, and the status it ends with (kRuns: this start goes on to run).
inline constexpr int kRuns = -1;
struct Said {
    int status = kExitOk;
    std::string out;  // standard output; empty: nothing
    std::string err;  // standard error; empty: nothing
};

// --- the running Wigwag's side -------------------------------------------------------------

// The commands that later starts hand over, queued until the program takes them at its next
// poll of the start/stop key. A transport opens connections here, hands over what each one
// sent, and carries the answers back: Reply and Drop are its part.
class CommandServer : public CommandSource {
  public:
    // `bringToFront` answers a later start without a command.
    explicit CommandServer(std::function<void()> bringToFront);

    std::optional<CommandRequest> Take() override;
    void Answer(std::uint64_t id, std::string_view answer) override;
    // No more commands are taken; the connections are dropped without an answer.
    void Stop() override;

  protected:
    ~CommandServer() = default;

    // A new connection's number; nothing when it must be refused at once (as many as are
    // allowed have sent their lines). The oldest one still silent is dropped to make room.
    std::optional<std::uint64_t> Opened();
    // Everything the connection has sent so far. True: read on; false: its line is whole
    // (answered, or waiting for the program) or it was refused.
    bool Received(std::uint64_t connection, std::string_view text);
    // The connection is gone (hung up, or dropped by the transport): no answer is owed to it.
    void Closed(std::uint64_t connection);
    // Whether a connection has sent its line (it may keep its place then).
    bool HasSentLine(std::uint64_t connection) const;

    // Writes one line and ends the connection.
    virtual void Reply(std::uint64_t connection, std::string_view line) = 0;
    // Ends the connection without a word.
    virtual void Drop(std::uint64_t connection) = 0;

  private:
    std::function<void()> bringToFront_;
    std::map<std::uint64_t, bool> open_;  // connection -> its line came
    std::uint64_t lastConnection_ = 0;
    std::deque<CommandRequest> waiting_;
    std::map<std::uint64_t, std::uint64_t> askers_;  // request -> connection, until answered
    std::uint64_t lastRequest_ = 0;
    bool stopped_ = false;
};

// --- a later start's side ------------------------------------------------------------------

// How one exchange with the running Wigwag ended.
struct Exchange {
    enum Outcome {
        NotRunning,   // nothing listens
        Foreign,      // the channel is another user's
        NoAnswer,     // no answer in time
        ClosedEarly,  // hung up without an answer
        Answered,
    } outcome = NotRunning;
    std::string answer;  // the line, without its end
};

// Where a later start looks, in the words of its messages.
struct Channel {
    std::string noun;    // "socket", "pipe"
    std::string where;   // " on display :0": where no Wigwag runs; may be empty
    std::string holder;  // what a Wigwag holds that does not answer: "wigwag-0.lock in …"
};

// What a command's exchange (`word`: "toggle" …) comes to.
Said CommandOutcome(const Exchange& exchange, std::string_view word, const Channel& channel);
// No Wigwag can be reached at all (no channel to look at), and why.
Said Unreachable(std::string_view why);

// A start without a command: `becomeRunning` tries to make this start the running Wigwag
// (a lock, the pipe's first instance); while another one holds that, it is asked with
// `askToShow` to bring its window to the front, until it answers or the patience runs out.
// `sleep` waits that many milliseconds; `clockMs` counts them. kRuns: this start runs (with
// a line to say when the channel is another user's: then it takes no commands).
Said ClaimOrShow(const std::function<bool()>& becomeRunning,
                 const std::function<Exchange()>& askToShow, const Channel& channel,
                 const std::function<void(int)>& sleep, const std::function<double()>& clockMs);

}  // namespace wigwag
