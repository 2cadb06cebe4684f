// The window's timers on one clock, for every host: when each falls due, on a schedule
// that does not drift (tick n of a timer enabled at t0 falls at t0 + n * interval).
// A host asks for the next deadline, sleeps until then, and takes the due ticks.
#pragma once

#include <array>
#include <optional>

#include "platform/host.h"

namespace wigwag {

class TimerQueue {
  public:
    int Interval(Timer timer) const { return slot(timer).intervalMs; }
    void SetInterval(Timer timer, int milliseconds, double now);
    bool Enabled(Timer timer) const { return slot(timer).enabled; }
    // Enabling a stopped timer starts its interval afresh at `now`.
    void SetEnabled(Timer timer, bool enabled, double now);
    // Stops every timer, as when the window goes.
    void StopAll();

    // The earliest time a tick is due, among enabled timers whose tick is not running.
    std::optional<double> NextDue() const;

    // The earliest timer due at or before `now`, or nothing. Its schedule moves on to the
    // first slot after `now`: a timer that fell behind by whole intervals skips them, it
    // does not burst. The tick counts as running until Finish.
    std::optional<Timer> TakeDue(double now);
    void Finish(Timer timer) { slot(timer).running = false; }

  private:
    struct Slot {
        int intervalMs = 0;
        bool enabled = false;
        bool running = false;  // a tick of this timer is in progress (maybe nested)
        double start = 0;      // when it was enabled
        long long next = 1;    // index of the next tick since `start`
    };
    static double Due(const Slot& s) {
        return s.start + static_cast<double>(s.next) * s.intervalMs / 1000.0;
    }
    Slot& slot(Timer t) { return slots_[static_cast<std::size_t>(t)]; }
    const Slot& slot(Timer t) const { return slots_[static_cast<std::size_t>(t)]; }

    std::array<Slot, kTimerCount> slots_{};
};

// Runs one due tick through `sink` and marks it finished, even if the handler throws.
// Returns false when nothing was due.
bool DispatchDueTick(TimerQueue& timers, double now, FormEvents* sink);

}  // namespace wigwag
