// What both real hosts do alike, once: the keys through a KeyDevice, the game controllers
// through a ButtonDevice, the later starts' commands through a CommandSource, the timers'
// schedule in a TimerQueue, the settings file through the file service, and what a handler
// throws inside the event loop carried out to where the program called the host. A
// platform's host (platform/qt, platform/win32) adds its window, its controls and its loop.
#pragma once

#include <exception>
#include <functional>

#include "platform/commands.h"
#include "platform/game_controllers.h"
#include "platform/host.h"
#include "platform/key_device.h"
#include "platform/timer_queue.h"

namespace wigwag {

class RealHost : public Host {
  public:
    // The keys go out through `keys`, which must outlive the host.
    explicit RealHost(KeyDevice& keys) : keys_(keys) {}

    void SendKey(std::uint8_t vk, bool up) final { keys_.Send(vk, up); }
    KeyPoll PollKey(std::uint8_t vk) final { return keys_.Poll(vk); }

    std::vector<GameButtonPress> TakeButtonPresses() final;
    std::string GameControllerName(std::uint16_t vendor, std::uint16_t product) final;
    std::optional<CommandRequest> TakeCommand() final;
    void AnswerCommand(std::uint64_t id, std::string_view answer) final;

    FileRead ReadTextFile(const std::string& name, std::size_t limit) final;
    FileWrite ReplaceTextFile(const std::string& name, std::string_view bytes) final;

    void SetEventSink(FormEvents* sink) final { sink_ = sink; }

    bool TimerEnabled(Timer timer) final { return timers_.Enabled(timer); }
    void SetTimerEnabled(Timer timer, bool enabled) final;
    int TimerInterval(Timer timer) final { return timers_.Interval(timer); }
    void SetTimerInterval(Timer timer, int milliseconds) final;

    // Where the later starts' commands come from (none: no commands are taken).
    void SetCommandSource(CommandSource* source) { commands_ = source; }
    // The game controllers whose buttons can switch (none: no controller is read).
    void SetButtonDevice(ButtonDevice* buttons) { buttons_ = buttons; }

  protected:
    // The timers changed: the platform moves its wake-up to the next tick due.
    virtual void TimersChanged() = 0;
    // Runs every tick due now, each as a handler of the program.
    void DispatchDueTicks();
    // Runs a handler of the program from inside an event of the window system: what it
    // throws is raised again by RethrowPending, where the host hands control back.
    void Guard(const std::function<void()>& handler);
    void RethrowPending();

    KeyDevice& keys_;
    FormEvents* sink_ = nullptr;
    CommandSource* commands_ = nullptr;
    ButtonDevice* buttons_ = nullptr;
    TimerQueue timers_;

  private:
    std::exception_ptr pending_;
};

}  // namespace wigwag
