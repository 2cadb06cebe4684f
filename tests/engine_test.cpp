#include <gtest/gtest.h>

#include <optional>

#include "engine/engine.h"
#include "fixture.h"
#include "keys/key_table.h"

namespace wigwag {
namespace {

constexpr std::uint8_t kDelete = 46;

std::vector<Ev> Burst(long ms, std::vector<int> alsoUp = {}) {
    std::vector<Ev> out{{ms, 66, '^'}, {ms, 71, '^'}, {ms, 57, '^'}};
    for (int vk : alsoUp) out.push_back({ms, vk, '^'});
    return Cat({out, Press(ms, 48)});
}

// A 0.1 s press at each of the times.
std::vector<Ev> Pulses(int vk, std::initializer_list<long> at) {
    std::vector<Ev> out;
    for (long ms : at) out = Cat({out, Press(ms, vk), Up(ms + 100, vk)});
    return out;
}

class Engine : public WindowTest {
  protected:
    // Loads these settings; the player taps the start/stop key between two polls, so the
    // program switches on at 0.1 s.
    void StartAt100ms(const std::string& line, std::uint8_t startKey = kDelete) {
        Load(DataFile(line));
        host.PlayerTap(startKey, 0.05, 0.03);
        host.RunUntil(0.1);
    }
    bool Running() { return host.Caption(Control::lblStatus) == "Running"; }
};

// How the player switches on at 0.05 s and off at 1.36 s (inside a flash press's hold):
// the start/stop key, or commands from another start of the program. Each is seen by the
// next poll, at 0.1 s and 1.4 s.
struct Switching {
    const char* name;
    std::optional<Command> on, off;  // nothing: a tap of the start/stop key
    std::vector<Reply> replies;
};

TEST(EngineRun, TheWholeRunFromSwitchOnToSwitchOffByKeyOrCommand) {
    const std::vector<Switching> cases{
        {"key, key", {}, {}, {}},
        {"toggle, toggle",
         Command::Toggle,
         Command::Toggle,
         {{100, Command::Toggle, "Running"}, {1400, Command::Toggle, "Not Running"}}},
        {"start, stop",
         Command::Start,
         Command::Stop,
         {{100, Command::Start, "Running"}, {1400, Command::Stop, "Not Running"}}},
        {"key, stop", {}, Command::Stop, {{1400, Command::Stop, "Not Running"}}},
    };
    for (const Switching& c : cases) {
        Window w;
        w.Load(DataFile("1|1|1|0|31|26|"));
        for (const auto& [at, command] : {std::pair{0.05, c.on}, std::pair{1.36, c.off}}) {
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
            Press(1500, 71), Up(1600, 71)})) << c.name;
        // clang-format on
        EXPECT_EQ(Replies(w.host), c.replies) << c.name;
        EXPECT_EQ(w.host.Caption(Control::lblStatus), "Not Running") << c.name;
        EXPECT_FALSE(w.host.TimerEnabled(Timer::tmFlash) || w.host.TimerEnabled(Timer::tmSiren) ||
                     w.host.TimerEnabled(Timer::tmHazards))
            << c.name;
    }
}

TEST_F(Engine, CommandsSwitchOnlyWhenTheyChangeTheStateEvenWithoutAStartStopKey) {
    Load(DataFile("0|0|0|-1|31|26|"));  // no start/stop key chosen, no effect ticked
    for (const auto& [at, command] : std::vector<std::pair<double, Command>>{
             {0.05, Command::Stop},  // already stopped: nothing sent
             {0.06, Command::Status},
             {0.15, Command::Start},
             {0.16, Command::Start},  // already running by the time it is taken
             {0.25, Command::Status},
             {0.35, Command::Toggle},  // two in one poll: both switch, in the order they came
             {0.36, Command::Toggle},
             {0.45, Command::Stop}})
        host.CommandAt(at, command);
    host.RunUntil(0.6);
    EXPECT_EQ(Timeline(host), Cat({Burst(200), Burst(400), Burst(400), Burst(500)}));
    EXPECT_EQ(Replies(host), (std::vector<Reply>{{100, Command::Stop, "Not Running"},
                                                 {100, Command::Status, "Not Running"},
                                                 {200, Command::Start, "Running"},
                                                 {200, Command::Start, "Running"},
                                                 {300, Command::Status, "Running"},
                                                 {400, Command::Toggle, "Not Running"},
                                                 {400, Command::Toggle, "Running"},
                                                 {500, Command::Stop, "Not Running"}}));
}

TEST_F(Engine, EachEffectAloneAndCheckBoxesThatAreNotTicked) {
    std::vector<Ev> horn;
    for (long ms = 200; ms <= 1200; ms += 100) horn = Cat({horn, Press(ms, 66)});
    const std::vector<std::pair<const char*, std::vector<Ev>>> cases{
        {"0|1|0|0|31|26|", horn},
        {"1|0|0|0|31|26|", Pulses(71, {500, 700, 900, 1100})},
        {"0|0|1|0|31|26|", Pulses(57, {1100})},
        {"0|0|0|0|31|26|", {}},
        {"2|2|2|0|31|26|", {}},  // greyed boxes do nothing
    };
    for (const auto& [line, events] : cases) {
        Window w;
        w.Load(DataFile(line));
        w.host.PlayerTap(kDelete, 0.05, 0.03);
        w.host.RunUntil(1.25);
        EXPECT_EQ(Timeline(w.host), Cat({Burst(100), events})) << line;
    }
}

TEST_F(Engine, ChangesWhileRunningTakeEffectAtTheNextTick) {
    StartAt100ms("0|0|0|0|31|26|");
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
    host.At(0.05, [&] { host.PlayerKeyDown(kDelete); });
    host.At(2.05, [&] { host.PlayerKeyUp(kDelete); });  // held for twenty polls
    host.PlayerTap(kDelete, 2.61, 0.05);                // a tap between two polls
    host.At(2.75, [&] { host.PlayerKeyDown(kDelete); });
    host.At(2.79, [&] { host.PlayerKeyUp(kDelete); });
    host.At(2.82, [&] { host.PlayerKeyDown(kDelete); });  // down again before the next poll
    host.At(3.0, [&] { host.PlayerKeyUp(kDelete); });
    host.RunUntil(3.2);
    EXPECT_EQ(Timeline(host), Cat({Burst(100), Burst(2700), Burst(2800), Burst(2900)}));
}

TEST_F(Engine, TheProgramsOwnKeysNeverSwitchItOnOrOff) {
    // Backspace as the start/stop key: the program presses it all the time; only the
    // player's two taps switch (one 0 key press a switch).
    host.PlayerTap(kBackspaceCode, 3.01, 0.02);
    StartAt100ms("1|1|1|4|31|26|", kBackspaceCode);
    host.RunUntil(4.0);
    std::vector<long> switches;
    for (const Ev& e : Timeline(host))
        if (e.vk == 48) switches.push_back(e.ms);
    EXPECT_EQ(switches, (std::vector<long>{100, 3100}));
}

TEST_F(Engine, ListsWithoutAChoiceSendNothingAndDoNotFail) {
    StartAt100ms("1|1|1|0|-1|-1|");
    host.RunUntil(1.25);
    EXPECT_EQ(Timeline(host), Cat({Burst(100), Pulses(57, {1100})}));

    Window w;
    w.Load(DataFile("1|1|1|-1|31|26|"));
    w.host.PlayerTap(kDelete, 0.05, 0.1);
    w.host.RunUntil(1.0);
    EXPECT_TRUE(w.host.KeyEvents().empty());
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
    struct Case {
        bool saveFails, fromTheLoop;
    };
    for (const Case c : {Case{false, false}, Case{true, false}, Case{false, true}}) {
        Window w;
        const std::string line = "1|1|0|0|28|27|";
        w.Load(line + "\r\n");
        w.host.PlayerTap(kDelete, 0.05, 0.03);
        w.host.PlayerTap(kDelete, 0.85, 0.03);
        if (c.saveFails) w.host.writeFailure = "No space left on device";
        w.host.At(0.55, [&] { w.host.RequestClose(); });
        w.host.CommandAt(0.65, Command::Toggle);  // never taken: the window is closing
        if (c.fromTheLoop) {
            w.host.RunUntil(0.45);
            w.host.Stall(0.05);
            EXPECT_EQ(w.host.RunEventLoop(), 0);
        } else {
            w.host.RunUntil(2.5);
        }
        const long resumed = c.saveFails ? 1550 : 600;  // the hold ends once the close returns
        EXPECT_EQ(
            Timeline(w.host),
            Cat({Burst(100, {68, 67}),
                 Press(200, 67),
                 Press(300, 67),
                 Press(400, 67),
                 Press(500, 68),
                 Press(500, 67),
                 {{550, 66, '^'}, {550, 71, '^'}, {550, 57, '^'}, {550, 68, '^'}, {550, 67, '^'}},
                 Up(resumed, 68),
                 Press(resumed + 100, 68),
                 Up(resumed + 200, 68)}))  // no tick after the close
            << "save fails " << c.saveFails << ", from the loop " << c.fromTheLoop;
        EXPECT_EQ(w.host.MessageBoxes().size(), c.saveFails ? 1u : 0u);
        EXPECT_TRUE(w.host.Answers().empty());
        EXPECT_EQ(w.host.files["wigwag.cfg"], c.saveFails ? line + "\r\n" : DataFile(line));
    }

    Window stopped;
    stopped.Load(DataFile("1|1|1|0|31|26|"));
    stopped.host.RunUntil(0.5);
    stopped.host.RequestClose();
    EXPECT_TRUE(stopped.host.KeyEvents().empty());
}

}  // namespace
}  // namespace wigwag
