// The wheel button: a game controller's button that switches like the start/stop key.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture.h"
#include "platform/game_controllers.h"

namespace wigwag {
namespace {

constexpr std::uint8_t kDelete = 46;
constexpr GameButton kChosen{0x2a3b, 0x0c01, 18};
const std::string kChosenFile = DataFile("1|1|1|0|31|26|2a3b:0c01:18|");

std::string Caption(FakeHost& host) {
    return host.Caption(Control::cmdWheel);
}

// Switched on at 0.05 s and off at 1.36 s (inside a flash press's hold) by the key or by the
// button, in every pairing: the same key events at the same times.
TEST(Wheel, AButtonPressSwitchesExactlyLikeTheStartStopKey) {
    std::vector<std::vector<Ev>> timelines;
    for (const auto& [onByButton, offByButton] :
         {std::pair{false, false}, std::pair{true, true}, std::pair{false, true}}) {
        Window w;
        w.Load(kChosenFile);
        for (const auto& [at, byButton] : {std::pair{0.05, onByButton}, {1.36, offByButton}}) {
            if (byButton)
                w.host.ButtonPressAt(at, kChosen, "Sim Wheel");
            else
                w.host.PlayerTap(kDelete, at, 0.02);
        }
        w.host.RunUntil(2.5);
        timelines.push_back(Timeline(w.host));
        EXPECT_EQ(w.host.Caption(Control::lblStatus), "Not Running");
    }
    ASSERT_GT(timelines[0].size(), 40u);
    EXPECT_EQ(timelines[1], timelines[0]);
    EXPECT_EQ(timelines[2], timelines[0]);
}

TEST(Wheel, OnlyTheChosenButtonOfControllersWithItsIdsSwitchesOncePerPoll) {
    struct Press {
        double at;
        GameButton button;
    };
    const std::vector<Press> presses{
        {0.05, {0x2a3b, 0x0c01, 17}},  // another button
        {0.15, {0x2a3b, 0x0c02, 18}},  // another product
        {0.25, {0x2a3c, 0x0c01, 18}},  // another vendor
        {0.35, kChosen},               // switches on at 0.4 s
        {0.51, kChosen},               // two presses before one poll switch once, at 0.6 s
        {0.55, kChosen},
    };
    for (const auto& [file, switches] :
         {std::pair{kChosenFile, std::vector<long>{400, 600}},
          std::pair{DataFile("1|1|1|0|31|26|"), std::vector<long>{}}}) {
        Window w;
        w.Load(file);
        w.host.SetValue(Control::cbFlash, 0);
        w.host.SetValue(Control::cbSiren, 0);
        w.host.SetValue(Control::cbHazards, 0);
        for (std::size_t i = 0; i < presses.size(); ++i)
            w.host.ButtonPressAt(presses[i].at, presses[i].button, i == 4 ? "Twin" : "Wheel");
        w.host.RunUntil(0.8);
        std::vector<long> zeroKeys;
        for (const Ev& e : Timeline(w.host))
            if (e.vk == 48) zeroKeys.push_back(e.ms);
        EXPECT_EQ(zeroKeys, switches) << file;
    }
}

TEST_F(WindowTest, ChoosingTakesTheNextPressOfAnyControllerSwitchesNothingAndIsSaved) {
    host.controllers[{0x2a3b, 0x0c01}] = "Sim Button Box";
    Load(DataFile("0|0|0|0|31|26|"));
    EXPECT_EQ(Caption(host), "Set Wheel Button...");
    host.At(0.2, [&] { host.Click(Control::cmdWheel); });
    host.RunUntil(0.25);
    EXPECT_EQ(Caption(host), "Press a wheel button... 10");
    host.RunUntil(3.35);
    EXPECT_EQ(Caption(host), "Press a wheel button... 7");  // the seconds left, at each poll
    // Its name as the controller gives it, made printable; the file keeps only the ids.
    host.ButtonPressAt(3.45, {0x2a3b, 0x0c01, 18}, "Box|\xff\x01");
    host.RunUntil(3.55);
    EXPECT_EQ(Caption(host), "Button 18 \xC2\xB7 Box|\xEF\xBF\xBD");
    EXPECT_TRUE(host.KeyEvents().empty());
    host.ButtonPressAt(3.65, {0x2a3b, 0x0c01, 18}, "Box");
    host.RunUntil(3.75);
    EXPECT_EQ(Timeline(host), Burst(3700));
    host.RequestClose();
    EXPECT_EQ(host.files["wigwag.cfg"], DataFile("0|0|0|0|31|26|2a3b:0c01:18|"));
}

TEST_F(WindowTest, ChoosingEndsAfterTenSecondsOrASecondClickAndClearForgetsTheButton) {
    Load(kChosenFile);  // its controller is not connected: the ids stand for its name
    const std::string chosen = "Button 18 \xC2\xB7 2a3b:0c01";
    EXPECT_EQ(Caption(host), chosen);
    host.SetValue(Control::cbFlash, 0);
    host.SetValue(Control::cbSiren, 0);
    host.SetValue(Control::cbHazards, 0);
    // A press that came before the click switches; it is not the choice.
    host.ButtonPressAt(0.15, kChosen, "Wheel");
    host.At(0.18, [&] { host.Click(Control::cmdWheel); });
    host.RunUntil(10.15);
    EXPECT_EQ(Caption(host), "Press a wheel button... 1");
    host.RunUntil(10.25);
    EXPECT_EQ(Caption(host), chosen);  // gave up at the poll after 10.18 s
    host.ButtonPressAt(10.35, {0x2a3b, 0x0c01, 5}, "Wheel");
    host.At(11.0, [&] { host.Click(Control::cmdWheel); });
    host.At(11.5, [&] { host.Click(Control::cmdWheel); });
    host.ButtonPressAt(11.65, {0x2a3b, 0x0c01, 5}, "Wheel");
    host.RunUntil(11.75);
    EXPECT_EQ(Caption(host), chosen);
    host.ButtonPressAt(11.85, kChosen, "Wheel");  // still the chosen one: switches off
    host.At(12.0, [&] { host.Click(Control::cmdClear); });
    host.ButtonPressAt(12.05, kChosen, "Wheel");
    host.RunUntil(12.5);
    EXPECT_EQ(Caption(host), "Set Wheel Button...");
    std::vector<long> zeroKeys;
    for (const Ev& e : Timeline(host))
        if (e.vk == 48) zeroKeys.push_back(e.ms);
    EXPECT_EQ(zeroKeys, (std::vector<long>{180, 11900}));
    host.RequestClose();
    EXPECT_EQ(host.files["wigwag.cfg"], DataFile("0|0|0|0|31|26|"));
}

// Names come from the device: any bytes. They are shown, never stored.
TEST(Wheel, ControllerNamesAreShownAsValidPrintableText) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"Sim Wheel \xF0\x9F\x9A\x93 Pro", "Sim Wheel \xF0\x9F\x9A\x93 Pro"},  // kept whole
        {"  Box\t1\r\n", "Box 1"},                                             // controls, trimmed
        {"A\xC2\x85"
         "B\x7F",
         "A B"},  // C1 control and DEL
        {"\xC0\x80|\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
        {"Pad \xE2\x82", "Pad \xEF\xBF\xBD\xEF\xBF\xBD"},                          // cut short
        {"\x01\x02", ""},
    };
    for (const auto& [raw, shown] : cases) EXPECT_EQ(PrintableName(raw), shown) << raw;
    GameController box{
        0x2a3b, 0x0c01, "Box\n2", 300, false, "/dev/input/event7", "Permission denied"};
    EXPECT_EQ(ControllerLine(box),
              "2a3b:0c01  Box 2  300 buttons  cannot be read: Permission "
              "denied  (/dev/input/event7)");
    EXPECT_EQ(ControllerLine({0x0001, 0xfffe, "", 1, true, "", ""}),
              "0001:fffe  (no name)  1 button  readable");
}

}  // namespace
}  // namespace wigwag
