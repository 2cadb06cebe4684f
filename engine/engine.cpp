#include "engine/engine.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>

#include "keys/key_table.h"
#include "keys/module1.h"
#include "platform/game_controllers.h"

namespace wigwag {

namespace {

constexpr std::array kEffectTimers{Timer::tmFlash, Timer::tmSiren, Timer::tmHazards};
constexpr std::array<std::uint8_t, 3> kFixedReleases{kBCode, kGCode, kNineCode};

std::string Text(std::uint8_t code) {
    return std::to_string(code);
}

bool IsFixedRelease(std::uint8_t code) {
    for (std::uint8_t fixed : kFixedReleases)
        if (fixed == code) return true;
    return false;
}

}  // namespace

std::optional<std::uint8_t> ChosenKeyCode(Host& host, Control comboBox) {
    const int index = host.ListIndex(comboBox);
    if (index < 0 || index >= kKeyCount) return std::nullopt;
    return kKeyTable[static_cast<std::size_t>(index)].code;
}

bool StartKeyPressed(Host& host, StartKeyWatch& watch) {
    const std::optional<std::uint8_t> code = ChosenKeyCode(host, Control::cboStartKey);
    if (!code) {
        watch = {};
        return false;
    }
    const KeyPoll poll = host.PollKey(*code);
    const bool wasDown = watch.code == *code && watch.wasDown;
    watch = {*code, poll.down};
    return (poll.down && !wasDown) || poll.pressed;
}

bool WheelButtonPressed(Host& host, WheelSwitch& wheel) {
    const std::vector<GameButtonPress> presses = host.TakeButtonPresses();
    if (wheel.choosingUntil) {
        if (!presses.empty()) {
            // The press that chooses the button switches nothing.
            wheel.button = presses.front().button;
            wheel.choosingUntil.reset();
            host.SetCaption(Control::cmdWheel,
                            WheelButtonCaption(*wheel.button, presses.front().device));
            return false;
        }
        const double left = *wheel.choosingUntil - host.Clock();
        if (left > 0) {
            host.SetCaption(Control::cmdWheel,
                            std::string(kChoosingWheelButton) + " " +
                                std::to_string(static_cast<int>(std::ceil(left))));
            return false;
        }
        wheel.choosingUntil.reset();
        ShowWheelButton(host, wheel);
        return false;
    }
    return wheel.button && std::any_of(presses.begin(), presses.end(), [&](const auto& press) {
               return press.button == *wheel.button;
           });
}

void ChooseWheelButton(Host& host, WheelSwitch& wheel) {
    if (wheel.choosingUntil) {
        wheel.choosingUntil.reset();
        ShowWheelButton(host, wheel);
        return;
    }
    wheel.choosingUntil = host.Clock() + kChooseSeconds;
    host.SetCaption(Control::cmdWheel, std::string(kChoosingWheelButton) + " " +
                                           std::to_string(static_cast<int>(kChooseSeconds)));
}

void ClearWheelButton(Host& host, WheelSwitch& wheel) {
    wheel = {};
    ShowWheelButton(host, wheel);
}

std::string WheelButtonCaption(const GameButton& button, std::string_view device) {
    std::string name = PrintableName(device);
    if (name.empty()) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", button.vendor, button.product);
        name = ids;
    }
    return "Button " + std::to_string(button.number) + " \xC2\xB7 " + name;
}

void ShowWheelButton(Host& host, const WheelSwitch& wheel) {
    host.SetCaption(Control::cmdWheel,
                    wheel.button ? WheelButtonCaption(*wheel.button, host.GameControllerName(
                                                                         wheel.button->vendor,
                                                                         wheel.button->product))
                                 : kNoWheelButton);
}

void ReleaseEffectKeys(Host& host) {
    for (std::uint8_t code : kFixedReleases) host.SendKey(code, true);
    std::optional<std::uint8_t> released;
    for (Control combo : {Control::cboFlash, Control::cboSiren}) {
        const std::optional<std::uint8_t> code = ChosenKeyCode(host, combo);
        if (!code || IsFixedRelease(*code) || code == released) continue;
        host.SendKey(*code, true);
        released = code;
    }
}

void ToggleRunning(Host& host, bool& running) {
    ReleaseEffectKeys(host);
    PressKey(host, Text(kZeroCode), "0", "0");
    running = !running;
    host.SetCaption(Control::lblStatus, RunStateAnswer(running));
    for (Timer timer : kEffectTimers) host.SetTimerEnabled(timer, running);
}

bool CommandSwitches(bool running, Command command) {
    switch (command) {
        case Command::Toggle:
            return true;
        case Command::Start:
            return !running;
        case Command::Stop:
            return running;
        case Command::Status:
            return false;
    }
    return false;
}

const char* RunStateAnswer(bool running) {
    return running ? kRunning : kNotRunning;
}

void FlashTick(Host& host) {
    const std::optional<std::uint8_t> code = ChosenKeyCode(host, Control::cboFlash);
    if (!code || host.Value(Control::cbFlash) != 1) return;
    PressKey(host, Text(*code), "1", "0.1");
    Pause(host, "0.1");
    PressKey(host, Text(*code), "1", "0.1");
}

void SirenTick(Host& host) {
    const std::optional<std::uint8_t> code = ChosenKeyCode(host, Control::cboSiren);
    if (!code || host.Value(Control::cbSiren) != 1) return;
    PressKey(host, Text(*code), "0", "0.1");
}

void HazardsTick(Host& host) {
    if (host.Value(Control::cbHazards) != 1) return;
    PressKey(host, Text(kNineCode), "1", "0.1");
}

}  // namespace wigwag
