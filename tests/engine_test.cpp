#include <gtest/gtest.h>

#include "engine/engine.h"
#include "fixture.h"
#include "keys/key_table.h"

namespace wigwag {
namespace {

constexpr std::uint8_t kDelete = 46;

std::vector<Ev> Burst(long ms) {
    return {{ms, 66, '^'}, {ms, 71, '^'}, {ms, 57, '^'}, {ms, 48, 'v'}, {ms, 8, 'v'}};
}

class Engine : public WindowTest {
  protected:
    // Loads the window with these settings and has the player tap the start/stop key
    // (Delete unless the file says otherwise) between two polls, so it switches at 0.1 s.
    void StartAt100ms(const std::string& line, std::uint8_t startKey = kDelete) {
        Load(DataFile(line));
        host.PlayerTap(startKey, 0.05, 0.03);
        host.RunUntil(0.1);
    }
    bool Running() { return host.Caption(Control::lblStatus) == "Running"; }
    bool EffectTimers(bool on) {
        return host.TimerEnabled(Timer::tmFlash) == on && host.TimerEnabled(Timer::tmSiren) == on &&
               host.TimerEnabled(Timer::tmHazards) == on;
    }
};

TEST_F(Engine, TheWholeRunFromSwitchOnToSwitchOff) {
    // Off again by a tap that the poll at 1.4 s sees, inside the hold of a flash press.
    host.PlayerTap(kDelete, 1.36, 0.02);
    StartAt100ms("1|1|1|0|31|26|");
    host.RunUntil(2.5);
    EXPECT_EQ(Timeline(host),
              Cat({
                  Burst(100),      Press(200, 66),
                  Press(300, 66),  Press(400, 66),
                  Press(500, 71),  Press(500, 66),    // flash, and the horn inside its hold
                  Press(600, 66),  {{600, 71, '^'}},  // horn tick due as the hold ends
                  Press(700, 66),  Press(700, 71),    // horn in the gap, second press
                  Press(800, 66),  {{800, 71, '^'}},
                  Press(900, 71),  Press(900, 66),
                  Press(1000, 66), {{1000, 71, '^'}},
                  Press(1100, 66), Press(1100, 57),  // hazards, inside the flash's gap
                  Press(1200, 66), {{1200, 57, '^'}},
                  Press(1200, 71),  // the gap ends when hazards return
                  Press(1300, 66), {{1300, 71, '^'}},
                  Press(1300, 71),                     // the flash tick that fell due meanwhile
                  Burst(1400),     {{1400, 71, '^'}},  // off; the flash tick ends its presses
                  Press(1500, 71), {{1600, 71, '^'}},
              }));
    EXPECT_FALSE(Running());
    EXPECT_TRUE(EffectTimers(false));
}

TEST_F(Engine, EachEffectAlone) {
    struct Case {
        const char* line;
        std::vector<Ev> afterBurst;  // up to 1.25 s
    };
    const std::vector<Case> cases{
        {"0|1|0|0|31|26|", Cat({Press(200, 66), Press(300, 66), Press(400, 66), Press(500, 66),
                                Press(600, 66), Press(700, 66), Press(800, 66), Press(900, 66),
                                Press(1000, 66), Press(1100, 66), Press(1200, 66)})},
        {"1|0|0|0|31|26|", Cat({Press(500, 71),
                                {{600, 71, '^'}},
                                Press(700, 71),
                                {{800, 71, '^'}},
                                Press(900, 71),
                                {{1000, 71, '^'}},
                                Press(1100, 71),
                                {{1200, 71, '^'}}})},
        {"0|0|1|0|31|26|", Cat({Press(1100, 57), {{1200, 57, '^'}}})},
        {"0|0|0|0|31|26|", {}},
        {"2|2|2|0|31|26|", {}},  // greyed boxes do nothing
    };
    for (const Case& c : cases) {
        Window w;
        w.Load(DataFile(c.line));
        FakeHost& h = w.host;
        h.PlayerTap(kDelete, 0.05, 0.03);
        h.RunUntil(1.25);
        EXPECT_EQ(Timeline(h), Cat({Burst(100), c.afterBurst})) << c.line;
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

TEST_F(Engine, SwitchingOffReleasesTheChosenKeysToo) {
    struct Case {
        const char* line;
        std::vector<Ev> releases;
    };
    const std::vector<Case> cases{
        {"1|1|0|0|31|26|", {}},                            // defaults: the fixed three
        {"1|1|0|0|25|26|", {{0, 65, '^'}}},                // flash on "A"
        {"1|1|0|0|31|27|", {{0, 67, '^'}}},                // horn on "C"
        {"1|1|0|0|28|29|", {{0, 68, '^'}, {0, 69, '^'}}},  // both others
        {"1|1|0|0|28|28|", {{0, 68, '^'}}},                // the same key once
        {"1|1|0|0|26|31|", {}},                            // swapped defaults
        {"1|1|0|0|-1|-1|", {}},                            // no choice: nothing to release
    };
    for (const Case& c : cases) {
        Window w;
        w.Load(DataFile(c.line));
        FakeHost& h = w.host;
        ReleaseEffectKeys(h);
        std::vector<Ev> expected{{0, 66, '^'}, {0, 71, '^'}, {0, 57, '^'}};
        expected.insert(expected.end(), c.releases.begin(), c.releases.end());
        EXPECT_EQ(Timeline(h), expected) << c.line;
    }
}

TEST_F(Engine, ANonDefaultHornKeyIsReleasedBeforeTheZeroKey) {
    StartAt100ms("0|1|0|0|31|27|");
    host.RunUntil(0.25);
    host.PlayerTap(kDelete, 0.27, 0.01);
    host.RunUntil(0.45);
    EXPECT_EQ(Timeline(host), Cat({{{100, 66, '^'}, {100, 71, '^'}, {100, 57, '^'}, {100, 67, '^'}},
                                   Press(100, 48),
                                   Press(200, 67),
                                   {{300, 66, '^'}, {300, 71, '^'}, {300, 57, '^'}, {300, 67, '^'}},
                                   Press(300, 48)}));
}

TEST_F(Engine, StartKeyTogglesOncePerPressHoweverLongItIsHeld) {
    Load(DataFile("0|0|0|0|31|26|"));
    host.At(0.05, [&] { host.PlayerKeyDown(kDelete); });
    host.At(2.05, [&] { host.PlayerKeyUp(kDelete); });
    host.RunUntil(2.5);
    EXPECT_EQ(Timeline(host), Burst(100));
    EXPECT_TRUE(Running());

    // Taps shorter than a poll are not missed, and each press counts once.
    host.ClearKeyEvents();
    host.PlayerTap(kDelete, 2.61, 0.05);
    host.At(2.75, [&] { host.PlayerKeyDown(kDelete); });
    host.At(2.79, [&] { host.PlayerKeyUp(kDelete); });
    host.At(2.82, [&] { host.PlayerKeyDown(kDelete); });
    host.At(3.0, [&] { host.PlayerKeyUp(kDelete); });
    host.RunUntil(3.2);
    EXPECT_EQ(Timeline(host), Cat({Burst(2700), Burst(2800), Burst(2900)}));
    EXPECT_FALSE(Running());
}

TEST_F(Engine, TheProgramsOwnKeysNeverSwitchItOnOrOff) {
    // Backspace as the start/stop key: every press the program makes also presses it. Only
    // the player's two taps switch, each once: one 0 key press a switch.
    host.PlayerTap(kBackspaceCode, 3.01, 0.02);
    StartAt100ms("1|1|1|4|31|26|", kBackspaceCode);
    host.RunUntil(4.0);
    std::vector<long> switches;
    for (const Ev& e : Timeline(host))
        if (e.vk == 48) switches.push_back(e.ms);
    EXPECT_EQ(switches, (std::vector<long>{100, 3100}));
    EXPECT_FALSE(Running());
}

TEST_F(Engine, ListsWithoutAChoiceSendNothingAndDoNotFail) {
    StartAt100ms("1|1|1|0|-1|-1|");
    host.RunUntil(1.25);
    EXPECT_EQ(Timeline(host), Cat({Burst(100), Press(1100, 57), {{1200, 57, '^'}}}));

    Window w;
    w.Load(DataFile("1|1|1|-1|31|26|"));
    FakeHost& h = w.host;
    h.PlayerTap(kDelete, 0.05, 0.1);
    h.RunUntil(1.0);
    EXPECT_TRUE(h.KeyEvents().empty());
    EXPECT_EQ(h.Caption(Control::lblStatus), "Not Running");
}

TEST_F(Engine, AnyOtherStatusTextSendsTheBurstAndStaysPut) {
    Load(DataFile("1|1|1|0|31|26|"));
    host.SetCaption(Control::lblStatus, "running");
    host.PlayerTap(kDelete, 0.05, 0.03);
    host.RunUntil(0.6);
    EXPECT_EQ(Timeline(host), Burst(100));
    EXPECT_EQ(host.Caption(Control::lblStatus), "running");
    EXPECT_TRUE(EffectTimers(false));
}

TEST_F(Engine, ClosingWhileRunningReleasesTheKeysAndTheTickFinishes) {
    StartAt100ms("1|1|0|0|28|27|");
    host.At(0.55, [&] { host.RequestClose(); });
    host.RunUntil(1.5);
    EXPECT_EQ(Timeline(host),
              Cat({{{100, 66, '^'}, {100, 71, '^'}, {100, 57, '^'}, {100, 68, '^'}, {100, 67, '^'}},
                   Press(100, 48),
                   Press(200, 67),
                   Press(300, 67),
                   Press(400, 67),
                   Press(500, 68),
                   Press(500, 67),
                   // the close inside the hold: the key-ups, no 0 key
                   {{550, 66, '^'}, {550, 71, '^'}, {550, 57, '^'}, {550, 68, '^'}, {550, 67, '^'}},
                   // the flash tick still ends its presses; no tick after the close
                   {{600, 68, '^'}},
                   Press(700, 68),
                   {{800, 68, '^'}}}));
    EXPECT_FALSE(host.WindowExists());
    EXPECT_EQ(host.files["wigwag.cfg"], DataFile("1|1|0|0|28|27|"));
}

TEST_F(Engine, ClosingWhileStoppedSendsNothing) {
    Load(DataFile("1|1|1|0|31|26|"));
    host.RunUntil(0.5);
    host.RequestClose();
    host.RunUntil(1.0);
    EXPECT_TRUE(host.KeyEvents().empty());
}

}  // namespace
}  // namespace wigwag
