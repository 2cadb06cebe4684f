#include <gtest/gtest.h>

#include "fixture.h"

namespace wigwag {
namespace {

Values Current(FakeHost& h) {
    return {h.Value(Control::cbFlash),      h.Value(Control::cbSiren),
            h.Value(Control::cbHazards),    h.ListIndex(Control::cboStartKey),
            h.ListIndex(Control::cboFlash), h.ListIndex(Control::cboSiren)};
}

// Each message box shown, as its title and text.
std::vector<std::string> Boxes(const FakeHost& host) {
    std::vector<std::string> out;
    for (const auto& box : host.MessageBoxes()) out.insert(out.end(), {box.title, box.text});
    return out;
}

const std::vector<std::string> kLoadFailed{"Unable to Continue",
                                           "An error occurred loading file:\r\nwigwag.cfg"};

TEST(Settings, EachFieldAppliesOnItsOwnAndIsWrittenBack) {
    for (const SettingsCase& c : SettingsCases()) {
        SCOPED_TRACE(c.file ? "\"" + *c.file + "\"" : "no file");
        Window w;
        w.Load(c.file);
        EXPECT_EQ(Current(w.host), c.loaded);
        EXPECT_EQ(Boxes(w.host), c.file ? std::vector<std::string>{} : kLoadFailed);
        w.host.RunUntil(0.5);
        w.host.RequestClose();
        EXPECT_TRUE(w.host.KeyEvents().empty());  // stopped: the close releases nothing
        std::string saved;
        for (int v : c.loaded) saved += std::to_string(v) + "|";
        EXPECT_EQ(w.host.files.at("wigwag.cfg"), DataFile(saved + c.wheel));
    }
}

TEST_F(WindowTest, AReadThatFailsPartWayKeepsTheLinesReadBefore) {
    const std::string file = "\r\n 2|1|0|12|13|14| \r\n \r\n\tx\r\nWigwag Con";
    host.readFailsAfter["wigwag.cfg"] = file.size();
    Load(file + "fig File.\r\nCreated By Vantor\r\n");
    EXPECT_EQ(Boxes(host), kLoadFailed);
    ASSERT_EQ(host.ListCount(Control::lstStart), 2);  // unchanged, blank lines dropped
    EXPECT_EQ(host.ListItem(Control::lstStart, 0), " 2|1|0|12|13|14| ");
    EXPECT_EQ(host.ListItem(Control::lstStart, 1), "\tx");
    EXPECT_EQ(Current(host), (Values{2, 1, 0, 12, 13, 14}));
}

TEST(SettingsSave, AFileThatCannotBeReplacedStaysTheUserIsToldAndTheWindowCloses) {
    const std::string old = DataFile("1|1|1|0|31|26|");
    for (const bool unreadable : {false, true}) {  // there at the start, but not opened
        Window w;
        if (unreadable) w.host.unreadable.insert("wigwag.cfg");
        w.Load(old);
        w.host.SetValue(Control::cbFlash, 0);
        if (!unreadable) w.host.writeFailure = "Access is denied.";
        w.host.RequestClose();
        EXPECT_FALSE(w.host.WindowExists());
        EXPECT_EQ(w.host.files["wigwag.cfg"], old);
        std::vector<std::string> boxes = unreadable ? kLoadFailed : std::vector<std::string>{};
        boxes.push_back("Unable to Save");
        boxes.push_back(unreadable ? "The settings file could not be read when Wigwag started, "
                                     "so it was not replaced:\r\nwigwag.cfg"
                                   : "The settings could not be saved to file:\r\nwigwag.cfg"
                                     "\r\nAccess is denied.");
        EXPECT_EQ(Boxes(w.host), boxes) << unreadable;
    }
}

}  // namespace
}  // namespace wigwag
