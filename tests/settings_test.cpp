#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "fixture.h"
#include "settings_cases.h"

namespace wigwag {
namespace {

Values Current(FakeHost& h) {
    return {h.Value(Control::cbFlash),      h.Value(Control::cbSiren),
            h.Value(Control::cbHazards),    h.ListIndex(Control::cboStartKey),
            h.ListIndex(Control::cboFlash), h.ListIndex(Control::cboSiren)};
}

TEST(Settings, EachFieldAppliesOnItsOwnAndIsWrittenBack) {
    for (const SettingsCase& c : SettingsCases()) {
        const std::string what = c.file ? "\"" + *c.file + "\"" : "no file";
        Window w;
        w.Load(c.file ? &*c.file : nullptr);
        EXPECT_EQ(Current(w.host), c.loaded) << what;
        ASSERT_EQ(w.host.MessageBoxes().size(), c.file ? 0u : 1u) << what;
        if (!c.file) {
            EXPECT_EQ(w.host.MessageBoxes()[0].title, "Unable to Continue");
            EXPECT_EQ(w.host.MessageBoxes()[0].text,
                      "An error occurred loading file:\r\nwigwag.cfg");
        }
        w.host.RequestClose();
        std::string saved;
        for (int v : c.loaded) saved += std::to_string(v) + "|";
        EXPECT_EQ(w.host.files.at("wigwag.cfg"), DataFile(saved + c.wheel)) << what;
    }
}

TEST(Settings, EveryValidValueOfEveryFieldRoundTrips) {
    for (int field = 0; field < 6; ++field) {
        for (int v = field < 3 ? 0 : -1; v <= (field < 3 ? 2 : 62); ++v) {
            std::string line;
            for (int i = 0; i < 6; ++i) line += (i == field ? std::to_string(v) : "1") + "|";
            Window w;
            w.Load(DataFile(line));
            w.host.RequestClose();
            EXPECT_EQ(w.host.files["wigwag.cfg"], DataFile(line)) << line;
        }
    }
}

TEST_F(WindowTest, AReadThatFailsPartWayKeepsTheLinesReadBefore) {
    const std::string file = "\r\n 2|1|0|12|13|14| \r\n \r\n\tx\r\nWigwag Con";
    host.readFailsAfter["wigwag.cfg"] = file.size();
    Load(file + "fig File.\r\nCreated By Vantor\r\n");
    ASSERT_EQ(host.MessageBoxes().size(), 1u);
    EXPECT_EQ(host.MessageBoxes()[0].title, "Unable to Continue");
    ASSERT_EQ(host.ListCount(Control::lstStart), 2);  // unchanged, blank lines dropped
    EXPECT_EQ(host.ListItem(Control::lstStart, 0), " 2|1|0|12|13|14| ");
    EXPECT_EQ(host.ListItem(Control::lstStart, 1), "\tx");
    EXPECT_EQ(Current(host), (Values{2, 1, 0, 12, 13, 14}));
}

TEST(SettingsSave, AFileThatCannotBeReplacedStaysTheUserIsToldAndTheWindowCloses) {
    const std::string old = DataFile("1|1|1|0|31|26|");
    struct Case {
        const char* what;
        bool unreadable;  // there at the start, but could not be opened
        std::optional<std::string> writeFailure;
        std::vector<std::string> boxes;  // title, text of each
    };
    const std::vector<Case> cases{
        {"save fails",
         false,
         "Access is denied.",
         {"Unable to Save",
          "The settings could not be saved to file:\r\nwigwag.cfg\r\nAccess is denied."}},
        {"unreadable at start",
         true,
         std::nullopt,
         {"Unable to Continue", "An error occurred loading file:\r\nwigwag.cfg", "Unable to Save",
          "The settings file could not be read when Wigwag started, so it was not "
          "replaced:\r\nwigwag.cfg"}},
    };
    for (const Case& c : cases) {
        Window w;
        if (c.unreadable) w.host.unreadable.insert("wigwag.cfg");
        w.Load(old);
        w.host.SetValue(Control::cbFlash, 0);
        w.host.writeFailure = c.writeFailure;
        w.host.RequestClose();
        EXPECT_FALSE(w.host.WindowExists()) << c.what;
        EXPECT_EQ(w.host.files["wigwag.cfg"], old) << c.what;
        std::vector<std::string> boxes;
        for (const auto& box : w.host.MessageBoxes())
            boxes.insert(boxes.end(), {box.title, box.text});
        EXPECT_EQ(boxes, c.boxes) << c.what;
    }
}

}  // namespace
}  // namespace wigwag
