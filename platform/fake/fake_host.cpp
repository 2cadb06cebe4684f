#include "platform/fake/fake_host.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "window/layout.h"

namespace wigwag {

namespace {
// Events closer than this count as simultaneous, so that sums of decimal seconds that
// differ in the last bit still meet.
constexpr double kSimultaneous = 1e-9;
constexpr double kNever = std::numeric_limits<double>::infinity();
}  // namespace

void FakeHost::At(double at, std::function<void()> action) {
    scheduled_.push_back({at, order_++, std::move(action)});
}

void FakeHost::RunUntil(double until) {
    do WaitEvents(until);
    while (now_ < until);
}

void FakeHost::PlayerKeyDown(std::uint8_t vk) {
    if (!down_[vk]) ++presses_[vk];
    down_[vk] = true;
}

void FakeHost::PlayerKeyUp(std::uint8_t vk) {
    down_[vk] = false;
}

void FakeHost::PlayerTap(std::uint8_t vk, double at, double holdSeconds) {
    At(at, [this, vk] { PlayerKeyDown(vk); });
    At(at + holdSeconds, [this, vk] { PlayerKeyUp(vk); });
}

void FakeHost::ButtonPressAt(double at, GameButton button, std::string device) {
    At(at, [this, button, device = std::move(device)] {
        buttonPresses_.push_back({button, device});
    });
}

std::vector<GameButtonPress> FakeHost::TakeButtonPresses() {
    return std::exchange(buttonPresses_, {});
}

std::string FakeHost::GameControllerName(std::uint16_t vendor, std::uint16_t product) {
    const auto found = controllers.find({vendor, product});
    return found == controllers.end() ? std::string() : found->second;
}

void FakeHost::CommandAt(double at, Command command) {
    At(at, [this, command] { commands_.push_back({command, ++commandsSent_}); });
}

std::optional<CommandRequest> FakeHost::TakeCommand() {
    if (commands_.empty()) return std::nullopt;
    const CommandRequest request = commands_.front();
    commands_.pop_front();
    taken_[request.id] = request.command;
    return request;
}

void FakeHost::AnswerCommand(std::uint64_t id, std::string_view answer) {
    const auto taken = taken_.find(id);
    if (taken == taken_.end()) throw std::logic_error("an answer to a command never taken");
    answers_.push_back({now_, taken->second, std::string(answer)});
    taken_.erase(taken);
}

void FakeHost::Click(Control control) {
    if (WindowExists() && sink_) sink_->OnClick(control);
}

void FakeHost::RequestClose() {
    if (!WindowExists()) return;
    if (sink_) sink_->OnClose();
    closed_ = true;
    timers_.StopAll();
}

void FakeHost::CreateForm() {
    created_ = true;
    for (const ControlLayout& entry : kControls)
        if (entry.kind == ControlKind::Label || entry.kind == ControlKind::CheckBox ||
            entry.kind == ControlKind::Button)
            control(entry.id).caption = entry.text;
}

int FakeHost::RunEventLoop() {
    while (WindowExists()) WaitEvents(kNever);
    return 0;
}

void FakeHost::SendKey(std::uint8_t vk, bool up) {
    keyEvents_.push_back({now_, vk, up});
}

KeyPoll FakeHost::PollKey(std::uint8_t vk) {
    const KeyPoll poll{down_[vk], presses_[vk] != pressesSeen_[vk]};
    pressesSeen_[vk] = presses_[vk];
    return poll;
}

std::optional<double> FakeHost::NextScripted() const {
    std::optional<double> next;
    for (const Scheduled& s : scheduled_)
        if (!next || s.at < *next) next = s.at;
    return next;
}

void FakeHost::ProcessDue() {
    for (;;) {
        // Input first, in the order it was scheduled, then timer ticks, as on the real hosts.
        auto due = std::min_element(scheduled_.begin(), scheduled_.end(),
                                    [](const Scheduled& a, const Scheduled& b) {
                                        return a.at != b.at ? a.at < b.at : a.order < b.order;
                                    });
        if (due != scheduled_.end() && due->at <= now_ + kSimultaneous) {
            std::function<void()> action = std::move(due->action);
            scheduled_.erase(due);
            action();
            continue;
        }
        if (!DispatchDueTick(timers_, now_ + kSimultaneous, WindowExists() ? sink_ : nullptr))
            return;
    }
}

void FakeHost::WaitEvents(double deadline) {
    // As on the real hosts, the ticks already due run before the wait; one of them may
    // pause, and the window may close during that pause.
    while (DispatchDueTick(timers_, now_ + kSimultaneous, WindowExists() ? sink_ : nullptr)) {
    }
    // After the close only a pause still running sleeps, to its own deadline.
    if (closed_ && deadline == kNever) return;
    double wake = deadline;
    if (const auto tick = timers_.NextDue()) wake = std::min(wake, *tick);
    if (const auto input = NextScripted()) wake = std::min(wake, *input);
    // A real host would sleep for ever here.
    if (wake == kNever) throw std::logic_error("a wait began that nothing can end");
    now_ = std::max(now_, wake);
    ProcessDue();
}

void FakeHost::Stall(double seconds) {
    now_ += seconds;
}

void FakeHost::ShowMessageBox(std::string_view title, std::string_view text) {
    boxes_.push_back({now_, std::string(title), std::string(text)});
    // Modal: the window goes on handling its events until the user clicks OK.
    const double dismissed = now_ + messageBoxSeconds;
    while (now_ < dismissed) WaitEvents(dismissed);
}

bool FakeHost::OpenAddress(std::string_view address) {
    if (browserFails) return false;
    addresses_.push_back({now_, std::string(address)});
    return true;
}

FileRead FakeHost::ReadTextFile(const std::string& name, std::size_t limit) {
    if (unreadable.count(name)) return {false, false, false, {}};
    const auto file = files.find(name);
    if (file == files.end()) return {false, true, false, {}};
    std::size_t stop = file->second.size();
    if (const auto fails = readFailsAfter.find(name); fails != readFailsAfter.end())
        stop = std::min(stop, fails->second);
    stop = std::min(stop, limit);
    return {true, false, stop < file->second.size(), file->second.substr(0, stop)};
}

FileWrite FakeHost::ReplaceTextFile(const std::string& name, std::string_view bytes) {
    if (writeFailure) return {false, *writeFailure};
    files[name] = std::string(bytes);
    return {true, {}};
}

void FakeHost::SetValue(Control checkBox, int value) {
    if (value < 0 || value > 2) throw std::out_of_range("check box value out of range");
    control(checkBox).value = value;
}

void FakeHost::SetListIndex(Control list, int index) {
    ControlState& c = control(list);
    if (index < -1 || index >= static_cast<int>(c.items.size()))
        throw std::out_of_range("list index out of range");
    c.listIndex = index;
}

int FakeHost::ListCount(Control list) {
    return static_cast<int>(control(list).items.size());
}

std::string FakeHost::ListItem(Control list, int index) {
    const ControlState& c = control(list);
    if (index < 0 || index >= static_cast<int>(c.items.size()))
        throw std::out_of_range("list item out of range");
    return c.items[static_cast<std::size_t>(index)];
}

void FakeHost::AddItems(Control list, const std::vector<std::string>& items) {
    auto& to = control(list).items;
    to.insert(to.end(), items.begin(), items.end());
}

void FakeHost::Clear(Control list) {
    control(list).items.clear();
    control(list).listIndex = -1;
}

void FakeHost::SetCaption(Control label, std::string_view text) {
    control(label).caption = std::string(text);
}

void FakeHost::SetTimerEnabled(Timer timer, bool enabled) {
    if (WindowExists()) timers_.SetEnabled(timer, enabled, now_);
}

void FakeHost::SetTimerInterval(Timer timer, int milliseconds) {
    timers_.SetInterval(timer, milliseconds, now_);
}

FakeHost::ControlState& FakeHost::control(Control c) {
    return controls_[static_cast<std::size_t>(c)];
}

}  // namespace wigwag
