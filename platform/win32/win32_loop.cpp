// The message loop: messages, the timers' ticks and the command pipe on one thread, asleep
// in one wait (MsgWaitForMultipleObjectsEx) on a waitable timer set for the next tick; and
// the modal loops of the system (a message box, moving the window), in which a window timer
// carries the ticks.
#include "platform/win32/win32_host.h"

#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace wigwag::win32 {

Win32Host::WakeTimer::WakeTimer() {
    handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_ALL_ACCESS);
    if (handle) return;
    // Older systems: a plain waitable timer, with the system tick raised to 1 ms.
    handle = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    coarse = timeBeginPeriod(1) == TIMERR_NOERROR;
}

Win32Host::WakeTimer::~WakeTimer() {
    if (handle) CloseHandle(handle);
    if (coarse) timeEndPeriod(1);
}

double Win32Host::Clock() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

int Win32Host::RunEventLoop() {
    // As WaitEvents without a deadline, but a wake by the timer takes the due ticks without
    // looking for messages first: a message that came meanwhile ends the next sleep at once.
    const double forever = std::numeric_limits<double>::infinity();
    PumpMessages();
    while (!windowGone_) {
        DispatchTicks();
        if (windowGone_) break;
        if (SleepUntil(NextWake(forever))) PumpMessages();
    }
    return 0;
}

void Win32Host::WaitEvents(double deadline) {
    bool any = PumpMessages();
    any = DispatchTicks() || any;
    if (any) return;
    if (SleepUntil(NextWake(deadline))) PumpMessages();
    DispatchTicks();
}

bool Win32Host::PumpMessages() {
    bool any = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        any = true;
        if (msg.message == WM_QUIT) {
            Close();
            continue;
        }
        if (!window_ || !IsDialogMessageW(window_, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        RethrowPending();
    }
    return any;
}

bool Win32Host::DispatchTicks() {
    const std::optional<double> due = timers_.NextDue();
    if (!due || *due > Clock()) return false;
    DispatchDueTicks();
    RethrowPending();
    WatchFront();
    return true;
}

double Win32Host::NextWake(double deadline) const {
    const std::optional<double> due = timers_.NextDue();
    return due ? std::min(deadline, *due) : deadline;
}

bool Win32Host::SleepUntil(double wake) {
    // The timer first (when it is armed), then the waitable's handles.
    std::vector<HANDLE> handles;
    DWORD timeout = INFINITE;
    if (std::isfinite(wake)) {
        const double left = wake - Clock();
        if (left <= 0) return false;
        if (!wake_.handle) {
            timeout = static_cast<DWORD>(std::ceil(left * 1000));
        } else {
            // A wake by a message leaves the timer set for the same moment; it is set again
            // only for another one.
            if (wake != wake_.armedFor) {
                LARGE_INTEGER due;
                due.QuadPart = -static_cast<LONGLONG>(std::ceil(left * 1e7));  // relative, 100 ns
                SetWaitableTimer(wake_.handle, &due, 0, nullptr, nullptr, FALSE);
                wake_.armedFor = wake;
            }
            handles.push_back(wake_.handle);
        }
    }
    const std::size_t own = handles.size();
    if (waitable_)
        for (HANDLE h : waitable_->Handles()) handles.push_back(h);
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()), handles.data(), timeout,
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_TIMEOUT) return false;
    if (own == 1 && woke == WAIT_OBJECT_0) {
        wake_.armedFor = std::numeric_limits<double>::quiet_NaN();
        return false;
    }
    if (woke >= WAIT_OBJECT_0 + own && woke < WAIT_OBJECT_0 + handles.size())
        waitable_->Service(handles[woke - WAIT_OBJECT_0]);
    return true;
}

void Win32Host::ServiceSignalled() {
    if (!waitable_) return;
    for (HANDLE h : waitable_->Handles())
        if (WaitForSingleObject(h, 0) == WAIT_OBJECT_0) waitable_->Service(h);
}

void Win32Host::TimersChanged() {
    // Once the window is gone no timer runs again.
    if (windowGone_) timers_.StopAll();
    ArmModalTimer();
}

void Win32Host::ArmModalTimer() {
    if (!window_) return;
    const std::optional<double> due = timers_.NextDue();
    if (modalDepth_ <= 0 || !due) {
        KillTimer(window_, kModalTimerId);
        return;
    }
    const double ms = std::ceil((*due - Clock()) * 1000.0);
    const UINT delay = static_cast<UINT>(std::clamp(ms, double{USER_TIMER_MINIMUM}, 60000.0));
    SetTimer(window_, kModalTimerId, delay, nullptr);
}

void Win32Host::ModalTick() {
    // Inside a message box or a move the pipe waits for these ticks too.
    ServiceSignalled();
    DispatchTicks();
    ArmModalTimer();
}

void Win32Host::ShowMessageBox(std::string_view title, std::string_view text) {
    ++modalDepth_;
    ArmModalTimer();
    MessageBoxW(window_, Widen(text).c_str(), Widen(title).c_str(), MB_OK | MB_ICONEXCLAMATION);
    --modalDepth_;
    ArmModalTimer();
    RethrowPending();
}

}  // namespace wigwag::win32
