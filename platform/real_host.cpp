#include "platform/real_host.h"

#include "platform/text_file.h"

namespace wigwag {

std::vector<GameButtonPress> RealHost::TakeButtonPresses() {
    return buttons_ ? buttons_->TakePresses() : std::vector<GameButtonPress>{};
}

std::string RealHost::GameControllerName(std::uint16_t vendor, std::uint16_t product) {
    return buttons_ ? buttons_->NameOf(vendor, product) : std::string();
}

std::optional<CommandRequest> RealHost::TakeCommand() {
    return commands_ ? commands_->Take() : std::nullopt;
}

void RealHost::AnswerCommand(std::uint64_t id, std::string_view answer) {
    if (commands_) commands_->Answer(id, answer);
}

FileRead RealHost::ReadTextFile(const std::string& name, std::size_t limit) {
    return ReadWholeFile(name, limit);
}

FileWrite RealHost::ReplaceTextFile(const std::string& name, std::string_view bytes) {
    return ReplaceWholeFile(name, bytes);
}

void RealHost::SetTimerEnabled(Timer timer, bool enabled) {
    timers_.SetEnabled(timer, enabled, Clock());
    TimersChanged();
}

void RealHost::SetTimerInterval(Timer timer, int milliseconds) {
    timers_.SetInterval(timer, milliseconds, Clock());
    TimersChanged();
}

void RealHost::DispatchDueTicks() {
    Guard([this] {
        while (DispatchDueTick(timers_, Clock(), sink_)) {
        }
    });
}

void RealHost::Guard(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        if (!pending_) pending_ = std::current_exception();
    }
}

void RealHost::RethrowPending() {
    if (!pending_) return;
    std::exception_ptr error = pending_;
    pending_ = nullptr;
    std::rethrow_exception(error);
}

}  // namespace wigwag
