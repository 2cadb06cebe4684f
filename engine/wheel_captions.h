// The wheel button's captions, shared by the engine that changes them and the layout that
// gives the first one.
#pragma once

namespace wigwag {

// The wheel button's caption when none is chosen, and while one is being chosen.
inline constexpr const char* kNoWheelButton = "Set Wheel Button...";
inline constexpr const char* kChoosingWheelButton = "Press a wheel button...";
// How long the window waits for the press of the button being chosen.
inline constexpr double kChooseSeconds = 10.0;

}  // namespace wigwag
