#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "engine/engine.h"
#include "fixture.h"
#include "keys/key_table.h"

namespace wigwag {
namespace {

constexpr std::uint8_t kDelete = 46;

// A 0.1 s press at each of the times.
std::vector<Ev> Pulses(int vk, std::initializer_list<long> at) {
    std::vector<Ev> out;
    for (long ms : at) out = Cat({out, Press(ms, vk), Up(ms + 100, vk)});
    return out;
}

using Engine = WindowTest;

// How the player switches on at 0.05 s and off at 1.36 s (inside a flash press's hold): a tap
// of the start/stop key (nothing) or a command from another start of the program. Each is
// seen by the next poll, at 0.1 s and 1.4 s, and a command is answered with the state it left.
TEST(EngineRun, TheWholeRunFromSwitchOnToSwitchOffByKeyOrCommand) {
    using Switch = std::optional<Command>;  // nothing: a tap of the start/stop key
    const std::vector<std::pair<Switch, Switch>> cases{{{}, {}},
                                                       {Command::Toggle, Command::Toggle},
                                                       {Command::Start, Command::Stop},
                                                       {{}, Command::Stop}};
    for (const auto& [on, off] : cases) {
        SCOPED_TRACE(testing::Message()
                     << "commands " << (on ? int(*on) : -1) << ", " << (off ? int(*off) : -1));
        Window w;
        w.Load(DataFile("1|1|1|0|31|26|"));
        std::vector<Reply> replies;
        for (const auto& [at, command, ms, answer] :
             {std::tuple{0.05, on, 100L, "Running"}, std::tuple{1.36, off, 1400L, "Not Running"}}) {
            if (command) replies.push_back({ms, *command, answer});
            if (command)
                w.host.CommandAt(at, *command);
            else
                w.host.PlayerTap(kDelete, at, 0.02);
        }
        w.host.RunUntil(2.5);
        // clang-format off
        EXPECT_EQ(Timeline(w.host), Cat({
            Burst(100), Press(200, 66), Press(300, 66), Press(400, 66),
            Press(500, 71), Press(500, 66),                  // the horn ticks inside the hold
            Press(600, 66), Up(600, 71),                     // due as the hold ends
            Press(700, 66), Press(700, 71),                  // in the gap, then the 2nd press
            Press(800, 66), Up(800, 71),
            Press(900, 71), Press(900, 66),
            Press(1000, 66), Up(1000, 71),
            Press(1100, 66), Press(1100, 57),                // hazards inside the flash's gap
            Press(1200, 66), Up(1200, 57), Press(1200, 71),  // the gap ends when hazards return
            Press(1300, 66), Up(1300, 71), Press(1300, 71),  // the tick that fell due meanwhile
            Burst(1400), Up(1400, 71),                       // off; the tick ends its presses
            Press(1500, 71), Up(1600, 71)}));
        // clang-format on
        EXPECT_EQ(Replies(w.host), replies);
        EXPECT_EQ(w.host.Caption(Control::lblStatus), "Not Running");
        EXPECT_FALSE(w.host.TimerEnabled(Timer::tmFlash) || w.host.TimerEnabled(Timer::tmSiren) ||
                     w.host.TimerEnabled(Timer::tmHazards));
    }
}

TEST_F(Engine, CommandsSwitchOnlyWhenTheyChangeTheStateEvenWithoutAStartStopKey) {
    Load(DataFile("0|0|0|-1|31|26|"));  // no start/stop key chosen, no effect ticked
    // Each command as it comes, and its answer at the next poll.
    const std::vector<std::pair<double, Reply>> commands{
        {0.05, {100, Command::Stop, "Not Running"}},  // already stopped: nothing sent
        {0.06, {100, Command::Status, "Not Running"}},
        {0.15, {200, Command::Start, "Running"}},
        {0.16, {200, Command::Start, "Running"}},  // already running by the time it is taken
        {0.25, {300, Command::Status, "Running"}},
        {0.35, {400, Command::Toggle, "Not Running"}},  // two in one poll: both switch, in order
        {0.36, {400, Command::Toggle, "Running"}},
        {0.45, {500, Command::Stop, "Not Running"}}};
    std::vector<Reply> replies;
    for (const auto& [at, reply] : commands) {
        host.CommandAt(at, reply.command);
        replies.push_back(reply);
    }
    host.RunUntil(0.6);
    EXPECT_EQ(Timeline(host), Cat({Burst(200), Burst(400), Burst(400), Burst(500)}));
    EXPECT_EQ(Replies(host), replies);
}

TEST(EngineEffects, EachEffectAloneBoxesNotTickedAndListsWithoutAChoice) {
    std::vector<Ev> horn;
    for (long ms = 200; ms <= 1200; ms += 100) horn = Cat({horn, Press(ms, 66)});
    const std::vector<std::pair<const char*, std::vector<Ev>>> cases{
        {"0|1|0|0|31|26|", Cat({Burst(100), horn})},
        {"1|0|0|0|31|26|", Cat({Burst(100), Pulses(71, {500, 700, 900, 1100})})},
        {"0|0|1|0|31|26|", Cat({Burst(100), Pulses(57, {1100})})},
        {"0|0|0|0|31|26|", Burst(100)},
        {"2|2|2|0|31|26|", Burst(100)},  // greyed boxes do nothing
        // Lists without a choice send nothing and do not fail; without a start/stop key the
        // program never switches.
        {"1|1|1|0|-1|-1|", Cat({Burst(100), Pulses(57, {1100})})},
        {"1|1|1|-1|31|26|", {}},
    };
    for (const auto& [line, events] : cases) {
        Window w;
        w.Load(DataFile(line));
        w.host.PlayerTap(kDelete, 0.05, 0.1);  // held over the poll at 0.1 s
        w.host.RunUntil(1.25);
        EXPECT_EQ(Timeline(w.host), events) << line;
    }
}

TEST_F(Engine, ChangesWhileRunningTakeEffectAtTheNextTick) {
    Load(DataFile("0|0|0|0|31|26|"));
    host.PlayerTap(kDelete, 0.05, 0.03);  // between two polls: on at 0.1 s
    host.At(0.25, [&] {
        host.SetValue(Control::cbSiren, 1);
        host.SetListIndex(Control::cboSiren, 25);  // "A"
    });
    host.At(0.45, [&] { host.SetValue(Control::cbSiren, 0); });
    host.RunUntil(0.7);
    EXPECT_EQ(Timeline(host), Cat({Burst(100), Press(300, 65), Press(400, 65)}));
}

TEST(EngineRelease, TheChosenKeysAreReleasedOnceEachBesidesTheFixedThree) {
    const std::vector<std::pair<const char*, std::vector<int>>> cases{
        {"1|1|0|0|31|26|", {}},       {"1|1|0|0|25|26|", {65}}, {"1|1|0|0|31|27|", {67}},
        {"1|1|0|0|28|29|", {68, 69}}, {"1|1|0|0|28|28|", {68}}, {"1|1|0|0|26|31|", {}},
        {"1|1|0|0|-1|-1|", {}}};
    for (const auto& [line, others] : cases) {
        Window w;
        w.Load(DataFile(line));
        ToggleRunning(w.host);
        EXPECT_EQ(Timeline(w.host), Burst(0, others)) << line;
    }
}

TEST_F(Engine, StartKeyTogglesOncePerPressHoweverLongOrShort) {
    Load(DataFile("0|0|0|0|31|26|"));
    host.PlayerTap(kDelete, 0.05, 2.0);   // held for twenty polls
    host.PlayerTap(kDelete, 2.61, 0.05);  // a tap between two polls
    host.PlayerTap(kDelete, 2.75, 0.04);
    host.PlayerTap(kDelete, 2.82, 0.18);  // down again before the next poll
    host.RunUntil(3.2);
    EXPECT_EQ(Timeline(host), Cat({Burst(100), Burst(2700), Burst(2800), Burst(2900)}));
}

TEST_F(Engine, TheProgramsOwnKeysNeverSwitchItOnOrOff) {
    // Backspace as the start/stop key: the program presses it all the time; only the
    // player's two taps switch (one 0 key press a switch).
    Load(DataFile("1|1|1|4|31|26|"));
    host.PlayerTap(kBackspaceCode, 0.05, 0.03);
    host.PlayerTap(kBackspaceCode, 3.01, 0.02);
    host.RunUntil(4.0);
    std::vector<long> switches;
    for (const Ev& e : Timeline(host))
        if (e.vk == 48) switches.push_back(e.ms);
    EXPECT_EQ(switches, (std::vector<long>{100, 3100}));
}

TEST_F(Engine, AnyOtherStatusTextSendsTheBurstAndStaysPut) {
    Load(DataFile("1|1|1|0|31|26|"));
    host.SetCaption(Control::lblStatus, "running");
    host.PlayerTap(kDelete, 0.05, 0.03);
    // Neither a start nor a stop switches from a state that is neither; a toggle does.
    for (Command command : {Command::Start, Command::Stop, Command::Toggle})
        host.CommandAt(0.25, command);
    host.RunUntil(0.6);
    EXPECT_EQ(Timeline(host), Cat({Burst(100), Burst(300)}));
    EXPECT_EQ(host.Caption(Control::lblStatus), "running");
    EXPECT_FALSE(host.TimerEnabled(Timer::tmSiren));
}

TEST(EngineClose, ClosingReleasesHeldKeysWhileRunningAndTheTickFinishes) {
    // The close comes inside a flash press's hold. A save that fails keeps the close in its
    // message box for a second: no tick acts meanwhile, not the horn, nor a start/stop
    // press. The flash tick may also run from the event loop before it waits, when the
    // program was held up until the tick fell due. Either way the interrupted tick
    // finishes, nothing ticks after it, and the event loop ends.
    for (const auto& [saveFails, fromTheLoop] :
         {std::pair{false, false}, std::pair{true, false}, std::pair{false, true}}) {
        Window w;
        const std::string line = "1|1|0|0|28|27|";
        w.Load(line + "\r\n");
        w.host.PlayerTap(kDelete, 0.05, 0.03);
        w.host.PlayerTap(kDelete, 0.85, 0.03);
        if (saveFails) w.host.writeFailure = "No space left on device";
        w.host.At(0.55, [&] { w.host.RequestClose(); });
        w.host.CommandAt(0.65, Command::Toggle);  // never taken: the window is closing
        if (fromTheLoop) {
            w.host.RunUntil(0.45);
            w.host.Stall(0.05);
            EXPECT_EQ(w.host.RunEventLoop(), 0);
        } else {
            w.host.RunUntil(2.5);
        }
        const long resumed = saveFails ? 1550 : 600;  // the hold ends once the close returns
        // clang-format off
        EXPECT_EQ(Timeline(w.host), Cat({
            Burst(100, {68, 67}), Press(200, 67), Press(300, 67), Press(400, 67),
            Press(500, 68), Press(500, 67), Release(550, {68, 67}),
            Up(resumed, 68), Press(resumed + 100, 68), Up(resumed + 200, 68)}))  // no tick after
            << "save fails " << saveFails << ", from the loop " << fromTheLoop;
        // clang-format on
        EXPECT_EQ(w.host.MessageBoxes().size(), saveFails ? 1u : 0u);
        EXPECT_TRUE(w.host.Answers().empty());
        EXPECT_EQ(w.host.files["wigwag.cfg"], saveFails ? line + "\r\n" : DataFile(line));
    }

    Window stopped;
    stopped.Load(DataFile("1|1|1|0|31|26|"));
    stopped.host.RunUntil(0.5);
    stopped.host.RequestClose();
    EXPECT_TRUE(stopped.host.KeyEvents().empty());
}

}  // namespace
}  // namespace wigwag
