// The in-memory host: controls that hold their values, files in a map, and a simulated
// clock. Timers tick on virtual time and nest inside pauses as on a real host; every key
// event, message box and process start is recorded with its virtual time.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/timer_queue.h"

namespace wigwag {

class FakeHost final : public Host {
  public:
    struct KeyEvent {
        double time;
        std::uint8_t vk;
        bool up;
    };
    struct MessageBoxShown {
        double time;
        std::string title, text;
    };
    struct AddressOpened {
        double time;
        std::string address;
    };
    struct CommandAnswered {
        double time;
        Command command;
        std::string answer;
    };

    // --- driving the simulation ----------------------------------------------------
    // Runs `action` as an input event when virtual time reaches `at`.
    void At(double at, std::function<void()> action);
    // Processes events until virtual time reaches `until`.
    void RunUntil(double until);
    void RunFor(double seconds) { RunUntil(now_ + seconds); }
    // The program is busy (or not scheduled) for this long: the clock moves on and nothing
    // is processed, so ticks fall due meanwhile.
    void Stall(double seconds);
    // The player's (or another program's) use of a key; these are what PollKey sees.
    void PlayerKeyDown(std::uint8_t vk);
    void PlayerKeyUp(std::uint8_t vk);
    // Down at `at`, up `holdSeconds` later.
    void PlayerTap(std::uint8_t vk, double at, double holdSeconds);
    // A press of a game controller's button at `at`, as the host's controller reader
    // reports it (once per press).
    void ButtonPressAt(double at, GameButton button, std::string device);
    // Another start of the program sends a command at `at`.
    void CommandAt(double at, Command command);
    void Click(Control control);
    // The user closes the window.
    void RequestClose();

    // --- what happened -----------------------------------------------------------------
    const std::vector<KeyEvent>& KeyEvents() const { return keyEvents_; }
    void ClearKeyEvents() { keyEvents_.clear(); }
    const std::vector<MessageBoxShown>& MessageBoxes() const { return boxes_; }
    const std::vector<AddressOpened>& Addresses() const { return addresses_; }
    const std::vector<CommandAnswered>& Answers() const { return answers_; }
    bool WindowExists() const { return created_ && !closed_; }
    bool Shown() const { return shown_; }

    // --- the world around ---------------------------------------------------------------
    std::map<std::string, std::string> files;
    // Files that exist but cannot be opened for reading (denied, locked, not a file).
    std::set<std::string> unreadable;
    // Reading this file breaks off after this many bytes.
    std::map<std::string, std::size_t> readFailsAfter;
    // Replacing a file fails with this reason, leaving the file as it was.
    std::optional<std::string> writeFailure;
    // How long the user takes to dismiss a message box.
    double messageBoxSeconds = 1.0;
    bool browserFails = false;
    // The game controllers connected: name by vendor and product id.
    std::map<std::pair<std::uint16_t, std::uint16_t>, std::string> controllers;

    // --- Host ---------------------------------------------------------------------------
    void CreateForm() override;
    void ShowForm() override { shown_ = true; }
    int RunEventLoop() override;
    void SendKey(std::uint8_t vk, bool up) override;
    KeyPoll PollKey(std::uint8_t vk) override;
    double Clock() override { return now_; }
    void WaitEvents(double deadline) override;
    std::vector<GameButtonPress> TakeButtonPresses() override;
    std::string GameControllerName(std::uint16_t vendor, std::uint16_t product) override;
    std::optional<CommandRequest> TakeCommand() override;
    void AnswerCommand(std::uint64_t id, std::string_view answer) override;
    void ShowMessageBox(std::string_view title, std::string_view text) override;
    bool OpenAddress(std::string_view address) override;
    FileRead ReadTextFile(const std::string& name, std::size_t limit) override;
    FileWrite ReplaceTextFile(const std::string& name, std::string_view bytes) override;
    void SetEventSink(FormEvents* sink) override { sink_ = sink; }
    int Value(Control checkBox) override { return control(checkBox).value; }
    void SetValue(Control checkBox, int value) override;
    int ListIndex(Control list) override { return control(list).listIndex; }
    void SetListIndex(Control list, int index) override;
    int ListCount(Control list) override;
    std::string ListItem(Control list, int index) override;
    void AddItems(Control list, const std::vector<std::string>& items) override;
    void Clear(Control list) override;
    std::string Caption(Control label) override { return control(label).caption; }
    void SetCaption(Control label, std::string_view text) override;
    bool TimerEnabled(Timer timer) override { return timers_.Enabled(timer); }
    void SetTimerEnabled(Timer timer, bool enabled) override;
    int TimerInterval(Timer timer) override { return timers_.Interval(timer); }
    void SetTimerInterval(Timer timer, int milliseconds) override;

  private:
    struct ControlState {
        int value = 0;
        int listIndex = -1;
        std::vector<std::string> items;
        std::string caption;
    };
    struct Scheduled {
        double at;
        long long order;
        std::function<void()> action;
    };
    ControlState& control(Control c);
    // Runs every scripted event and timer tick due at the current time.
    void ProcessDue();
    std::optional<double> NextScripted() const;

    double now_ = 0;
    bool created_ = false, shown_ = false, closed_ = false;
    FormEvents* sink_ = nullptr;
    TimerQueue timers_;
    std::array<ControlState, kControlCount> controls_{};
    std::vector<Scheduled> scheduled_;
    long long order_ = 0;
    std::array<bool, 256> down_{};
    std::array<unsigned, 256> presses_{};
    std::array<unsigned, 256> pressesSeen_{};
    std::vector<KeyEvent> keyEvents_;
    std::vector<MessageBoxShown> boxes_;
    std::vector<AddressOpened> addresses_;
    std::vector<GameButtonPress> buttonPresses_;  // came in, not taken yet
    std::deque<CommandRequest> commands_;         // came in, not taken yet
    std::map<std::uint64_t, Command> taken_;
    std::uint64_t commandsSent_ = 0;
    std::vector<CommandAnswered> answers_;
};

}  // namespace wigwag
