// Window identifiers of the main window's controls, shared with the programs that drive the
// window from outside (automation, the end-to-end tests).
#pragma once

#include "platform/host.h"

namespace wigwag::win32 {

inline constexpr int kFirstControlId = 1000;

inline constexpr int ControlId(Control control) {
    return kFirstControlId + static_cast<int>(control);
}

// The line that says the window in front belongs to a program run as administrator; the
// host's own, beside the layout table's controls.
inline constexpr int kElevationLineId = kFirstControlId + 100;

// Written into the extra-information word of every key event the program sends, so that
// its own keystrokes can be told from the player's.
inline constexpr unsigned long long kOwnEventMarker = 0x57474B59ULL;

}  // namespace wigwag::win32
