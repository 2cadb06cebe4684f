#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <optional>

#include "fixture.h"
#include "settings/settings.h"

namespace wigwag {
namespace {

using Values = std::array<int, 6>;  // cbFlash, cbSiren, cbHazards, cboStartKey, cboFlash, cboSiren

struct LoadCase {
    const char* what;
    std::optional<std::string> file;  // nothing: no file at all
    Values loaded;
    int boxes;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.what; }

class SettingsLoad : public WindowTest, public ::testing::WithParamInterface<LoadCase> {
  protected:
    Values Current() {
        return {host.Value(Control::cbFlash),      host.Value(Control::cbSiren),
                host.Value(Control::cbHazards),    host.ListIndex(Control::cboStartKey),
                host.ListIndex(Control::cboFlash), host.ListIndex(Control::cboSiren)};
    }
};

TEST_P(SettingsLoad, AppliesEachFieldOnItsOwnAndWritesTheValuesBack) {
    const LoadCase& c = GetParam();
    Load(c.file ? &*c.file : nullptr);
    EXPECT_EQ(Current(), c.loaded);
    ASSERT_EQ(host.MessageBoxes().size(), static_cast<std::size_t>(c.boxes));
    if (c.boxes) {
        EXPECT_EQ(host.MessageBoxes()[0].title, "Unable to Continue");
        EXPECT_EQ(host.MessageBoxes()[0].text, "An error occurred loading file:\r\nwigwag.cfg");
    }
    host.RequestClose();
    std::string saved;
    for (int v : c.loaded) saved += std::to_string(v) + "|";
    EXPECT_EQ(host.files.at("wigwag.cfg"), DataFile(saved));
}

const std::string kTrailer = "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n";

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsLoad,
    ::testing::Values(
        LoadCase{"no file: defaults after one message", std::nullopt, {0, 0, 0, 0, 31, 26}, 1},
        LoadCase{"empty file", "", {0, 0, 0, 0, 31, 26}, 0},
        LoadCase{"blank lines only", "\r\n   \r\n\r\n", {0, 0, 0, 0, 31, 26}, 0},
        LoadCase{"the program's own file", DataFile("1|0|1|5|40|62|"), {1, 0, 1, 5, 40, 62}, 0},
        LoadCase{"blank lines before the data",
                 "\r\n  \r\n" + DataFile("0|1|0|9|1|2|"),
                 {0, 1, 0, 9, 1, 2},
                 0},
        LoadCase{
            "data line missing", "---------------" + kTrailer.substr(17), {0, 0, 0, 0, 31, 26}, 0},
        LoadCase{"three fields", "1|1|1\r\n", {1, 1, 1, 0, 31, 26}, 0},
        LoadCase{"four fields", "1|0|1|5\r\n", {1, 0, 1, 5, 31, 26}, 0},
        LoadCase{"empty key fields", "1|0|1|5|||\r\n", {1, 0, 1, 5, 31, 26}, 0},
        LoadCase{"empty start key field", "1|0|1||31|26|\r\n", {1, 0, 1, 0, 31, 26}, 0},
        LoadCase{"key field that does not convert", "1|0|1|5|x|26|\r\n", {1, 0, 1, 5, -1, 26}, 0},
        LoadCase{"no choice stays no choice", "0|0|0|-1|-1|-1|\r\n", {0, 0, 0, -1, -1, -1}, 0},
        LoadCase{"keys out of range", "0|0|0|63|-2|99999|\r\n", {0, 0, 0, -1, -1, -1}, 0},
        LoadCase{"check box out of range", "3|1|-1|0|31|26|\r\n", {0, 1, 0, 0, 31, 26}, 0},
        LoadCase{"greyed check boxes", "2|2|2|0|31|26|\r\n", {2, 2, 2, 0, 31, 26}, 0},
        LoadCase{"spaces around numbers", " 1 | 1|1 | 7 |+8|-1\r\n", {1, 1, 1, 7, 8, -1}, 0},
        LoadCase{"a field of spaces is not empty", "1|1|1|  |31|26|\r\n", {1, 1, 1, -1, 31, 26}, 0},
        LoadCase{"fractions and words do not convert",
                 "1.0|one|1|5.5|31|26|\r\n",
                 {0, 0, 1, -1, 31, 26},
                 0},
        LoadCase{"16-bit limits", "32768|-32769|1|32767|31|26|\r\n", {0, 0, 1, -1, 31, 26}, 0},
        LoadCase{"extra fields ignored", "1|1|1|3|4|5|6|7|junk\r\n", {1, 1, 1, 3, 4, 5}, 0},
        LoadCase{"lone LF does not end a line",
                 "1|0|1|2|3|4|\n---------------\nx\n",
                 {1, 0, 1, 2, 3, 4},
                 0},
        LoadCase{"lone CR ends a line", "\r1|1|0|2|3|4|\r---\r", {1, 1, 0, 2, 3, 4}, 0},
        LoadCase{"a tab line is not blank", "\t\r\n1|1|1|1|1|1|\r\n", {0, 0, 0, 0, 31, 26}, 0},
        LoadCase{"no line end at all", "1|1|0|6|7|8|", {1, 1, 0, 6, 7, 8}, 0}),
    [](const auto& info) {
        std::string name;
        for (const char* p = info.param.what; *p; ++p)
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

TEST(Settings, EveryValidValueOfEveryFieldRoundTrips) {
    for (int field = 0; field < 6; ++field) {
        const bool checkBox = field < 3;
        for (int v = checkBox ? 0 : -1; v <= (checkBox ? 2 : 62); ++v) {
            std::string line;
            for (int i = 0; i < 6; ++i) line += (i == field ? std::to_string(v) : "1") + "|";
            Window w;
            w.Load(DataFile(line));
            w.host.RequestClose();
            EXPECT_EQ(w.host.files["wigwag.cfg"], DataFile(line)) << line;
        }
    }
}

TEST_F(WindowTest, AReadThatFailsPartWayKeepsTheLinesBeforeIt) {
    const std::string file = "\r\n2|1|0|12|13|14|\r\n---------------\r\nWigwag Con";
    host.readFailsAfter["wigwag.cfg"] = file.size();
    Load(file + "fig File.\r\nCreated By Vantor\r\n");
    ASSERT_EQ(host.MessageBoxes().size(), 1u);
    EXPECT_EQ(host.MessageBoxes()[0].title, "Unable to Continue");
    ASSERT_EQ(host.ListCount(Control::lstStart), 2);
    EXPECT_EQ(host.ListItem(Control::lstStart, 0), "2|1|0|12|13|14|");
    EXPECT_EQ(host.ListItem(Control::lstStart, 1), "---------------");
    EXPECT_EQ(host.Value(Control::cbFlash), 2);
    EXPECT_EQ(host.ListIndex(Control::cboSiren), 14);
}

TEST_F(WindowTest, LinesAreKeptUnchangedAndBlankOnesDropped) {
    Load(std::string("  1|1|1|1|1|1|  \r\n \r\n\tx\r\nlast"));
    ASSERT_EQ(host.ListCount(Control::lstStart), 3);
    EXPECT_EQ(host.ListItem(Control::lstStart, 0), "  1|1|1|1|1|1|  ");
    EXPECT_EQ(host.ListItem(Control::lstStart, 1), "\tx");
    EXPECT_EQ(host.ListItem(Control::lstStart, 2), "last");
    EXPECT_EQ(host.Value(Control::cbFlash), 1);
}

TEST_F(WindowTest, AFailedSaveKeepsTheOldFileWarnsAndStillCloses) {
    const std::string old = DataFile("1|1|1|0|31|26|");
    Load(old);
    host.SetValue(Control::cbFlash, 0);
    host.writeFailure = "Access is denied.";
    host.RequestClose();
    EXPECT_FALSE(host.WindowExists());
    EXPECT_EQ(host.files["wigwag.cfg"], old);
    ASSERT_EQ(host.MessageBoxes().size(), 1u);
    EXPECT_EQ(host.MessageBoxes()[0].title, "Unable to Save");
    EXPECT_EQ(host.MessageBoxes()[0].text,
              "The settings could not be saved to file:\r\nwigwag.cfg\r\nAccess is denied.");
}

TEST_F(WindowTest, ChoicesMadeInTheWindowAreSavedAtClose) {
    Load(nullptr);
    host.SetValue(Control::cbSiren, 1);
    host.SetListIndex(Control::cboStartKey, 62);
    host.RequestClose();
    EXPECT_EQ(host.files["wigwag.cfg"], DataFile("0|1|0|62|31|26|"));
}

}  // namespace
}  // namespace wigwag
