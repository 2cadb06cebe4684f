// The settings file through the whole window, on the simulated host: the input's bytes are
// wigwag.cfg when the window loads, the close saves the controls, and the saved file is
// loaded and saved once more. A broken rule prints what was seen and stops the run.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/settings_input.h"
#include "platform/fake/fake_host.h"
#include "settings/settings.h"
#include "window/form1.h"

namespace wigwag::fuzz {
namespace {

// The six controls in file order, the values each accepts, what it holds when the file
// gives it nothing usable, and what a missing or empty field gives it.
struct Field {
    const char* name;
    Control control;
    bool checkBox;
    int lowest, highest, initial, whenMissing;
};
constexpr std::array<Field, 6> kFields{{
    {"cbFlash", Control::cbFlash, true, 0, 2, 0, 0},
    {"cbSiren", Control::cbSiren, true, 0, 2, 0, 0},
    {"cbHazards", Control::cbHazards, true, 0, 2, 0, 0},
    {"cboStartKey", Control::cboStartKey, false, -1, 62, -1, 0},  // DELETE
    {"cboFlash", Control::cboFlash, false, -1, 62, -1, 31},       // G
    {"cboSiren", Control::cboSiren, false, -1, 62, -1, 26},       // B
}};
using Values = std::array<int, 6>;

// The first bytes, in hex.
std::string Hex(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes.substr(0, 48))
        out += {' ', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    return out;
}

// The input being run: its first byte says where the read breaks off, the file follows.
std::string_view current;

void Check(bool ok, const std::string& what) {
    if (ok) return;
    std::fprintf(stderr, "\nsettings fuzz: %s\n  input (%zu bytes):%s\n", what.c_str(),
                 current.size(), Hex(current).c_str());
    std::fflush(stderr);
    __builtin_trap();
}

// The saved form of six values and the wheel button's field (with its "|", or nothing).
std::string Saved(const Values& values, const std::string& wheel) {
    std::string text;
    for (int v : values) text += std::to_string(v) + "|";
    return text + wheel + "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n";
}

// What the close writes for a seventh field: the same in lower case when it is a wheel
// button (four hex digits, four more, a button number 1 to 512), else nothing.
std::string WheelField(const std::vector<std::string>& fields) {
    static const std::regex button("[0-9A-Fa-f]{4}:[0-9A-Fa-f]{4}:[1-9][0-9]{0,2}");
    if (fields.size() < 7 || !std::regex_match(fields[6], button)) return {};
    if (std::stoi(fields[6].substr(10)) > 512) return {};
    std::string lower = fields[6];
    for (char& c : lower)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return lower + "|";
}

// The reader's lines without the blank ones: CR LF or a lone CR ends a line, a lone LF
// stays in the text, only spaces are blank; a line the read broke off in is not one.
std::vector<std::string> NonBlankLines(std::string_view bytes, bool whole) {
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r') {
            lines.back() += bytes[i];
        } else {
            lines.emplace_back();
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        }
    }
    if (!whole) lines.pop_back();
    std::erase_if(lines, [](const std::string& line) {
        return line.find_first_not_of(' ') == std::string::npos;
    });
    return lines;
}

// Loads `input` as wigwag.cfg as the program starts, checks what the load gave, closes the
// window and checks the file it saved. Gives the controls' values and that file.
std::pair<Values, std::string> LoadAndClose(const SettingsInput& input, const std::string& what) {
    FakeHost host;
    Form1 form{host};
    host.files[kSettingsFile] = input.file;
    if (input.readFailsAfter) host.readFailsAfter[kSettingsFile] = *input.readFailsAfter;
    host.CreateForm();
    host.SetEventSink(&form);
    form.Create();
    form.Form_Load();
    host.ShowForm();

    // Where the read stops: the end, or short of it where it breaks off or at the limit.
    const std::size_t stop = std::min(
        {input.readFailsAfter.value_or(input.file.size()), kSettingsReadLimit, input.file.size()});
    const bool whole = stop == input.file.size();
    const auto& boxes = host.MessageBoxes();
    const bool oneBox = boxes.size() == 1 && boxes[0].title == "Unable to Continue" &&
                        boxes[0].text == "An error occurred loading file:\r\nwigwag.cfg";
    Check(whole ? boxes.empty() : oneBox,
          "loading " + what + " gave " + std::to_string(boxes.size()) + " message boxes, not " +
              (whole ? "none for a whole read" : "one \"Unable to Continue\" for a broken read"));

    const std::vector<std::string> lines = NonBlankLines(input.file.substr(0, stop), whole);
    std::vector<std::string> lstStart;
    for (int i = 0; i < host.ListCount(Control::lstStart); ++i)
        lstStart.push_back(host.ListItem(Control::lstStart, i));
    Check(lstStart == lines, "loading " + what + ", lstStart holds " +
                                 std::to_string(lstStart.size()) + " lines, not the " +
                                 std::to_string(lines.size()) + " non-blank lines read");

    // The first of them is the data line, field by field.
    // (A trailing empty field is left out, as a missing one gives the same.)
    std::istringstream data(lines.empty() ? "" : lines[0]);
    std::vector<std::string> fields;
    for (std::string field; std::getline(data, field, '|');) fields.push_back(field);
    Values values{};
    for (std::size_t n = 0; n < kFields.size(); ++n) {
        const Field& f = kFields[n];
        const int got = f.checkBox ? host.Value(f.control) : host.ListIndex(f.control);
        values[n] = got;
        const std::string is = "loading " + what + ", " + f.name + " is " + std::to_string(got);
        Check(got >= f.lowest && got <= f.highest, is + ", out of its range");
        if (n >= fields.size() || fields[n].empty()) {
            Check(got == f.whenMissing, is + " for a missing or empty field");
            continue;
        }
        // A number in range, written as the program writes numbers, is taken as it is.
        const long number = std::strtol(fields[n].c_str(), nullptr, 10);
        if (std::to_string(number) == fields[n] && number >= f.lowest && number <= f.highest)
            Check(got == number, is + " for the field " + fields[n]);
        if (fields[n].find_first_of("0123456789") == std::string::npos)
            Check(got == f.initial, is + " for a field without a digit:" + Hex(fields[n]));
    }

    host.RequestClose();
    Check(boxes.size() == (whole ? 0 : 1), "the close after loading " + what + " showed a box");
    const std::string saved = host.files[kSettingsFile];
    const std::string want = Saved(values, WheelField(fields));
    Check(saved == want, "the file saved after loading " + what + " is not " +
                             want.substr(0, want.find('\r')) + " and the trailer:" + Hex(saved));
    return {values, saved};
}

}  // namespace
}  // namespace wigwag::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace wigwag::fuzz;
    current = std::string_view(reinterpret_cast<const char*>(data), size);
    const SettingsInput input = DecodeInput(current);
    try {
        const auto [values, saved] = LoadAndClose(input, "the file");
        // The saved file loads to the same values, so it saves again as the same bytes.
        const auto [again, savedAgain] = LoadAndClose({saved, std::nullopt}, "the saved file");
        Check(again == values, "loading the saved file gave other values:" + Hex(saved));
    } catch (const std::exception& e) {
        Check(false, std::string("exception: ") + e.what());
    }
    current = {};
    return 0;
}
