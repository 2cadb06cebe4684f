#include "settings/settings.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "keys/key_table.h"

namespace wigwag {

std::vector<std::string> SplitLines(std::string_view bytes, bool complete) {
    std::vector<std::string> lines;
    // Sized once: a file may hold hundreds of thousands of short lines.
    lines.reserve(static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\r')) + 1);
    std::size_t begin = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r') continue;
        lines.emplace_back(bytes.substr(begin, i - begin));
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        begin = i + 1;
    }
    if (complete && begin < bytes.size()) lines.emplace_back(bytes.substr(begin));
    return lines;
}

bool IsBlankLine(std::string_view line) {
    return line.find_first_not_of(' ') == std::string_view::npos;
}

std::optional<int> ConvertField(std::string_view field) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t i = 0;
    std::size_t end = field.size();
    while (i < end && blank(field[i])) ++i;
    while (end > i && blank(field[end - 1])) --end;
    bool negative = false;
    if (i < end && (field[i] == '-' || field[i] == '+')) negative = field[i++] == '-';
    if (i == end) return std::nullopt;
    long value = 0;
    for (; i < end; ++i) {
        if (field[i] < '0' || field[i] > '9') return std::nullopt;
        value = value * 10 + (field[i] - '0');
        if (value > 32768) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > 32767) return std::nullopt;
    return static_cast<int>(value);
}

bool LoadListFromFile(Host& host, Control list, const std::string& fileName) {
    host.Clear(list);
    const FileRead file = host.ReadTextFile(fileName, kSettingsReadLimit);
    const bool ok = file.opened && !file.failed;
    if (file.opened) {
        std::vector<std::string> lines = SplitLines(file.bytes, ok);
        std::erase_if(lines, [](const std::string& line) { return IsBlankLine(line); });
        host.AddItems(list, lines);
    }
    if (!ok)
        host.ShowMessageBox("Unable to Continue", "An error occurred loading file:\r\n" + fileName);
    return !file.opened && !file.missing;
}

namespace {

struct Field {
    Control control;
    int lowest, highest;
    int defaultIndex;  // -1: a check box, no default
};

constexpr std::array<Field, 6> kFields{{
    {Control::cbFlash, 0, 2, -1},
    {Control::cbSiren, 0, 2, -1},
    {Control::cbHazards, 0, 2, -1},
    {Control::cboStartKey, -1, kKeyCount - 1, kDeleteIndex},
    {Control::cboFlash, -1, kKeyCount - 1, kGIndex},
    {Control::cboSiren, -1, kKeyCount - 1, kBIndex},
}};

bool IsCheckBox(const Field& f) {
    return f.defaultIndex < 0;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    if (line.empty()) return fields;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t bar = line.find('|', begin);
        fields.push_back(line.substr(begin, bar - begin));
        if (bar == std::string_view::npos) break;
        begin = bar + 1;
    }
    return fields;
}

}  // namespace

std::optional<GameButton> ParseButtonField(std::string_view field) {
    const auto hex = [](std::string_view digits) -> std::optional<std::uint16_t> {
        const std::optional<std::uint32_t> value =
            digits.size() == 4 ? ParseHex(digits) : std::nullopt;
        if (!value) return std::nullopt;
        return static_cast<std::uint16_t>(*value);
    };
    if (field.size() < 11 || field[4] != ':' || field[9] != ':') return std::nullopt;
    const auto vendor = hex(field.substr(0, 4));
    const auto product = hex(field.substr(5, 4));
    const std::string_view number = field.substr(10);
    if (!vendor || !product || number.empty() || number.size() > 3 || number[0] == '0')
        return std::nullopt;
    int n = 0;
    for (char c : number) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n > kMaxButtonNumber) return std::nullopt;
    return GameButton{*vendor, *product, n};
}

std::string ButtonFieldText(const GameButton& button) {
    char text[24];
    std::snprintf(text, sizeof text, "%04x:%04x:%d", button.vendor, button.product, button.number);
    return text;
}

bool LoadSettings(Host& host, std::optional<GameButton>& wheelButton) {
    const bool unreadable = LoadListFromFile(host, Control::lstStart, kSettingsFile);
    const std::string line =
        host.ListCount(Control::lstStart) > 0 ? host.ListItem(Control::lstStart, 0) : "";
    const std::vector<std::string_view> fields = SplitFields(line);

    // Each field on its own: one that is missing, does not convert or does not fit its
    // control leaves the control as it was.
    for (std::size_t n = 0; n < kFields.size(); ++n) {
        if (n >= fields.size()) break;
        const Field& f = kFields[n];
        const std::optional<int> value = ConvertField(fields[n]);
        if (!value || *value < f.lowest || *value > f.highest) continue;
        if (IsCheckBox(f))
            host.SetValue(f.control, *value);
        else
            host.SetListIndex(f.control, *value);
    }
    // A default only where the file gives no value at all for the key.
    for (std::size_t n = 0; n < kFields.size(); ++n) {
        const Field& f = kFields[n];
        if (IsCheckBox(f)) continue;
        if (n >= fields.size() || fields[n].empty()) host.SetListIndex(f.control, f.defaultIndex);
    }
    // Older copies of Wigwag stop at the sixth "|" and never see this one.
    wheelButton =
        fields.size() > kFields.size() ? ParseButtonField(fields[kFields.size()]) : std::nullopt;
    return !unreadable;
}

std::string SettingsText(Host& host, const std::optional<GameButton>& wheelButton) {
    std::string text;
    for (const Field& f : kFields) {
        const int value = IsCheckBox(f) ? host.Value(f.control) : host.ListIndex(f.control);
        text += std::to_string(value) + "|";
    }
    if (wheelButton) text += ButtonFieldText(*wheelButton) + "|";
    text += "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n";
    return text;
}

void SaveSettings(Host& host, bool replaceable, const std::optional<GameButton>& wheelButton) {
    if (!replaceable) {
        // Whatever it holds was never read: replacing it could destroy what cannot be
        // brought back.
        host.ShowMessageBox("Unable to Save",
                            std::string("The settings file could not be read when Wigwag "
                                        "started, so it was not replaced:\r\n") +
                                kSettingsFile);
        return;
    }
    const FileWrite result = host.ReplaceTextFile(kSettingsFile, SettingsText(host, wheelButton));
    if (!result.ok)
        host.ShowMessageBox("Unable to Save",
                            std::string("The settings could not be saved to file:\r\n") +
                                kSettingsFile + "\r\n" + result.error);
}

}  // namespace wigwag
