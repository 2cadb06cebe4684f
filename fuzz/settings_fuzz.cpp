// The settings file through the whole window on the simulated host. An input's first byte
// says how the read goes (0: whole; n > 0: it breaks off after (n - 1) * size / 255 bytes),
// the rest is wigwag.cfg; the close saves it, and the saved file is loaded and saved again.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fake/fake_host.h"
#include "settings/settings.h"
#include "tests/settings_cases.h"
#include "window/form1.h"

namespace wigwag {
namespace {

// Each control in file order: its valid values, before the load and for a missing field.
struct Field {
    Control control;
    int lowest, highest, initial, whenMissing;
};
constexpr std::array<Field, 6> kFields{{
    {Control::cbFlash, 0, 2, 0, 0},
    {Control::cbSiren, 0, 2, 0, 0},
    {Control::cbHazards, 0, 2, 0, 0},
    {Control::cboStartKey, -1, 62, -1, 0},  // DELETE
    {Control::cboFlash, -1, 62, -1, 31},    // G
    {Control::cboSiren, -1, 62, -1, 26},    // B
}};

std::string_view input;  // the one being run

std::string Hex(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes.substr(0, 48))
        out += {' ', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    return out;
}

void Check(bool ok, const std::string& what) {
    if (ok) return;
    std::fprintf(stderr, "\nsettings fuzz: %s\n  input:%s\n", what.c_str(), Hex(input).c_str());
    __builtin_trap();
}

// The seventh field as the close writes it: a wheel button (four hex digits, four more, a
// button 1 to 512) in lower case with its "|", else nothing.
std::string WheelField(const std::vector<std::string>& fields) {
    static const std::regex button("[0-9A-Fa-f]{4}:[0-9A-Fa-f]{4}:[1-9][0-9]{0,2}");
    if (fields.size() < 7 || !std::regex_match(fields[6], button)) return {};
    if (std::stoi(fields[6].substr(10)) > 512) return {};
    std::string lower = fields[6];
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    return lower + "|";
}

// The lines read, blank ones left out: CR LF or a lone CR ends a line, a lone LF stays in
// the text, only spaces are blank; a line the read broke off in is not one.
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
    std::erase_if(lines, [](const std::string& l) { return l.find_first_not_of(' ') == l.npos; });
    return lines;
}

// Loads `file` as the program starts, checks what the load gave, closes the window and
// checks the file saved. Gives the controls' values and that file.
std::pair<Values, std::string> LoadAndClose(const std::string& file,
                                            std::optional<std::size_t> failsAfter) {
    FakeHost host;
    Form1 form{host};
    host.files[kSettingsFile] = file;
    if (failsAfter) host.readFailsAfter[kSettingsFile] = *failsAfter;
    host.CreateForm();
    host.SetEventSink(&form);
    form.Create();
    form.Form_Load();
    host.ShowForm();

    const std::size_t stop =
        std::min({failsAfter.value_or(file.size()), kSettingsReadLimit, file.size()});
    const bool whole = stop == file.size();
    const auto& boxes = host.MessageBoxes();
    Check(whole ? boxes.empty()
                : boxes.size() == 1 && boxes[0].title == "Unable to Continue" &&
                      boxes[0].text == "An error occurred loading file:\r\nwigwag.cfg",
          "message boxes of the load");
    const std::vector<std::string> lines =
        NonBlankLines(std::string_view(file).substr(0, stop), whole);
    std::vector<std::string> lstStart;
    for (int i = 0; i < host.ListCount(Control::lstStart); ++i)
        lstStart.push_back(host.ListItem(Control::lstStart, i));
    Check(lstStart == lines, "lstStart is not the non-blank lines read");

    // The first line holds the fields (a trailing empty one reads as missing).
    std::istringstream data(lines.empty() ? "" : lines[0]);
    std::vector<std::string> fields;
    for (std::string field; std::getline(data, field, '|');) fields.push_back(field);
    Values values{};
    for (std::size_t n = 0; n < kFields.size(); ++n) {
        const Field& f = kFields[n];
        const int got = n < 3 ? host.Value(f.control) : host.ListIndex(f.control);
        values[n] = got;
        const std::string is = "field " + std::to_string(n + 1) + " gave " + std::to_string(got);
        Check(got >= f.lowest && got <= f.highest, is + ", out of range");
        if (n >= fields.size() || fields[n].empty()) {
            Check(got == f.whenMissing, is + " for a missing or empty field");
            continue;
        }
        // A number in range, written as the program writes numbers, is taken as it is.
        const long number = std::strtol(fields[n].c_str(), nullptr, 10);
        if (std::to_string(number) == fields[n] && number >= f.lowest && number <= f.highest)
            Check(got == number, is + " for " + fields[n]);
        if (fields[n].find_first_of("0123456789") == std::string::npos)
            Check(got == f.initial, is + " for a field without a digit");
    }

    host.RequestClose();
    Check(boxes.size() == (whole ? 0 : 1), "the close showed a box");
    std::string saved;
    for (int v : values) saved += std::to_string(v) + "|";
    saved = DataFile(saved + WheelField(fields));
    Check(host.files[kSettingsFile] == saved, "the file saved is" + Hex(host.files[kSettingsFile]));
    return {values, saved};
}

}  // namespace
}  // namespace wigwag

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace wigwag;
    input = std::string_view(reinterpret_cast<const char*>(data), size);
    const std::string file(input.substr(size ? 1 : 0));
    std::optional<std::size_t> failsAfter;
    if (size && data[0]) failsAfter = (data[0] - 1u) * file.size() / 255u;
    try {
        const auto [values, saved] = LoadAndClose(file, failsAfter);
        // The saved file loads to the same values, so it saves again as the same bytes.
        Check(LoadAndClose(saved, std::nullopt).first == values, "the saved file loads otherwise");
    } catch (const std::exception& e) {
        Check(false, std::string("exception: ") + e.what());
    }
    return 0;
}
