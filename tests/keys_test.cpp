#include <gtest/gtest.h>

#include <tuple>

#include "engine/engine.h"
#include "fixture.h"
#include "keys/key_table.h"
#include "keys/module1.h"

namespace wigwag {
namespace {

// The lists the window offers are the key table's (by name in the three boxes, by code text
// in the hidden list); the codes are the keys' virtual-key codes.
TEST_F(WindowTest, EveryKeyListOffersTheKeyTableByNameAndCode) {
    std::vector<std::pair<std::string, int>> expected{
        {"DELETE", 0x2E},   {"END", 0x23},      {"HOME", 0x24},     {"INSERT", 0x2D},
        {"BACKSPACE", 8},   {"TAB", 9},         {"RETURN", 0x0D},   {"SHIFT", 0x10},
        {"CONTROL", 0x11},  {"SPACE", 0x20},    {"NUMPAD *", 0x6A}, {"NUMPAD +", 0x6B},
        {"NUMPAD -", 0x6D}, {"NUMPAD .", 0x6E}, {"NUMPAD /", 0x6F}};
    for (char d = '0'; d <= '9'; ++d)
        expected.push_back({std::string("NUMPAD ").append(1, d), 0x30 + d});
    for (char c = 'A'; c <= 'Z'; ++c) expected.push_back({std::string(1, c), c});
    for (int i = 1; i <= 12; ++i)
        expected.push_back({std::string("F").append(std::to_string(i)), 0x6F + i});
    host.CreateForm();
    form.Create();
    ASSERT_EQ(host.ListCount(Control::lstKeys), static_cast<int>(expected.size()));
    for (Control c : {Control::cboStartKey, Control::cboFlash, Control::cboSiren}) {
        std::vector<std::pair<std::string, int>> offered;
        for (int i = 0; i < host.ListCount(c); ++i)
            offered.push_back({host.ListItem(c, i),
                               ParseCodeText(host.ListItem(Control::lstKeys, i)).value_or(0)});
        EXPECT_EQ(offered, expected);
    }
    EXPECT_EQ(CodeText(0x2E), "&H2E");
    EXPECT_EQ(CodeText(8), "&H8");
    EXPECT_EQ(CodeText(123), "&H7B");
    EXPECT_EQ(ParseCodeText("&h2e"), 0x2E);
    for (const char* bad : {"2E", "&H", "&HZZ", "&H100"})
        EXPECT_EQ(ParseCodeText(bad), std::nullopt);
}

TEST(Val, ReadsTheLeadingNumber) {
    const std::vector<std::pair<std::string, double>> cases{
        {"46", 46}, {"0.1", 0.1}, {"", 0},   {"  72", 72}, {"1.0", 1},     {"12abc", 12},
        {"abc", 0}, {".5", 0.5},  {"3.", 3}, {"-2", -2},   {"1.5.2", 1.5}, {"\t7", 7}};
    for (const auto& [text, value] : cases)
        EXPECT_DOUBLE_EQ(Val(text), value) << '"' << text << '"';
}

TEST(PressKey, SendsTheKeyThenBackspaceAndReleasesOnlyForOne) {
    // The key code, release and hold texts, and the events sent.
    const std::vector<std::tuple<const char*, const char*, const char*, std::vector<Ev>>> cases{
        {"72", "1", "0.1", Cat({Press(0, 72), Up(100, 72)})},
        {"72", "1.0", "0.25", Cat({Press(0, 72), Up(250, 72)})},
        {"72", "0", "0.1", Press(0, 72)},
        {"72", "2", "0.1", Press(0, 72)},
        {"71.5", "0", "", Press(0, 72)},  // halves round to even
        {"72.5", "0", "", Press(0, 72)},
        {"255", "0", "", Press(0, 255)},  // the highest and lowest codes are sent
        {"0.4", "0", "", Press(0, 0)},
    };
    for (const auto& [code, release, hold, events] : cases) {
        FakeHost host;
        PressKey(host, code, release, hold);
        EXPECT_EQ(Timeline(host), events) << code << " " << release << " " << hold;
    }
    for (const char* code : {"256", "255.5", "-1"}) {
        FakeHost host;
        EXPECT_THROW(PressKey(host, code, "1", "0.1"), KeyCodeOverflow) << code;
        EXPECT_TRUE(host.KeyEvents().empty()) << code;
    }
}

TEST_F(WindowTest, PauseOfNothingReturnsAtOnceAndTicksRunNestedInside) {
    Load(DataFile("0|1|0|0|31|26|"));
    bool running = false;
    ToggleRunning(host, running);  // the horn every 0.1 s
    bool input = false;
    host.At(0, [&] { input = true; });
    Pause(host, "0");
    EXPECT_FALSE(input);
    Pause(host, "0.35");
    EXPECT_TRUE(input);
    EXPECT_DOUBLE_EQ(host.Clock(), 0.35);
    EXPECT_EQ(Timeline(host), Cat({Burst(0), Press(100, 66), Press(200, 66), Press(300, 66)}));
}

}  // namespace
}  // namespace wigwag
