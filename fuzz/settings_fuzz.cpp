// The settings file through the whole window, on the simulated host: the input's bytes are
// wigwag.cfg when the window loads, the controls then hold what the file gave, the close
// saves them, and the saved file is loaded and saved once more. Each step is checked
// against the file's rules; a violation prints what was seen and stops the run.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/settings_input.h"
#include "platform/fake/fake_host.h"
#include "settings/settings.h"
#include "window/form1.h"

namespace wigwag::fuzz {
namespace {

constexpr std::string_view kTrailer =
    "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n";

// The six controls in file order, the values each accepts and the default of a key list.
struct Field {
    const char* name;
    Control control;
    bool checkBox;
    int lowest, highest;
    int initial;
    std::optional<int> defaultIndex;
};
constexpr std::array<Field, 6> kFields{{
    {"cbFlash", Control::cbFlash, true, 0, 2, 0, std::nullopt},
    {"cbSiren", Control::cbSiren, true, 0, 2, 0, std::nullopt},
    {"cbHazards", Control::cbHazards, true, 0, 2, 0, std::nullopt},
    {"cboStartKey", Control::cboStartKey, false, -1, 62, -1, 0},  // DELETE
    {"cboFlash", Control::cboFlash, false, -1, 62, -1, 31},       // G
    {"cboSiren", Control::cboSiren, false, -1, 62, -1, 26},       // B
}};

using Values = std::array<int, 6>;

std::string Printable(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes.substr(0, 300)) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (bytes.size() > 300) out += "...";
    return "\"" + out + "\"";
}

std::string Print(const Values& v) {
    std::string out;
    for (int x : v) out += std::to_string(x) + " ";
    return out;
}

const SettingsInput* current = nullptr;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "\nsettings fuzz: %s\n", what.c_str());
    if (current) {
        std::fprintf(stderr, "  file (%zu bytes): %s\n", current->file.size(),
                     Printable(current->file).c_str());
        if (current->readFailsAfter)
            std::fprintf(stderr, "  the read breaks off after %zu bytes\n",
                         *current->readFailsAfter);
    }
    std::fflush(stderr);
    __builtin_trap();
}

void Check(bool ok, const std::string& what) {
    if (!ok) Fail(what);
}

// The lines the reader gives for these bytes: CR LF or a lone CR ends a line, a lone LF
// stays in the text; a line the read broke off in the middle of is not one.
std::vector<std::string> Lines(std::string_view bytes, bool whole) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            lines.push_back(line);
            line.clear();
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        } else {
            line += bytes[i];
        }
    }
    if (whole && !line.empty()) lines.push_back(line);
    return lines;
}

bool Blank(std::string_view line) {
    for (char c : line)
        if (c != ' ') return false;
    return true;
}

std::vector<std::string> Split(std::string_view line) {
    std::vector<std::string> fields;
    if (line.empty()) return fields;
    std::string field;
    for (char c : line) {
        if (c == '|') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

// A field as the program writes numbers: an optional "-", then "0" or digits without a
// leading zero, at most five of them.
std::optional<int> PlainNumber(std::string_view text) {
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 5 || (text[0] == '0' && text.size() > 1)) return {};
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return {};
        value = value * 10 + (c - '0');
    }
    if (negative && value == 0) return {};
    return negative ? -value : value;
}

bool HasDigit(std::string_view text) {
    return text.find_first_of("0123456789") != std::string_view::npos;
}

// The six values of a file in the saved form; nothing when the bytes are not exactly that.
std::optional<Values> ParseSaved(std::string_view bytes) {
    Values values{};
    for (int& v : values) {
        const std::size_t bar = bytes.find('|');
        if (bar == std::string_view::npos) return {};
        const std::optional<int> number = PlainNumber(bytes.substr(0, bar));
        if (!number) return {};
        v = *number;
        bytes.remove_prefix(bar + 1);
    }
    if (bytes != kTrailer) return {};
    return values;
}

struct Run {
    Values values{};
    std::vector<std::string> readBuffer;  // lstStart
    std::vector<FakeHost::MessageBoxShown> loadBoxes;
    std::vector<FakeHost::MessageBoxShown> closeBoxes;
    bool windowGone = false;
    std::optional<std::string> saved;
};

// Loads the window with `file` as wigwag.cfg, as the program starts, then closes it.
Run LoadAndClose(const std::string& file, std::optional<std::size_t> readFailsAfter) {
    FakeHost host;
    Form1 form{host};
    host.files[kSettingsFile] = file;
    if (readFailsAfter) host.readFailsAfter[kSettingsFile] = *readFailsAfter;
    host.CreateForm();
    host.SetEventSink(&form);
    form.Create();
    form.Form_Load();
    host.ShowForm();

    Run run;
    for (std::size_t n = 0; n < kFields.size(); ++n) {
        const Field& f = kFields[n];
        run.values[n] = f.checkBox ? host.Value(f.control) : host.ListIndex(f.control);
    }
    for (int i = 0; i < host.ListCount(Control::lstStart); ++i)
        run.readBuffer.push_back(host.ListItem(Control::lstStart, i));
    run.loadBoxes = host.MessageBoxes();

    host.RequestClose();
    run.windowGone = !host.WindowExists();
    run.closeBoxes.assign(host.MessageBoxes().begin() + static_cast<long>(run.loadBoxes.size()),
                          host.MessageBoxes().end());
    if (const auto saved = host.files.find(kSettingsFile); saved != host.files.end())
        run.saved = saved->second;
    return run;
}

void CheckLoad(const Run& run, const SettingsInput& input) {
    for (std::size_t n = 0; n < kFields.size(); ++n) {
        const Field& f = kFields[n];
        Check(run.values[n] >= f.lowest && run.values[n] <= f.highest,
              std::string(f.name) + " holds " + std::to_string(run.values[n]) +
                  " after the load, outside " + std::to_string(f.lowest) + ".." +
                  std::to_string(f.highest));
    }

    // Where the read stops short of the file's end, if it does: the break the input asks
    // for, or the program's read limit.
    std::optional<std::size_t> stop = input.readFailsAfter;
    if (input.file.size() > kSettingsReadLimit)
        stop = std::min(stop.value_or(kSettingsReadLimit), kSettingsReadLimit);
    const bool breaksOff = stop && *stop < input.file.size();
    if (breaksOff) {
        Check(run.loadBoxes.size() == 1 && run.loadBoxes[0].title == "Unable to Continue" &&
                  run.loadBoxes[0].text == "An error occurred loading file:\r\nwigwag.cfg",
              "a read that breaks off gave " + std::to_string(run.loadBoxes.size()) +
                  " message boxes, not the one \"Unable to Continue\"");
    } else {
        Check(run.loadBoxes.empty(), "a file that reads whole gave a message box: " +
                                         (run.loadBoxes.empty() ? "" : run.loadBoxes[0].title));
    }

    // The read buffer holds the non-blank lines read, in file order.
    const std::string_view read =
        breaksOff ? std::string_view(input.file).substr(0, *stop) : std::string_view(input.file);
    std::vector<std::string> expected;
    for (const std::string& line : Lines(read, !breaksOff))
        if (!Blank(line)) expected.push_back(line);
    if (run.readBuffer != expected) {
        std::string what = "lstStart holds " + std::to_string(run.readBuffer.size()) +
                           " lines, the file's non-blank lines read are " +
                           std::to_string(expected.size());
        for (std::size_t i = 0; i < expected.size() && i < run.readBuffer.size(); ++i)
            if (run.readBuffer[i] != expected[i]) {
                what += "; line " + std::to_string(i) + " is " + Printable(run.readBuffer[i]) +
                        ", not " + Printable(expected[i]);
                break;
            }
        Fail(what);
    }

    // The first of them is the data line, field by field.
    const std::vector<std::string> fields = Split(expected.empty() ? "" : expected[0]);
    for (std::size_t n = 0; n < kFields.size(); ++n) {
        const Field& f = kFields[n];
        const std::string got = std::string(f.name) + " is " + std::to_string(run.values[n]);
        if (n >= fields.size() || fields[n].empty()) {
            const int want = f.defaultIndex.value_or(f.initial);
            Check(run.values[n] == want, got + " for a field that is " +
                                             (n >= fields.size() ? "missing" : "empty") + ", not " +
                                             std::to_string(want));
            continue;
        }
        const std::optional<int> number = PlainNumber(fields[n]);
        if (number && *number >= f.lowest && *number <= f.highest)
            Check(run.values[n] == *number, got + " for the field " + Printable(fields[n]));
        if (!HasDigit(fields[n]))
            Check(run.values[n] == f.initial, got + " for the field " + Printable(fields[n]) +
                                                  ", which gives no value and no default");
    }
}

void CheckSaved(const Run& run, const std::string& when) {
    Check(run.windowGone, "the window is still there after the close " + when);
    Check(run.closeBoxes.empty(), "the close " + when + " showed a message box: " +
                                      (run.closeBoxes.empty() ? "" : run.closeBoxes[0].title));
    Check(run.saved.has_value(), "no wigwag.cfg after the close " + when);
    const std::optional<Values> saved = ParseSaved(*run.saved);
    Check(saved.has_value(), "the file saved " + when +
                                 " is not six numbers and the trailer: " + Printable(*run.saved));
    Check(*saved == run.values, "the file saved " + when + " holds " + Print(*saved) +
                                    "but the controls held " + Print(run.values));
}

void FuzzOne(const SettingsInput& input) {
    const Run first = LoadAndClose(input.file, input.readFailsAfter);
    CheckLoad(first, input);
    CheckSaved(first, "after the first load");

    const Run second = LoadAndClose(*first.saved, std::nullopt);
    Check(second.loadBoxes.empty(), "loading the saved file gave a message box");
    Check(second.values == first.values, "loading the saved file gives " + Print(second.values) +
                                             "instead of " + Print(first.values));
    CheckSaved(second, "after loading the saved file");
    Check(*second.saved == *first.saved,
          "saving again gives other bytes: " + Printable(*second.saved) + " after " +
              Printable(*first.saved));
}

}  // namespace
}  // namespace wigwag::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace wigwag::fuzz;
    const SettingsInput input =
        DecodeInput(std::string_view(reinterpret_cast<const char*>(data), size));
    current = &input;
    try {
        FuzzOne(input);
    } catch (const std::exception& e) {
        Fail(std::string("exception: ") + e.what());
    }
    current = nullptr;
    return 0;
}
