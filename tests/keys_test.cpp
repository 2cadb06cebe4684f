#include <gtest/gtest.h>

#include "fixture.h"
#include "keys/key_table.h"
#include "keys/module1.h"

namespace wigwag {
namespace {

TEST(KeyTable, EveryEntryHasTheSystemsCodeForItsName) {
    ASSERT_EQ(kKeyTable.size(), 63u);
    const std::vector<std::pair<std::string, int>> head{
        {"DELETE", 0x2E},   {"END", 0x23},      {"HOME", 0x24},     {"INSERT", 0x2D},
        {"BACKSPACE", 8},   {"TAB", 9},         {"RETURN", 0x0D},   {"SHIFT", 0x10},
        {"CONTROL", 0x11},  {"SPACE", 0x20},    {"NUMPAD *", 0x6A}, {"NUMPAD +", 0x6B},
        {"NUMPAD -", 0x6D}, {"NUMPAD .", 0x6E}, {"NUMPAD /", 0x6F}};
    std::vector<std::pair<std::string, int>> expected = head;
    for (char d = '0'; d <= '9'; ++d)
        expected.push_back({std::string("NUMPAD ").append(1, d), 0x30 + d});
    for (char c = 'A'; c <= 'Z'; ++c) expected.push_back({std::string(1, c), c});
    for (int i = 1; i <= 12; ++i)
        expected.push_back({std::string("F").append(std::to_string(i)), 0x6F + i});
    ASSERT_EQ(expected.size(), 63u);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(kKeyTable[i].name, expected[i].first) << "index " << i;
        EXPECT_EQ(kKeyTable[i].code, expected[i].second) << "index " << i;
    }
}

TEST(KeyTable, CodeTextsAreUpperCaseHexWithoutLeadingZeros) {
    EXPECT_EQ(CodeText(0x2E), "&H2E");
    EXPECT_EQ(CodeText(8), "&H8");
    EXPECT_EQ(CodeText(123), "&H7B");
    EXPECT_EQ(ParseCodeText("&H2E"), 46);
    EXPECT_EQ(ParseCodeText("&H8"), 8);
    EXPECT_EQ(ParseCodeText("&H7B"), 123);
    EXPECT_EQ(ParseCodeText("2E"), std::nullopt);
    EXPECT_EQ(ParseCodeText("&H"), std::nullopt);
    EXPECT_EQ(ParseCodeText("&HZZ"), std::nullopt);
    for (const KeyEntry& key : kKeyTable) EXPECT_EQ(ParseCodeText(CodeText(key.code)), key.code);
}

TEST(KeyTable, NamedIndexesLookUpThroughTheWindowsCodeList) {
    FakeHost host;
    host.CreateForm();
    Form1 form(host);
    form.Create();
    struct Case {
        int index;
        std::optional<std::uint8_t> code;
    };
    for (const Case& c :
         std::vector<Case>{{0, 46}, {4, 8}, {26, 66}, {31, 71}, {62, 123}, {-1, {}}}) {
        host.SetListIndex(Control::cboFlash, c.index);
        EXPECT_EQ(ChosenKeyCode(host, Control::cboFlash), c.code) << "index " << c.index;
    }
}

TEST(Val, ReadsTheLeadingNumber) {
    const std::vector<std::pair<std::string, double>> cases{
        {"46", 46},     {"0.1", 0.1}, {"", 0},     {"  72", 72}, {"1.0", 1},
        {"12abc", 12},  {"abc", 0},   {".5", 0.5}, {"3.", 3},    {"-2", -2},
        {"1.5.2", 1.5}, {" \t7", 7},  {"2 3", 2}};
    for (const auto& [text, value] : cases)
        EXPECT_DOUBLE_EQ(Val(text), value) << '"' << text << '"';
}

class PressKeyTest : public ::testing::Test {
  protected:
    FakeHost host;
};

TEST_F(PressKeyTest, ReleaseHoldsThenLiftsTheKey) {
    PressKey(host, "72", "1", "0.1");
    EXPECT_EQ(Timeline(host), Cat({Press(0, 72), {{100, 72, '^'}}}));
    EXPECT_DOUBLE_EQ(host.Clock(), 0.1);
}

TEST_F(PressKeyTest, AnyReleaseOtherThanOneLeavesTheKeyDown) {
    for (const char* release : {"0", "2", "", "1.5", "x"}) {
        FakeHost h;
        PressKey(h, "72", release, "0.1");
        EXPECT_EQ(Timeline(h), Press(0, 72)) << '"' << release << '"';
        EXPECT_EQ(h.Clock(), 0.0);
    }
    PressKey(host, "48", "0", "0");
    EXPECT_EQ(Timeline(host), Press(0, 48));
}

TEST_F(PressKeyTest, ReleaseOfOnePointZeroReadsAsOne) {
    PressKey(host, "72", "1.0", "0.1");
    EXPECT_EQ(Timeline(host), Cat({Press(0, 72), {{100, 72, '^'}}}));
}

TEST_F(PressKeyTest, CodesRoundHalfToEvenAndMustFitAByte) {
    PressKey(host, "71.5", "0", "0");
    PressKey(host, "72.5", "0", "0");
    PressKey(host, "255.4", "0", "0");
    EXPECT_EQ(Timeline(host), Cat({Press(0, 72), Press(0, 72), Press(0, 255)}));
    for (const char* code : {"256", "255.5", "-1", "99999"}) {
        FakeHost h;
        EXPECT_THROW(PressKey(h, code, "1", "0.1"), KeyCodeOverflow) << code;
        EXPECT_TRUE(h.KeyEvents().empty()) << code;
    }
}

TEST_F(PressKeyTest, PauseOfNothingReturnsWithoutProcessingEvents) {
    bool ran = false;
    host.At(0, [&] { ran = true; });
    Pause(host, "0");
    Pause(host, "");
    Pause(host, "abc");
    EXPECT_FALSE(ran);
    EXPECT_EQ(host.Clock(), 0.0);
}

TEST_F(PressKeyTest, PauseRunsTicksNestedAndReturnsOnTime) {
    struct Counter final : FormEvents {
        std::vector<double> at;
        FakeHost* host;
        void OnTimer(Timer) override { at.push_back(host->Clock()); }
        void OnClick(Control) override {}
        void OnClose() override {}
    } counter;
    counter.host = &host;
    host.CreateForm();
    host.SetEventSink(&counter);
    host.SetTimerInterval(Timer::tmSiren, 30);
    host.SetTimerEnabled(Timer::tmSiren, true);
    Pause(host, "0.1");
    EXPECT_DOUBLE_EQ(host.Clock(), 0.1);
    ASSERT_EQ(counter.at.size(), 3u);
    EXPECT_NEAR(counter.at[0], 0.03, 1e-12);
    EXPECT_NEAR(counter.at[2], 0.09, 1e-12);
}

}  // namespace
}  // namespace wigwag
