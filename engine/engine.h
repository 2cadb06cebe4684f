// The effect engine: the run state, the start/stop key and the three effects. The run
// state is the program's own, shown by the status label; the check boxes and the chosen
// keys are read from the window's controls afresh on every tick.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/wheel_captions.h"
#include "platform/host.h"

namespace wigwag {

inline constexpr const char* kRunning = "Running";
inline constexpr const char* kNotRunning = "Not Running";

// The code of the key chosen in a drop-down list, from the key table; nothing when the
// list has no choice.
std::optional<std::uint8_t> ChosenKeyCode(Host& host, Control comboBox);

// What the start/stop poll remembers between two polls of the same key.
struct StartKeyWatch {
    int code = -1;
    bool wasDown = false;
};

// True once per press of the chosen start/stop key, however long it is held: the key went
// down since the previous poll, or a tap came and went between two polls.
bool StartKeyPressed(Host& host, StartKeyWatch& watch);

// The wheel button: a button of a game controller that switches like the start/stop key.
// While one is being chosen, the next press of any controller's button is taken instead.
struct WheelSwitch {
    std::optional<GameButton> button;
    std::optional<double> choosingUntil;  // a button is being chosen until this time
};

// True when the chosen wheel button was pressed since the previous poll (once however many
// times). While a button is being chosen, the first press of any button becomes the choice
// instead and switches nothing; the choice gives up at its deadline. Shows the outcome on
// cmdWheel.
bool WheelButtonPressed(Host& host, WheelSwitch& wheel);

// Starts choosing the wheel button, or, when one is being chosen already, gives up.
void ChooseWheelButton(Host& host, WheelSwitch& wheel);
// Forgets the wheel button.
void ClearWheelButton(Host& host, WheelSwitch& wheel);

// The chosen button in the player's words: "Button 18 · Sim Button Box", with the ids for
// the name when no controller of those ids is connected.
std::string WheelButtonCaption(const GameButton& button, std::string_view device);
// Shows the wheel button on cmdWheel, the name of a connected controller of its ids with it.
void ShowWheelButton(Host& host, const WheelSwitch& wheel);

// Key-ups for the keys the effects may have left down: B, G and 9, then the chosen flash
// and horn keys where they are other keys.
void ReleaseEffectKeys(Host& host);

// The switch-over: releases the effect keys, presses 0, and flips the run state, which
// the status label shows, with the effect timers.
void ToggleRunning(Host& host, bool& running);

// Whether a command switches the program over now: a toggle always, a start only when not
// running, a stop only when running, a status query never.
bool CommandSwitches(bool running, Command command);

// The answer to every command: the run state after the command was carried out.
const char* RunStateAnswer(bool running);

void FlashTick(Host& host);
void SirenTick(Host& host);
void HazardsTick(Host& host);

}  // namespace wigwag
