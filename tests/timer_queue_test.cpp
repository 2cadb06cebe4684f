#include <gtest/gtest.h>

#include "platform/timer_queue.h"

namespace wigwag {
namespace {

TEST(TimerQueue, EnablingStartsTheIntervalAfreshAndDisablingStopsIt) {
    TimerQueue q;
    q.SetInterval(Timer::tmSiren, 100, 0);
    q.SetEnabled(Timer::tmSiren, true, 0);
    q.SetEnabled(Timer::tmSiren, false, 0.05);
    EXPECT_FALSE(q.TakeDue(10));  // enabled and disabled within one interval: no tick
    q.SetEnabled(Timer::tmSiren, true, 0.07);
    q.SetEnabled(Timer::tmSiren, true, 0.12);  // already running: keeps its schedule
    EXPECT_DOUBLE_EQ(*q.NextDue(), 0.17);
}

TEST(TimerQueue, LateTicksStayOnTheGridAndSkipInsteadOfBursting) {
    TimerQueue q;
    for (Timer t : {Timer::tmStart, Timer::tmSiren}) {
        q.SetInterval(t, 100, 0);
        q.SetEnabled(t, true, 0);
    }
    EXPECT_EQ(q.TakeDue(0.1003), Timer::tmStart);  // ties go in the timers' order
    EXPECT_EQ(q.TakeDue(0.1003), Timer::tmSiren);
    EXPECT_FALSE(q.TakeDue(0.45));  // both still running: not started again
    q.Finish(Timer::tmStart);
    EXPECT_DOUBLE_EQ(*q.NextDue(), 0.2);
    EXPECT_EQ(q.TakeDue(0.45), Timer::tmStart);  // three slots behind: one tick
    q.Finish(Timer::tmStart);
    EXPECT_DOUBLE_EQ(*q.NextDue(), 0.5);
}

}  // namespace
}  // namespace wigwag
