// The settings file: the player's six choices and the wheel button, read when the window
// loads and written when it closes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host.h"

namespace wigwag {

inline constexpr const char* kSettingsFile = "wigwag.cfg";
// The most of a settings file that is read: far above the 60-odd bytes the program writes,
// small enough that any file loads at once.
inline constexpr std::size_t kSettingsReadLimit = 1 << 20;

// The file's lines as the reader sees them: CR LF or a lone CR ends a line, a lone LF
// stays in the text. `complete` false leaves out an unterminated last line.
std::vector<std::string> SplitLines(std::string_view bytes, bool complete = true);

// Empty, or spaces only.
bool IsBlankLine(std::string_view line);

// A settings field as a 16-bit signed integer: optional sign, decimal digits, blanks
// around them; nothing for anything else.
std::optional<int> ConvertField(std::string_view field);

// The seventh field, the wheel button: "vvvv:pppp:n", the controller's vendor and product
// ids as four hex digits each (either case) and the button's number, 1 to kMaxButtonNumber,
// in decimal without a sign or leading zeros. Anything else is no button.
inline constexpr int kMaxButtonNumber = 512;
std::optional<GameButton> ParseButtonField(std::string_view field);
// The field as the program writes it, lower case, without its "|".
std::string ButtonFieldText(const GameButton& button);

// Empties `list` and fills it with the file's non-blank lines. When the file cannot be
// opened or read, tells the user in a message box and keeps the lines read before. True
// when the file is there but could not be opened (denied, locked, not a regular file).
bool LoadListFromFile(Host& host, Control list, const std::string& fileName);

// The load: the file's first non-blank line applied field by field to the check boxes and
// key lists, and the default keys where the file gives none; the wheel button from the
// seventh field. Returns whether the save may replace the file: not when it is there but
// could not be opened, as it was not read.
bool LoadSettings(Host& host, std::optional<GameButton>& wheelButton);

// The file's whole text for the controls' current values and the wheel button; without a
// wheel button, the file of six fields that Wigwag always wrote.
std::string SettingsText(Host& host, const std::optional<GameButton>& wheelButton = {});

// The save: replaces the file atomically; on failure the old file stays and the user is
// told why. A file that the load could not read (`replaceable` false) stays as it is, and
// the user is told so.
void SaveSettings(Host& host, bool replaceable = true,
                  const std::optional<GameButton>& wheelButton = {});

}  // namespace wigwag
