#include "platform/timer_queue.h"

#include <algorithm>
#include <cmath>

namespace wigwag {

void TimerQueue::SetInterval(Timer timer, int milliseconds, double now) {
    Slot& s = slot(timer);
    s.intervalMs = milliseconds;
    if (s.enabled) {
        s.start = now;
        s.next = 1;
    }
}

void TimerQueue::SetEnabled(Timer timer, bool enabled, double now) {
    Slot& s = slot(timer);
    if (enabled && !s.enabled) {
        s.start = now;
        s.next = 1;
    }
    s.enabled = enabled;
}

void TimerQueue::StopAll() {
    for (Slot& s : slots_) s.enabled = false;
}

std::optional<double> TimerQueue::NextDue() const {
    std::optional<double> best;
    for (const Slot& s : slots_) {
        if (!s.enabled || s.running || s.intervalMs <= 0) continue;
        const double due = Due(s);
        if (!best || due < *best) best = due;
    }
    return best;
}

std::optional<Timer> TimerQueue::TakeDue(double now) {
    // Ticks due in the same microsecond go in the timers' order.
    const auto micros = [](double t) { return std::llround(t * 1e6); };
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const Slot& s = slots_[i];
        if (!s.enabled || s.running || s.intervalMs <= 0 || Due(s) > now) continue;
        if (!best || micros(Due(s)) < micros(Due(slots_[*best]))) best = i;
    }
    if (!best) return std::nullopt;
    Slot& s = slots_[*best];
    const double period = s.intervalMs / 1000.0;
    // First slot strictly after now.
    const auto passed = static_cast<long long>(std::floor((now - s.start) / period));
    s.next = std::max(s.next + 1, passed + 1);
    s.running = true;
    return static_cast<Timer>(*best);
}

bool DispatchDueTick(TimerQueue& timers, double now, FormEvents* sink) {
    const std::optional<Timer> due = timers.TakeDue(now);
    if (!due) return false;
    struct Finisher {
        TimerQueue& q;
        Timer t;
        ~Finisher() { q.Finish(t); }
    } finisher{timers, *due};
    if (sink) sink->OnTimer(*due);
    return true;
}

}  // namespace wigwag
