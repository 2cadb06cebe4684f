// The main window as data: every control's kind, text, place in twips, focus order,
// font and colours, and the window's own properties. Each host renders this table;
// no host repeats a coordinate.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "engine/wheel_captions.h"
#include "platform/host.h"

namespace wigwag {

struct Rgb {
    std::uint8_t r, g, b;
};

inline constexpr Rgb kBlack{0, 0, 0};
inline constexpr Rgb kRed{255, 0, 0};
inline constexpr Rgb kWhite{255, 255, 255};

enum class ControlKind : std::uint8_t { Picture, Label, DropDownList, CheckBox, List, Button };

enum class FontRole : std::uint8_t { Window, Combo, Header, Status, None };

struct FontStyle {
    const char* face;          // preferred face
    const char* fallbackFace;  // metric-compatible face where the preferred one is missing
    double points;
    int weight;  // 400 regular, 700 bold
    bool underline;
};

// How a control's text is coloured: system colours, or a text colour on a background
// (transparent: only the text is painted, the window or the banner shows behind it).
enum class Paint : std::uint8_t { System, OnTransparent, OnBackground };

enum class Align : std::uint8_t { Left, Center };

struct ControlLayout {
    Control id;
    const char* name;
    ControlKind kind;
    const char* text;              // caption, or the picture's asset name (assets/<text>.png, .bmp)
    int left, top, width, height;  // twips from the client area's top left corner
    int tabIndex;                  // -1: no place in the focus order
    FontRole font;
    Paint paint;
    Rgb foreground;
    Rgb background;
    Align align;
    const char* toolTip;  // nullptr: none
};

struct TimerLayout {
    Timer id;
    const char* name;
    int intervalMs;
    bool enabledAtCreation;
};

struct FormLayout {
    const char* name;
    const char* caption;
    int clientWidth, clientHeight;  // twips
    Rgb background;
    bool fixedSingleBorder;  // the user cannot resize the window
    bool minimizeButton, maximizeButton;
    int twipsPerInch;  // 1440; 15 twips a pixel at 96 dots per inch
};

// The window's height takes one row below the status for the wheel button.
inline constexpr FormLayout kForm1{"Form1", "Wigwag v1.1", 2880,  2955, kBlack,
                                   true,    false,         false, 1440};

inline constexpr std::array<FontStyle, 4> kFonts{{
    {"Arial Narrow", "Liberation Sans Narrow", 8.25, 400, false},  // Window
    {"Arial Narrow", "Liberation Sans Narrow", 5.25, 700, false},  // Combo
    {"Arial Narrow", "Liberation Sans Narrow", 6.75, 700, true},   // Header
    {"Arial Narrow", "Liberation Sans Narrow", 6.75, 700, false},  // Status
}};

inline const FontStyle& FontFor(FontRole role) {
    return kFonts[static_cast<std::size_t>(role)];
}

inline constexpr const char* kStartKeyTip =
    "Set the key which will enable/disable the application.";
inline constexpr const char* kFlashKeyTip = "Set the simulator's key that flashes the headlights.";
inline constexpr const char* kSirenKeyTip = "Set the simulator's key that sounds the horn.";
inline constexpr const char* kWheelTip =
    "Set a button of a wheel, button box or game pad that switches Wigwag on and off like the "
    "start/stop key: click, then press the button within 10 seconds (click again to cancel).";
inline constexpr const char* kClearTip =
    "Forget the wheel button: only the start/stop key switches.";

// The maker's web site, opened by a click on Image2 with the desktop's browser.
inline constexpr const char* kWebAddress = "https://wigwag.example.org/";

// In the order of the Control enumeration.
inline constexpr std::array<ControlLayout, kControlCount> kControls{{
    {Control::Image1, "Image1", ControlKind::Picture, "banner", -600, 0, 4170, 915, -1,
     FontRole::None, Paint::System, kBlack, kBlack, Align::Left, nullptr},
    {Control::Label1, "Label1", ControlKind::Label, "Start/Stop Key:", 480, 840, 1095, 255, 0,
     FontRole::Window, Paint::OnTransparent, kRed, kBlack, Align::Left, nullptr},
    {Control::cboStartKey, "cboStartKey", ControlKind::DropDownList, "", 1440, 840, 975, 240, 1,
     FontRole::Combo, Paint::System, kBlack, kWhite, Align::Left, kStartKeyTip},
    {Control::Label2, "Label2", ControlKind::Label, "Option", 120, 1200, 1335, 255, 4,
     FontRole::Header, Paint::OnTransparent, kRed, kBlack, Align::Center, nullptr},
    {Control::Label3, "Label3", ControlKind::Label, "Vroom Key", 1680, 1200, 975, 255, 11,
     FontRole::Header, Paint::OnTransparent, kRed, kBlack, Align::Center, nullptr},
    {Control::cbFlash, "cbFlash", ControlKind::CheckBox, "Flash Headlights", 240, 1440, 1455, 255,
     2, FontRole::Window, Paint::OnBackground, kRed, kBlack, Align::Left, nullptr},
    {Control::cboFlash, "cboFlash", ControlKind::DropDownList, "", 1680, 1440, 975, 240, 9,
     FontRole::Combo, Paint::System, kBlack, kWhite, Align::Left, kFlashKeyTip},
    {Control::cbSiren, "cbSiren", ControlKind::CheckBox, "Horn (Siren)", 240, 1680, 1455, 255, 3,
     FontRole::Window, Paint::OnBackground, kRed, kBlack, Align::Left, nullptr},
    {Control::cboSiren, "cboSiren", ControlKind::DropDownList, "", 1680, 1680, 975, 240, 10,
     FontRole::Combo, Paint::System, kBlack, kWhite, Align::Left, kSirenKeyTip},
    {Control::cbHazards, "cbHazards", ControlKind::CheckBox, "Flash Hazards", 240, 1920, 1215, 255,
     6, FontRole::Window, Paint::OnBackground, kRed, kBlack, Align::Left, nullptr},
    {Control::lblStatus, "lblStatus", ControlKind::Label, "Not Running", 360, 2280, 975, 255, 5,
     FontRole::Status, Paint::OnTransparent, kWhite, kBlack, Align::Left, nullptr},
    {Control::Image2, "Image2", ControlKind::Picture, "website", 1560, 2280, 1095, 195, -1,
     FontRole::None, Paint::System, kBlack, kBlack, Align::Left, nullptr},
    {Control::lstStart, "lstStart", ControlKind::List, "", 3720, 240, 1455, 285, 7,
     FontRole::Window, Paint::System, kBlack, kWhite, Align::Left, nullptr},
    {Control::lstKeys, "lstKeys", ControlKind::List, "", 5400, 720, 615, 285, 8, FontRole::Window,
     Paint::System, kBlack, kWhite, Align::Left, nullptr},
    {Control::cmdWheel, "cmdWheel", ControlKind::Button, kNoWheelButton, 120, 2565, 2115, 300, 12,
     FontRole::Window, Paint::System, kBlack, kWhite, Align::Center, kWheelTip},
    {Control::cmdClear, "cmdClear", ControlKind::Button, "Clear", 2280, 2565, 480, 300, 13,
     FontRole::Window, Paint::System, kBlack, kWhite, Align::Center, kClearTip},
}};

inline const ControlLayout& LayoutOf(Control id) {
    return kControls[static_cast<std::size_t>(id)];
}

// In the order of the Timer enumeration.
inline constexpr std::array<TimerLayout, kTimerCount> kTimers{{
    {Timer::tmStart, "tmStart", 100, true},
    {Timer::tmFlash, "tmFlash", 400, false},
    {Timer::tmSiren, "tmSiren", 100, false},
    {Timer::tmHazards, "tmHazards", 1000, false},
}};

// The window icon's asset name (assets/<name>.ico, .png), also the program file's icon.
inline constexpr const char* kIconAsset = "badge";

}  // namespace wigwag
