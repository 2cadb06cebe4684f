#include "window/form1.h"

#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "keys/key_table.h"
#include "settings/settings.h"
#include "window/layout.h"

namespace wigwag {

Form1::Form1(Host& host) : host_(host) {}

void Form1::Create() {
    std::vector<std::string> names, codes;
    for (const KeyEntry& key : kKeyTable) {
        names.emplace_back(key.name);
        codes.push_back(CodeText(key.code));
    }
    for (Control combo : {Control::cboStartKey, Control::cboFlash, Control::cboSiren})
        host_.AddItems(combo, names);
    host_.AddItems(Control::lstKeys, codes);
    for (const TimerLayout& timer : kTimers) {
        host_.SetTimerInterval(timer.id, timer.intervalMs);
        host_.SetTimerEnabled(timer.id, timer.enabledAtCreation);
    }
}

void Form1::Form_Load() {
    replaceable_ = LoadSettings(host_, wheel_.button);
    ShowWheelButton(host_, wheel_);
    loaded_ = true;
}

void Form1::Form_Unload(int& /*cancel*/) {
    // No tick acts from here on: a message box of the save lets ticks run, and they must
    // not press the keys released here again, nor switch the effects back on. A tick that
    // is under way in a pause still finishes its presses.
    closed_ = true;
    // Release the held keys before anything can keep the close waiting on the user.
    if (running_) ReleaseEffectKeys(host_);
    SaveSettings(host_, replaceable_, wheel_.button);
}

void Form1::Image2_Click() {
    // A browser that cannot be started changes nothing in the window.
    host_.OpenAddress(kWebAddress);
}

void Form1::cmdWheel_Click() {
    // Presses that came before the click are not the choice: they switch as at a poll.
    if (!wheel_.choosingUntil && WheelButtonPressed(host_, wheel_)) ToggleRunning();
    ChooseWheelButton(host_, wheel_);
}

void Form1::cmdClear_Click() {
    ClearWheelButton(host_, wheel_);
}

void Form1::tmStart_Timer() {
    if (StartKeyPressed(host_, startKey_)) ToggleRunning();
    if (WheelButtonPressed(host_, wheel_)) ToggleRunning();
    // Then the commands that came since the last poll, in the order they came.
    while (const std::optional<CommandRequest> request = host_.TakeCommand()) {
        if (CommandSwitches(running_, request->command)) ToggleRunning();
        host_.AnswerCommand(request->id, RunStateAnswer(running_));
    }
}

void Form1::tmFlash_Timer() {
    FlashTick(host_);
}
void Form1::tmSiren_Timer() {
    SirenTick(host_);
}
void Form1::tmHazards_Timer() {
    HazardsTick(host_);
}

void Form1::ToggleRunning() {
    wigwag::ToggleRunning(host_, running_);
}

void Form1::OnTimer(Timer timer) {
    if (!loaded_ || closed_) return;
    switch (timer) {
        case Timer::tmStart:
            return tmStart_Timer();
        case Timer::tmFlash:
            return tmFlash_Timer();
        case Timer::tmSiren:
            return tmSiren_Timer();
        case Timer::tmHazards:
            return tmHazards_Timer();
    }
}

void Form1::OnClick(Control control) {
    if (control == Control::Image2) Image2_Click();
    if (!loaded_ || closed_) return;
    if (control == Control::cmdWheel) cmdWheel_Click();
    if (control == Control::cmdClear) cmdClear_Click();
}

void Form1::OnClose() {
    int cancel = 0;
    Form_Unload(cancel);
}

int RunWigwag(Host& host) {
    host.CreateForm();
    Form1 form(host);
    host.SetEventSink(&form);
    form.Create();
    form.Form_Load();
    host.ShowForm();
    const int code = host.RunEventLoop();
    host.SetEventSink(nullptr);
    return code;
}

}  // namespace wigwag
