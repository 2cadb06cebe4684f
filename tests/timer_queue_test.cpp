#include <gtest/gtest.h>

#include "platform/timer_queue.h"

namespace wigwag {
namespace {

TEST(TimerQueue, FirstTickComesOneIntervalAfterEnabling) {
    TimerQueue q;
    q.SetInterval(Timer::tmFlash, 400, 0);
    EXPECT_FALSE(q.NextDue());
    q.SetEnabled(Timer::tmFlash, true, 0.25);
    EXPECT_DOUBLE_EQ(*q.NextDue(), 0.65);
    EXPECT_FALSE(q.TakeDue(0.6));
}

TEST(TimerQueue, EnabledAndDisabledWithinAnIntervalNeverTicks) {
    TimerQueue q;
    q.SetInterval(Timer::tmSiren, 100, 0);
    q.SetEnabled(Timer::tmSiren, true, 0);
    q.SetEnabled(Timer::tmSiren, false, 0.05);
    EXPECT_FALSE(q.NextDue());
    EXPECT_FALSE(q.TakeDue(10));
}

TEST(TimerQueue, ReEnablingRestartsTheInterval) {
    TimerQueue q;
    q.SetInterval(Timer::tmSiren, 100, 0);
    q.SetEnabled(Timer::tmSiren, true, 0);
    q.SetEnabled(Timer::tmSiren, false, 0.05);
    q.SetEnabled(Timer::tmSiren, true, 0.07);
    EXPECT_DOUBLE_EQ(*q.NextDue(), 0.17);
    // Enabling a timer that already runs keeps its schedule.
    q.SetEnabled(Timer::tmSiren, true, 0.12);
    EXPECT_DOUBLE_EQ(*q.NextDue(), 0.17);
}

TEST(TimerQueue, ScheduleDoesNotDriftAndSkipsWhatWasMissed) {
    TimerQueue q;
    q.SetInterval(Timer::tmStart, 100, 0);
    q.SetEnabled(Timer::tmStart, true, 0);
    ASSERT_EQ(q.TakeDue(0.1003), Timer::tmStart);  // a late tick
    q.Finish(Timer::tmStart);
    EXPECT_DOUBLE_EQ(*q.NextDue(), 0.2);           // the next stays on the grid
    ASSERT_EQ(q.TakeDue(0.4501), Timer::tmStart);  // three intervals behind: one tick, no burst
    q.Finish(Timer::tmStart);
    EXPECT_DOUBLE_EQ(*q.NextDue(), 0.5);
}

TEST(TimerQueue, ARunningTickIsNotStartedAgainAndTiesGoInTimerOrder) {
    TimerQueue q;
    for (Timer t : {Timer::tmStart, Timer::tmSiren}) {
        q.SetInterval(t, 100, 0);
        q.SetEnabled(t, true, 0);
    }
    EXPECT_EQ(q.TakeDue(0.1), Timer::tmStart);
    EXPECT_EQ(q.TakeDue(0.1), Timer::tmSiren);
    EXPECT_FALSE(q.TakeDue(0.25));  // both still running
    q.Finish(Timer::tmSiren);
    EXPECT_EQ(q.TakeDue(0.25), Timer::tmSiren);
}

}  // namespace
}  // namespace wigwag
