// Prints the processor time a real 0.1 s pause costs on this machine: the pause sleeps in
// the host's event wait, so it should cost microseconds, not the 0.1 s it lasts.
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "keys/module1.h"

namespace {

using wigwag::Control;
using wigwag::Timer;

// The smallest real host a pause needs: the monotonic clock and a wait on no events.
class SleepingHost final : public wigwag::Host {
  public:
    double Clock() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
    void WaitEvents(double deadline) override {
        ++waits;
        const double left = deadline - Clock();
        if (left > 0) poll(nullptr, 0, static_cast<int>(left * 1000.0 + 0.999));
    }
    int waits = 0;

    void CreateForm() override {}
    void ShowForm() override {}
    int RunEventLoop() override { return 0; }
    void SendKeyEvent(std::uint8_t, std::uint8_t, std::uint32_t, std::uintptr_t) override {}
    wigwag::KeyPoll PollKey(std::uint8_t) override { return {}; }
    void ShowMessageBox(std::string_view, std::string_view) override {}
    bool StartProcess(std::string_view, int) override { return false; }
    wigwag::FileRead ReadTextFile(const std::string&) override { return {}; }
    wigwag::FileWrite ReplaceTextFile(const std::string&, std::string_view) override { return {}; }
    void SetEventSink(wigwag::FormEvents*) override {}
    int Value(Control) override { return 0; }
    void SetValue(Control, int) override {}
    int ListIndex(Control) override { return -1; }
    void SetListIndex(Control, int) override {}
    int ListCount(Control) override { return 0; }
    std::string ListItem(Control, int) override { return {}; }
    void AddItem(Control, std::string_view) override {}
    void Clear(Control) override {}
    std::string Caption(Control) override { return {}; }
    void SetCaption(Control, std::string_view) override {}
    bool TimerEnabled(Timer) override { return false; }
    void SetTimerEnabled(Timer, bool) override {}
    int TimerInterval(Timer) override { return 0; }
    void SetTimerInterval(Timer, int) override {}
};

double ProcessSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main() {
    SleepingHost host;
    constexpr int kPauses = 20;
    double worstOverrun = 0;
    const double cpu0 = ProcessSeconds();
    const double wall0 = host.Clock();
    for (int i = 0; i < kPauses; ++i) {
        const double start = host.Clock();
        wigwag::Pause(host, "0.1");
        const double overrun = host.Clock() - start - 0.1;
        if (overrun > worstOverrun) worstOverrun = overrun;
    }
    const double cpu = ProcessSeconds() - cpu0;
    const double wall = host.Clock() - wall0;
    std::printf("pauses of 0.1 s: %d, wall %.3f s\n", kPauses, wall);
    std::printf("CPU per pause: %.1f us (%.4f%% of the pause)\n", cpu / kPauses * 1e6,
                cpu / wall * 100.0);
    std::printf("event waits per pause: %.1f, worst overrun: %.3f ms\n",
                static_cast<double>(host.waits) / kPauses, worstOverrun * 1e3);
    return 0;
}
