// The commands of later starts and the command line, as both programs share them: what the
// running side answers to each connection, what a later start says and ends with.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/commands.h"
#include "platform/options.h"

namespace wigwag {
namespace {

// The running side over a transport that records what it was told to do.
class Recorder final : public CommandServer {
  public:
    Recorder() : CommandServer([this] { log += "front "; }) {}
    std::optional<std::uint64_t> Open() { return Opened(); }
    bool Send(std::uint64_t c, std::string_view text) { return Received(c, text); }
    void HangUp(std::uint64_t c) { Closed(c); }
    std::string log;

  private:
    void Reply(std::uint64_t c, std::string_view line) override {
        log += std::to_string(c) + ":" + std::string(line) + " ";
    }
    void Drop(std::uint64_t c) override { log += std::to_string(c) + ":drop "; }
};

TEST(CommandServer, EachConnectionGetsOneAnswerToOneLine) {
    const std::string big(kMaxCommandLine + 1, 't');
    const std::vector<std::pair<std::string, std::string>> cases{
        {"toggle\n", ""},  // waits for the program
        {"show\n", "front 1:ok "},
        {"TOGGLE\n", "1:refused "},
        {"toggle\r\n", "1:refused "},
        {"toggle\nstop\n", "1:refused "},
        {big, "1:refused "},
        {std::string(kMaxCommandLine, 't'), ""},  // may still end in time
    };
    for (const auto& [text, log] : cases) {
        Recorder server;
        const std::uint64_t c = *server.Open();
        EXPECT_FALSE(server.Send(c, text) && text.find('\n') != std::string::npos) << text;
        EXPECT_EQ(server.log, log) << text;
    }
}

TEST(CommandServer, CommandsWaitInOrderAndAnswersFindTheirConnections) {
    Recorder server;
    const std::uint64_t a = *server.Open(), b = *server.Open(), gone = *server.Open();
    server.Send(a, "toggle\n");
    server.Send(b, "status\n");
    server.Send(gone, "stop\n");
    server.HangUp(gone);
    std::vector<Command> taken;
    while (const std::optional<CommandRequest> request = server.Take()) {
        taken.push_back(request->command);
        server.Answer(request->id, "Running");
    }
    EXPECT_EQ(taken, (std::vector<Command>{Command::Toggle, Command::Status, Command::Stop}));
    EXPECT_EQ(server.log, "1:Running 2:Running ");  // the one that hung up gets nothing
}

TEST(CommandServer, SilentConnectionsMakeRoomWaitingOnesDoNot) {
    Recorder server;
    std::vector<std::uint64_t> open;
    for (std::size_t i = 0; i < kMaxConnections; ++i) open.push_back(*server.Open());
    server.Send(open[1], "toggle\n");
    // A new connection pushes out the oldest one that sent nothing, not the one that did.
    const std::uint64_t late = *server.Open();
    EXPECT_EQ(server.log, "1:drop ");
    for (std::size_t i = 2; i < kMaxConnections; ++i) server.Send(open[i], "status\n");
    server.Send(late, "status\n");
    // Every place taken by a connection waiting for its answer: the next is refused at once.
    EXPECT_FALSE(server.Open());
    std::size_t waiting = 0;
    while (server.Take()) ++waiting;
    EXPECT_EQ(waiting, kMaxConnections);
    // The close drops them all without an answer, and takes no more.
    std::string drops = server.log;
    for (std::size_t c = 2; c <= kMaxConnections + 1; ++c) drops += std::to_string(c) + ":drop ";
    server.Stop();
    EXPECT_EQ(server.log, drops);
    EXPECT_FALSE(server.Open());
}

TEST(LaterStart, SaysWhatTheExchangeCameTo) {
    const Channel channel{"pipe", " on display :0", "the pipe"};
    const std::vector<std::tuple<Exchange::Outcome, std::string, int, std::string, std::string>>
        cases{
            {Exchange::Answered, "Running", 0, "Running", ""},
            {Exchange::Answered, "refused", 1, "", "wigwag: the running Wigwag refused --toggle"},
            {Exchange::NotRunning, "", 3, "", "wigwag: Wigwag is not running on display :0"},
            {Exchange::Foreign, "", 1, "", "wigwag: the command pipe belongs to another user"},
            {Exchange::NoAnswer, "", 1, "", "wigwag: the running Wigwag did not answer"},
            {Exchange::ClosedEarly, "", 1, "",
             "wigwag: the running Wigwag closed the connection without an answer"},
        };
    for (const auto& [outcome, answer, status, out, err] : cases) {
        const Said said = CommandOutcome({outcome, answer}, "toggle", channel);
        EXPECT_EQ(std::tie(said.status, said.out, said.err), std::tie(status, out, err)) << err;
    }
}

TEST(LaterStart, AStartWithoutACommandRunsOrBringsTheRunningOneForward) {
    const Channel channel{"socket", "", "the lock"};
    struct Case {
        int claimedAt;              // the try that becomes the running Wigwag
        Exchange::Outcome outcome;  // of each request to come forward
        const char* answer;
        int status, tries;
        const char* err;
    };
    const int never = 1000, all = kClaimMs / kRetryMs + 1;
    const std::vector<Case> cases{
        {0, Exchange::NotRunning, "", kRuns, 1, ""},
        {never, Exchange::Answered, "ok", 0, 1, ""},
        {never, Exchange::Answered, "refused", 1, 1,
         "wigwag: the running Wigwag refused to come forward"},
        {never, Exchange::NoAnswer, "", 1, 1, "wigwag: the running Wigwag did not answer"},
        {never, Exchange::Foreign, "", kRuns, 1,
         "wigwag: running without taking commands, and without telling whether another "
         "Wigwag runs: the command socket belongs to another user"},
        // One closing, the next try takes its place; one that never answers nor lets go.
        {2, Exchange::NotRunning, "", kRuns, 3, ""},
        {never, Exchange::ClosedEarly, "", 1, all,
         "wigwag: another Wigwag holds the lock but does not answer"},
    };
    for (const Case& c : cases) {
        int tries = 0;
        double now = 0;
        const auto claim = [&] { return tries++ == c.claimedAt; };
        const auto show = [&] { return Exchange{c.outcome, c.answer}; };
        const Said said = ClaimOrShow(
            claim, show, channel, [&](int ms) { now += ms; }, [&] { return now; });
        EXPECT_EQ(std::tie(said.status, said.err, tries), std::tie(c.status, c.err, c.tries));
        EXPECT_EQ(said.out, std::string(c.answer) == "ok"
                                ? "Wigwag is already running: its window is brought to the front."
                                : "");
    }
}

TEST(CommandLine, TheSameWordsAndStatusOnBothPlatforms) {
    const std::string hint = " (wigwag --help lists the options)";
    // Each command line, its status (-1: no answer, the program goes on), error and command.
    const std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>> cases{
        {{}, -1, "", ""},
        {{"--toggle"}, -1, "", "toggle"},
        {{"--status", "--status"}, -1, "", "status"},
        {{"--list-devices"}, -1, "", ""},
        {{"-h", "--bogus"}, 2, "wigwag: unknown option '--bogus'" + hint, ""},
        {{"--a\nb\x1b[31m"}, 2, "wigwag: unknown option '--a\\nb\\e[31m'" + hint, ""},
        {{"level1"}, 2, "wigwag: unexpected argument 'level1'" + hint, ""},
        {{"--", "-h"}, 2, "wigwag: unexpected argument '-h'" + hint, ""},
        {{"--start", "--stop"}, 2, "wigwag: one command at a time" + hint, "stop"},
        {{"--list-devices", "--status"}, 2, "wigwag: one command at a time" + hint, "status"},
        {{"-v", "level1"}, 0, "", ""},
        {{"--help", "--version"}, 0, "", ""},
    };
    for (Platform platform : {Platform::Linux, Platform::Windows}) {
        for (const auto& [args, status, err, command] : cases) {
            const CommandLine line = ParseCommandLine(args, platform);
            EXPECT_EQ(line.answered ? line.answered->status : -1, status) << args.size();
            EXPECT_EQ(line.answered ? line.answered->err : "", err);
            EXPECT_EQ(line.options.command, command);
        }
    }
    EXPECT_EQ(ParseCommandLine({"-v"}, Platform::Windows).answered->out.rfind("wigwag ", 0), 0u);
    const std::string usage = ParseCommandLine({"--help"}, Platform::Linux).answered->out;
    EXPECT_EQ(usage, UsageText());
    EXPECT_NE(usage.find("\n  -h, --help      Show this help and exit.\n"), std::string::npos);
    EXPECT_NE(usage.find("\n  --config-dir    Linux: "), std::string::npos);
    // The option one platform has, refused on the other.
    EXPECT_TRUE(ParseCommandLine({"--config-dir"}, Platform::Linux).options.configDir);
    EXPECT_EQ(ParseCommandLine({"--config-dir"}, Platform::Windows).answered->err,
              "wigwag: option '--config-dir' is for the Linux program only" + hint);
}

}  // namespace
}  // namespace wigwag
