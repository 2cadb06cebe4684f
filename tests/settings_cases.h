// The settings files the tests (and the fuzzer's seeds) load, the values they give cbFlash,
// cbSiren, cbHazards, cboStartKey, cboFlash and cboSiren, and the wheel field written back.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace wigwag {

using Values = std::array<int, 6>;

inline std::string DataFile(const std::string& line) {
    return line + "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n";
}

struct SettingsCase {
    std::optional<std::string> file;  // nothing: no file at all
    Values loaded;
    std::string wheel = {};  // the seventh field written back, with its "|"; empty: none
};

inline std::vector<SettingsCase> SettingsCases() {
    std::vector<SettingsCase> cases{
        {std::nullopt, {0, 0, 0, 0, 31, 26}},
        {"", {0, 0, 0, 0, 31, 26}},
        {"\r\n   \r\n\r\n", {0, 0, 0, 0, 31, 26}},
        {DataFile("1|0|1|5|40|62|"), {1, 0, 1, 5, 40, 62}},
        {"\r\n  \r\n" + DataFile("0|1|0|9|1|2|"), {0, 1, 0, 9, 1, 2}},
        {"---------------\r\nWigwag Config File.\r\n", {0, 0, 0, 0, 31, 26}},
        {"1|0|1|5\r\n", {1, 0, 1, 5, 31, 26}},
        {"1|0|1|5|||\r\n", {1, 0, 1, 5, 31, 26}},
        {"1|0|1||31|26|\r\n", {1, 0, 1, 0, 31, 26}},
        {"1|0|1|5|x|26|\r\n", {1, 0, 1, 5, -1, 26}},  // present but unusable: no default
        {"0|0|0|-1|-1|-1|\r\n", {0, 0, 0, -1, -1, -1}},
        {"0|0|0|63|-2|99999|\r\n", {0, 0, 0, -1, -1, -1}},
        {"0|0|0|0|63|63|\r\n", {0, 0, 0, 0, -1, -1}},
        {"3|1|-1|0|31|26|\r\n", {0, 1, 0, 0, 31, 26}},
        {"-1|3|3|0|31|26|\r\n", {0, 0, 0, 0, 31, 26}},
        {"2|2|2|0|31|26|\r\n", {2, 2, 2, 0, 31, 26}},
        {" 1 | 1|1 | 7 |+8|-1\r\n", {1, 1, 1, 7, 8, -1}},
        {"1|1|1|  |31|26|\r\n", {1, 1, 1, -1, 31, 26}},  // spaces are not empty
        {"1.0|one|1|5.5|31|26|\r\n", {0, 0, 1, -1, 31, 26}},
        {"32768|-32769|1|32767|31|26|\r\n", {0, 0, 1, -1, 31, 26}},
        {"1|0|1|2|3|4|\n---------------\nx\n", {1, 0, 1, 2, 3, 4}},  // a lone LF stays
        {"1|0|1|5\n|40|62|\r\n", {1, 0, 1, -1, 40, 62}},             // ... inside the line too
        {"\r1|1|0|2|3|4|\r---\r", {1, 1, 0, 2, 3, 4}},               // a lone CR ends
        {"\t\r\n1|1|1|1|1|1|\r\n", {0, 0, 0, 0, 31, 26}},            // a tab is not blank
        {"\t1|0|\t2|5\t|40|62|\r\n", {1, 0, 2, 5, 40, 62}},          // but blank around a number
        {"1|1|0|6|7|8|", {1, 1, 0, 6, 7, 8}},
        // The wheel button: only "vvvv:pppp:n" is one; written back in lower case.
        {DataFile("1|1|1|0|31|26|2a3b:0c01:18|"), {1, 1, 1, 0, 31, 26}, "2a3b:0c01:18|"},
        {DataFile("1|1|1|0|31|26|2A3B:0c0F:1|"), {1, 1, 1, 0, 31, 26}, "2a3b:0c0f:1|"},
        {"1|1|1|0|31|26|ffff:0000:512|junk|0000:0000:1|\r\n",
         {1, 1, 1, 0, 31, 26},
         "ffff:0000:512|"},
        {"1|1|1|0|31|26|2a3b:0c01:18\r\n", {1, 1, 1, 0, 31, 26}, "2a3b:0c01:18|"},
        {"0|0|0|x|31|26|2a3b:0c01:7|\r\n", {0, 0, 0, -1, 31, 26}, "2a3b:0c01:7|"},
        {"1|1|1|0|31|26|\r\n2a3b:0c01:18|\r\n", {1, 1, 1, 0, 31, 26}},
        {"1|1|1|2a3b:0c01:18|\r\n", {1, 1, 1, -1, 31, 26}},
    };
    for (const char* notOne :
         {"2a3b:0c01:0", "2a3b:0c01:999", "2a3b:0c01:513", "2a3b:0c01:018", "2a3b:0c01:+18",
          "2a3b:0c01", "2a3:0c01:18", "2a3b:0c01:18:1", "2a3b::0c01:18", " 2a3b:0c01:18",
          "2a3b:0c01:18 ", "2g3b:0c01:18", "|2a3b:0c01:18"})  // the last: in the eighth field
        cases.push_back({"1|1|1|0|31|26|" + std::string(notOne) + "|\r\n", {1, 1, 1, 0, 31, 26}});
    return cases;
}

}  // namespace wigwag
