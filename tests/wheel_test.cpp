// The wheel button: a game controller's button that switches like the start/stop key (the
// whole run switched by it is in engine_test.cpp).
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "fixture.h"
#include "platform/game_controllers.h"

namespace wigwag {
namespace {

constexpr GameButton kChosen{0x2a3b, 0x0c01, 18};
const std::string kChosenFile = DataFile("0|0|0|0|31|26|2a3b:0c01:18|");

TEST(Wheel, OnlyTheChosenButtonOfControllersWithItsIdsSwitchesOncePerPoll) {
    const std::vector<std::pair<double, GameButton>> presses{
        {0.05, {0x2a3b, 0x0c01, 17}},  // another button
        {0.15, {0x2a3b, 0x0c02, 18}},  // another product
        {0.25, {0x2a3c, 0x0c01, 18}},  // another vendor
        {0.35, kChosen},               // switches on at 0.4 s
        {0.51, kChosen},               // two presses before one poll switch once, at 0.6 s
        {0.55, kChosen},
    };
    for (const auto& [file, switches] :
         {std::pair{kChosenFile, std::vector<long>{400, 600}},
          std::pair{DataFile("0|0|0|0|31|26|"), std::vector<long>{}}}) {
        Window w;
        w.Load(file);
        for (std::size_t i = 0; i < presses.size(); ++i)
            w.host.ButtonPressAt(presses[i].first, presses[i].second, i == 4 ? "Twin" : "Wheel");
        w.host.RunUntil(0.8);
        EXPECT_EQ(Switches(w.host), switches) << file;
    }
}

TEST_F(WindowTest, ChoosingTakesTheNextPressOfAnyControllerSwitchesNothingAndIsSaved) {
    host.controllers[{0x2a3b, 0x0c01}] = "Sim Button Box";
    Load(DataFile("0|0|0|0|31|26|"));
    EXPECT_EQ(host.Caption(Control::cmdWheel), "Set Wheel Button...");
    host.At(0.2, [&] { host.Click(Control::cmdWheel); });
    host.RunUntil(0.25);
    EXPECT_EQ(host.Caption(Control::cmdWheel), "Press a wheel button... 10");
    host.RunUntil(3.35);
    EXPECT_EQ(host.Caption(Control::cmdWheel), "Press a wheel button... 7");
    // Its name as the controller gives it, made printable; the file keeps only the ids.
    host.ButtonPressAt(3.45, kChosen, "Box|\xff\x01");
    host.RunUntil(3.55);
    EXPECT_EQ(host.Caption(Control::cmdWheel), "Button 18 \xC2\xB7 Box|\xEF\xBF\xBD");
    EXPECT_TRUE(host.KeyEvents().empty());
    host.ButtonPressAt(3.65, kChosen, "Box");
    host.RunUntil(3.75);
    EXPECT_EQ(Timeline(host), Burst(3700));
    host.RequestClose();
    EXPECT_EQ(host.files["wigwag.cfg"], kChosenFile);
}

TEST_F(WindowTest, ChoosingEndsAfterTenSecondsOrASecondClickAndClearForgetsTheButton) {
    Load(DataFile("1|0|0|0|31|26|2a3b:0c01:18|"));  // its controller is not connected
    const std::string chosen = "Button 18 \xC2\xB7 2a3b:0c01";
    EXPECT_EQ(host.Caption(Control::cmdWheel), chosen);
    // A press that came before the click switches; it is not the choice.
    host.ButtonPressAt(0.15, kChosen, "Wheel");
    host.At(0.18, [&] { host.Click(Control::cmdWheel); });
    host.RunUntil(10.15);
    EXPECT_EQ(host.Caption(Control::cmdWheel), "Press a wheel button... 1");
    host.RunUntil(10.25);
    EXPECT_EQ(host.Caption(Control::cmdWheel), chosen);  // gave up at the poll after 10.18 s
    host.ButtonPressAt(10.35, {0x2a3b, 0x0c01, 5}, "Wheel");
    host.At(11.0, [&] { host.Click(Control::cmdWheel); });
    host.At(11.5, [&] { host.Click(Control::cmdWheel); });
    host.ButtonPressAt(11.65, {0x2a3b, 0x0c01, 5}, "Wheel");
    host.RunUntil(11.75);
    EXPECT_EQ(host.Caption(Control::cmdWheel), chosen);
    host.ButtonPressAt(11.85, kChosen, "Wheel");  // still the chosen one: switches off
    host.At(12.0, [&] { host.Click(Control::cmdClear); });
    host.ButtonPressAt(12.05, kChosen, "Wheel");
    host.RunUntil(12.5);
    EXPECT_EQ(host.Caption(Control::cmdWheel), "Set Wheel Button...");
    EXPECT_EQ(Switches(host), (std::vector<long>{180, 11900}));
    host.SetValue(Control::cbFlash, 0);
    host.RequestClose();
    EXPECT_EQ(host.files["wigwag.cfg"], DataFile("0|0|0|0|31|26|"));
}

// Names come from the device: any bytes. They are shown, never stored.
TEST(Wheel, ControllerNamesAreShownAsValidPrintableText) {
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
    const std::vector<std::pair<std::string, std::string>> cases{
        {"Sim Wheel \xF0\x9F\x9A\x93 Pro", "Sim Wheel \xF0\x9F\x9A\x93 Pro"},  // kept whole
        {"  Box\t1\r\n", "Box 1"},                                             // controls, trimmed
        {"A\xC2\x85\x42\x7F", "A B"},                                          // C1 control, DEL
        {"\xC0\x80|\xED\xA0\x80", bad + bad + "|" + bad + bad + bad},
        {"\xF4\x90\x80\x80", bad + bad + bad + bad},  // past U+10FFFF
        {"Pad \xE2\x82", "Pad " + bad + bad},         // cut short
        {"\x01\x02", ""},
    };
    for (const auto& [raw, shown] : cases) EXPECT_EQ(PrintableName(raw), shown) << raw;
    EXPECT_EQ(ControllerLine({0x2a3b, 0x0c01, "Box\n2", 300, false, "/dev/input/event7", "No"}),
              "2a3b:0c01  Box 2  300 buttons  cannot be read: No  (/dev/input/event7)");
    EXPECT_EQ(ControllerLine({0x0001, 0xfffe, "", 1, true, "", ""}),
              "0001:fffe  (no name)  1 button  readable");
    EXPECT_EQ(ControllerLine({0, 0, "Pad", 12, true, "", "", false}),
              "0000:0000  Pad  12 buttons  readable  no vendor or product id: chosen as 0000:0000");
}

// DirectInput: the driver's DIPROP_VIDPID first, then a product GUID that carries the mark.
TEST(Wheel, ControllerIdsComeFromTheDriverOrAMarkedProductGuid) {
    const std::array<std::uint8_t, 8> marked{0, 0, 'P', 'I', 'D', 'V', 'I', 'D'};
    const std::array<std::uint8_t, 8> other{0x80, 0x2c, 'P', 'I', 'D', 'V', 'I', 'E'};
    const auto ids = [](std::optional<std::uint32_t> vidpid, const auto& data4) {
        const GameController c = DirectInputIds(vidpid, 0x0c012a3b, data4);
        return std::tuple(c.vendor, c.product, c.ids);
    };
    const auto none = std::tuple<std::uint16_t, std::uint16_t, bool>(0, 0, false);
    EXPECT_EQ(ids(0xc24f046d, marked), std::tuple(0x046d, 0xc24f, true));  // the driver's first
    EXPECT_EQ(ids(0xc24f046d, other), std::tuple(0x046d, 0xc24f, true));
    EXPECT_EQ(ids(std::nullopt, marked), std::tuple(0x2a3b, 0x0c01, true));
    EXPECT_EQ(ids(0, marked), std::tuple(0x2a3b, 0x0c01, true));  // an answer of 0 is none
    EXPECT_EQ(ids(std::nullopt, other), none);
    EXPECT_EQ(ids(0, other), none);
}

}  // namespace
}  // namespace wigwag
