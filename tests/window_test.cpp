// The window's first values, timers and focus order show in the engine's timelines, the
// settings cases and the Qt host's test.
#include <gtest/gtest.h>

#include "fixture.h"
#include "window/layout.h"

namespace wigwag {
namespace {

TEST_F(WindowTest, NoTickActsWhileTheLoadsMessageBoxIsOpen) {
    host.messageBoxSeconds = 0.55;
    host.At(0.02, [&] { host.PlayerKeyDown(kDelete); });  // held from before the load
    host.CommandAt(0.3, Command::Status);
    Load(std::nullopt);
    EXPECT_EQ(host.Clock(), 0.55);
    EXPECT_TRUE(host.KeyEvents().empty());
    EXPECT_TRUE(host.Answers().empty());
    host.RunUntil(0.65);
    EXPECT_EQ(Timeline(host), Burst(600));
    EXPECT_EQ(Replies(host), (std::vector<Reply>{{600, Command::Status, "Running"}}));
}

TEST_F(WindowTest, EachClickOnTheLinkOpensTheWebSiteOnce) {
    Load(DataFile("0|0|0|0|31|26|"));
    for (Control c :
         {Control::Image2, Control::Image1, Control::Label1, Control::Image2, Control::Image2})
        host.Click(c);
    ASSERT_EQ(host.Addresses().size(), 3u);
    for (const auto& a : host.Addresses()) EXPECT_EQ(a.address, kWebAddress);
}

TEST(Layout, OnlyTheHiddenListsLieOutsideTheWindow) {
    for (const ControlLayout& c : kControls)
        EXPECT_EQ(c.id == Control::lstStart || c.id == Control::lstKeys,
                  c.left >= kForm1.clientWidth)
            << c.name;
}

}  // namespace
}  // namespace wigwag
