#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fixture.h"
#include "keys/key_table.h"
#include "window/layout.h"

namespace wigwag {
namespace {

TEST_F(WindowTest, ControlsHaveTheirFirstValuesBeforeTheSettingsLoad) {
    host.CreateForm();
    form.Create();
    EXPECT_EQ(host.Caption(Control::lblStatus), "Not Running");
    for (Control c : {Control::cbFlash, Control::cbSiren, Control::cbHazards})
        EXPECT_EQ(host.Value(c), 0);
    for (Control c : {Control::cboStartKey, Control::cboFlash, Control::cboSiren}) {
        EXPECT_EQ(host.ListIndex(c), -1);
        ASSERT_EQ(host.ListCount(c), 63);
        for (int i = 0; i < 63; ++i) {
            EXPECT_EQ(host.ListItem(c, i), kKeyTable[static_cast<std::size_t>(i)].name);
            EXPECT_EQ(ParseCodeText(host.ListItem(Control::lstKeys, i)),
                      kKeyTable[static_cast<std::size_t>(i)].code);
        }
    }
    EXPECT_EQ(host.ListCount(Control::lstStart), 0);
    EXPECT_EQ(host.ListCount(Control::lstKeys), 63);
    const std::vector<std::pair<Timer, std::pair<int, bool>>> timers{
        {Timer::tmStart, {100, true}},
        {Timer::tmFlash, {400, false}},
        {Timer::tmSiren, {100, false}},
        {Timer::tmHazards, {1000, false}}};
    for (const auto& [t, v] : timers) {
        EXPECT_EQ(host.TimerInterval(t), v.first);
        EXPECT_EQ(host.TimerEnabled(t), v.second);
    }
}

TEST_F(WindowTest, NoTickActsWhileTheLoadsMessageBoxIsOpen) {
    host.messageBoxSeconds = 0.55;
    host.files.clear();
    host.At(0.02, [&] { host.PlayerKeyDown(46); });  // Delete held from before the load
    Load(nullptr);
    EXPECT_EQ(host.Clock(), 0.55);
    EXPECT_TRUE(host.KeyEvents().empty());
    EXPECT_EQ(host.ListIndex(Control::cboStartKey), 0);
    host.RunUntil(0.65);
    ASSERT_EQ(host.KeyEvents().size(), 5u);
    EXPECT_EQ(Timeline(host).front(), (Ev{600, 66, '^'}));
}

TEST_F(WindowTest, EachClickOnTheLinkStartsOneMinimizedBrowser) {
    Load(DataFile("0|0|0|0|31|26|"));
    host.Click(Control::Image2);
    host.Click(Control::Image1);
    host.Click(Control::Label1);
    host.Click(Control::Image2);
    ASSERT_EQ(host.Processes().size(), 2u);
    for (const auto& p : host.Processes()) {
        EXPECT_EQ(p.commandLine, std::string("explorer.exe ") + kWebAddress);
        EXPECT_EQ(p.windowStyle, 2);
    }
    host.processStartFails = true;
    host.Click(Control::Image2);
    EXPECT_TRUE(host.MessageBoxes().empty());
}

TEST(Layout, TheFocusCyclesThroughTheControlsThatTakeIt) {
    std::vector<std::pair<int, std::string>> order;
    for (const ControlLayout& c : kControls)
        if (c.tabIndex >= 0 && c.kind != ControlKind::Label) order.emplace_back(c.tabIndex, c.name);
    std::sort(order.begin(), order.end());
    std::vector<std::string> names;
    for (const auto& o : order) names.push_back(o.second);
    EXPECT_EQ(names, (std::vector<std::string>{"cboStartKey", "cbFlash", "cbSiren", "cbHazards",
                                               "lstStart", "lstKeys", "cboFlash", "cboSiren"}));
}

TEST(Layout, HiddenListsLieBeyondTheClientsRightEdgeAndTheOthersWithin) {
    for (const ControlLayout& c : kControls) {
        const bool hidden = c.id == Control::lstStart || c.id == Control::lstKeys;
        if (hidden) {
            EXPECT_GE(c.left, kForm1.clientWidth) << c.name;
        } else if (c.id != Control::Image1) {
            EXPECT_LE(c.left + c.width, kForm1.clientWidth) << c.name;
        }
        EXPECT_EQ(&LayoutOf(c.id), &c) << c.name;
    }
}

TEST(Layout, EachKeyListSaysWhatItsKeyDoes) {
    EXPECT_STREQ(LayoutOf(Control::cboStartKey).toolTip,
                 "Set the key which will enable/disable the application.");
    EXPECT_STRNE(LayoutOf(Control::cboFlash).toolTip, LayoutOf(Control::cboStartKey).toolTip);
    EXPECT_STRNE(LayoutOf(Control::cboSiren).toolTip, LayoutOf(Control::cboStartKey).toolTip);
    EXPECT_STRNE(LayoutOf(Control::cboSiren).toolTip, LayoutOf(Control::cboFlash).toolTip);
}

}  // namespace
}  // namespace wigwag
