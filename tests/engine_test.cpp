#include <gtest/gtest.h>

#include "engine/engine.h"
#include "fixture.h"
#include "keys/key_table.h"

namespace wigwag {
namespace {

// A 0.1 s press at each of the times.
std::vector<Ev> Pulses(int vk, std::initializer_list<long> at) {
    std::vector<Ev> out;
    for (long ms : at) out = Cat({out, Press(ms, vk), Up(ms + 100, vk)});
    return out;
}

using Engine = WindowTest;

// The player switches on at 0.05 s by a tap of the start/stop key and off at 1.36 s (inside a
// flash press's hold) by the wheel button, which the status asked with it then reports.
TEST_F(Engine, TheWholeRunFromSwitchOnToSwitchOff) {
    Load(DataFile("1|1|1|0|31|26|2a3b:0c01:18|"));
    host.PlayerTap(kDelete, 0.05, 0.02);
    host.ButtonPressAt(1.36, {0x2a3b, 0x0c01, 18}, "Wheel");
    host.CommandAt(1.37, Command::Status);
    host.RunUntil(2.5);
    // clang-format off
    EXPECT_EQ(Timeline(host), Cat({
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
    EXPECT_EQ(Replies(host), (std::vector<Reply>{{1400, Command::Status, "Not Running"}}));
    EXPECT_EQ(host.Caption(Control::lblStatus), "Not Running");
    EXPECT_FALSE(host.TimerEnabled(Timer::tmFlash) || host.TimerEnabled(Timer::tmSiren) ||
                 host.TimerEnabled(Timer::tmHazards));
}

TEST_F(Engine, CommandsSwitchOnlyWhenTheyChangeTheStateEvenWithoutAStartStopKey) {
    Load(DataFile("0|0|0|-1|31|26|"));
    // Each command as it comes, and its answer at the next poll.
    const std::vector<std::pair<double, Reply>> commands{
        {0.05, {100, Command::Stop, "Not Running"}},  // already stopped: nothing sent
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
        {"2|2|2|0|31|26|", Burst(100)},  // greyed boxes do nothing
        {"1|1|1|0|-1|-1|", Cat({Burst(100), Pulses(57, {1100})})},
        {"1|1|1|-1|31|26|", {}},  // no start/stop key: never switches
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
        {"1|1|0|0|25|26|", {65}}, {"1|1|0|0|31|27|", {67}}, {"1|1|0|0|28|29|", {68, 69}},
        {"1|1|0|0|28|28|", {68}}, {"1|1|0|0|26|31|", {}},   {"1|1|0|0|-1|-1|", {}}};
    for (const auto& [line, others] : cases) {
        Window w;
        w.Load(DataFile(line));
        bool running = false;
        ToggleRunning(w.host, running);
        EXPECT_EQ(Timeline(w.host), Burst(0, others)) << line;
    }
}

TEST_F(Engine, StartKeyTogglesOncePerPlayersPressHoweverLongNeverForTheProgramsOwn) {
    Load(DataFile("1|1|1|4|31|26|"));            // Backspace: the program presses it with every key
    host.PlayerTap(kBackspaceCode, 0.05, 2.0);   // held for twenty polls
    host.PlayerTap(kBackspaceCode, 2.61, 0.05);  // a tap between two polls
    host.PlayerTap(kBackspaceCode, 2.75, 0.04);
    host.PlayerTap(kBackspaceCode, 2.82, 0.18);  // down again before the next poll
    host.RunUntil(4.0);
    EXPECT_EQ(Switches(host), (std::vector<long>{100, 2700, 2800, 2900}));
}

// The close comes inside a flash press's hold, kept a second by a failed save's message box
// or with the tick run from the event loop: the tick finishes and nothing ticks after it.
TEST(EngineClose, ClosingReleasesHeldKeysWhileRunningAndTheTickFinishes) {
    for (const auto& [saveFails, fromTheLoop] :
         {std::pair{false, false}, std::pair{true, false}, std::pair{false, true}}) {
        SCOPED_TRACE(testing::Message() << "save fails " << saveFails << ", loop " << fromTheLoop);
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
        EXPECT_EQ(Timeline(w.host),
                  Cat({Burst(100, {68, 67}), Press(200, 67), Press(300, 67), Press(400, 67),
                       Press(500, 68), Press(500, 67), Release(550, {68, 67}), Up(resumed, 68),
                       Press(resumed + 100, 68), Up(resumed + 200, 68)}));
        EXPECT_EQ(w.host.MessageBoxes().size(), saveFails ? 1u : 0u);
        EXPECT_TRUE(w.host.Answers().empty());
        EXPECT_EQ(w.host.files["wigwag.cfg"], saveFails ? line + "\r\n" : DataFile(line));
    }
}

}  // namespace
}  // namespace wigwag
