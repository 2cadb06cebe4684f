// The effect engine: the run state, the start/stop key and the three effects. All state
// lives in the window's controls, read afresh on every tick.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/host.h"

namespace wigwag {

inline constexpr const char* kRunning = "Running";
inline constexpr const char* kNotRunning = "Not Running";

// The code of the key chosen in a drop-down list, through lstKeys; nothing when the list
// has no choice.
std::optional<std::uint8_t> ChosenKeyCode(Host& host, Control comboBox);

bool IsRunning(Host& host);

// What the start/stop poll remembers between two polls of the same key.
struct StartKeyWatch {
    int code = -1;
    bool wasDown = false;
};

// True once per press of the chosen start/stop key, however long it is held: the key went
// down since the previous poll, or a tap came and went between two polls.
bool StartKeyPressed(Host& host, StartKeyWatch& watch);

// Key-ups for the keys the effects may have left down: B, G and 9, then the chosen flash
// and horn keys where they are other keys.
void ReleaseEffectKeys(Host& host);

// The switch-over: releases the effect keys, presses 0, and flips the run state with the
// effect timers.
void ToggleRunning(Host& host);

// Whether a command switches the program over now: a toggle always, a start only from
// "Not Running", a stop only from "Running", a status query never.
bool CommandSwitches(Host& host, Command command);

// The answer to every command, read after the command was carried out.
const char* RunStateAnswer(Host& host);

void FlashTick(Host& host);
void SirenTick(Host& host);
void HazardsTick(Host& host);

}  // namespace wigwag
