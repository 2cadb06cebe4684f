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
            const KeyEntry& key = kKeyTable[static_cast<std::size_t>(i)];
            EXPECT_EQ(host.ListItem(c, i), key.name);
            EXPECT_EQ(ParseCodeText(host.ListItem(Control::lstKeys, i)), key.code);
        }
    }
    EXPECT_EQ(host.ListCount(Control::lstStart), 0);
    EXPECT_EQ(host.ListCount(Control::lstKeys), 63);
    const std::vector<std::pair<int, bool>> timers{
        {100, true}, {400, false}, {100, false}, {1000, false}};
    for (Timer t : {Timer::tmStart, Timer::tmFlash, Timer::tmSiren, Timer::tmHazards}) {
        EXPECT_EQ(host.TimerInterval(t), timers[static_cast<std::size_t>(t)].first);
        EXPECT_EQ(host.TimerEnabled(t), timers[static_cast<std::size_t>(t)].second);
    }
}

TEST_F(WindowTest, NoTickActsWhileTheLoadsMessageBoxIsOpen) {
    host.messageBoxSeconds = 0.55;
    host.At(0.02, [&] { host.PlayerKeyDown(46); });  // Delete held from before the load
    host.CommandAt(0.3, Command::Status);
    Load(nullptr);
    EXPECT_EQ(host.Clock(), 0.55);
    EXPECT_TRUE(host.KeyEvents().empty());
    EXPECT_TRUE(host.Answers().empty());
    host.RunUntil(0.65);
    ASSERT_EQ(host.KeyEvents().size(), 5u);
    EXPECT_EQ(Timeline(host).front(), (Ev{600, 66, '^'}));
    EXPECT_EQ(Replies(host), (std::vector<Reply>{{600, Command::Status, "Running"}}));
}

TEST_F(WindowTest, EachClickOnTheLinkStartsOneMinimizedBrowser) {
    Load(DataFile("0|0|0|0|31|26|"));
    for (Control c : {Control::Image2, Control::Image1, Control::Label1, Control::Image2})
        host.Click(c);
    ASSERT_EQ(host.Processes().size(), 2u);
    for (const auto& p : host.Processes()) {
        EXPECT_EQ(p.commandLine, std::string("explorer.exe ") + kWebAddress);
        EXPECT_EQ(p.windowStyle, 2);
    }
}

TEST(Layout, FocusOrderHiddenListsAndHoverTexts) {
    std::vector<std::pair<int, std::string>> order;
    for (const ControlLayout& c : kControls) {
        if (c.tabIndex >= 0 && c.kind != ControlKind::Label) order.emplace_back(c.tabIndex, c.name);
        const bool hidden = c.id == Control::lstStart || c.id == Control::lstKeys;
        EXPECT_EQ(hidden, c.left >= kForm1.clientWidth) << c.name;
    }
    std::sort(order.begin(), order.end());
    std::vector<std::string> names;
    for (const auto& o : order) names.push_back(o.second);
    EXPECT_EQ(names, (std::vector<std::string>{"cboStartKey", "cbFlash", "cbSiren", "cbHazards",
                                               "lstStart", "lstKeys", "cboFlash", "cboSiren",
                                               "cmdWheel", "cmdClear"}));
    EXPECT_STREQ(LayoutOf(Control::cboStartKey).toolTip,
                 "Set the key which will enable/disable the application.");
    EXPECT_STRNE(LayoutOf(Control::cboFlash).toolTip, LayoutOf(Control::cboStartKey).toolTip);
    EXPECT_STRNE(LayoutOf(Control::cboSiren).toolTip, LayoutOf(Control::cboFlash).toolTip);
}

}  // namespace
}  // namespace wigwag
