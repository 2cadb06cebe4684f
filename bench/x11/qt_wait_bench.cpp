// Prints how exactly and how cheaply the Qt host keeps time: the lateness of timer ticks
// against their schedule, the overshoot and processor time of 0.1 s pauses, and the
// processor time per minute of the four timers ticking. Runs on Qt's offscreen platform.
#include <sys/resource.h>

#include <QApplication>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "keys/module1.h"
#include "platform/qt/qt_host.h"

namespace {

using wigwag::Timer;

class NoKeys final : public wigwag::KeyDevice {
  public:
    void Send(std::uint8_t, bool) override {}
    wigwag::KeyPoll Poll(std::uint8_t) override { return {}; }
    void Restore() override {}
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

struct Stats {
    double mean, p50, p99, max;
};

Stats Summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    auto at = [&](double q) {
        return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
    };
    return {sum / static_cast<double>(v.size()), at(0.5), at(0.99), v.back()};
}

void Print(const char* what, const std::vector<double>& seconds) {
    if (seconds.empty()) return;
    const Stats s = Summarise(seconds);
    std::printf("%-34s n=%-5zu mean %8.3f ms  p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", what,
                seconds.size(), s.mean * 1e3, s.p50 * 1e3, s.p99 * 1e3, s.max * 1e3);
}

class TickRecorder final : public wigwag::FormEvents {
  public:
    explicit TickRecorder(wigwag::QtHost& host) : host_(host) {}
    void Start() {
        for (std::size_t i = 0; i < kIntervals.size(); ++i) {
            const auto timer = static_cast<Timer>(i);
            host_.SetTimerInterval(timer, kIntervals[i]);
            enabled_[i] = host_.Clock();
            host_.SetTimerEnabled(timer, true);
        }
    }
    void OnTimer(Timer timer) override {
        const auto i = static_cast<std::size_t>(timer);
        const double period = kIntervals[i] / 1000.0;
        const double since = host_.Clock() - enabled_[i];
        const double slot = std::max(1.0, std::round(since / period));
        lateness.push_back(since - slot * period);
    }
    void OnClick(wigwag::Control) override {}
    void OnClose() override {}
    std::vector<double> lateness;

  private:
    static constexpr std::array<int, 4> kIntervals{100, 400, 100, 1000};
    wigwag::QtHost& host_;
    std::array<double, 4> enabled_{};
};

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    NoKeys keys;
    wigwag::QtHost host(keys);
    host.CreateForm();

    // Pauses on their own.
    std::vector<double> overshoot;
    const double pauseCpu0 = CpuSeconds();
    const int pauses = 50;
    for (int i = 0; i < pauses; ++i) {
        const double start = host.Clock();
        wigwag::Pause(host, "0.1");
        overshoot.push_back(host.Clock() - start - 0.1);
    }
    const double pauseCpu = (CpuSeconds() - pauseCpu0) / pauses;

    // The four timers ticking at 100, 400, 100 and 1000 ms.
    TickRecorder recorder(host);
    host.SetEventSink(&recorder);
    const double cpu0 = CpuSeconds();
    const double start = host.Clock();
    recorder.Start();
    while (host.Clock() < start + seconds) host.WaitEvents(start + seconds);
    const double cpu = CpuSeconds() - cpu0;
    const double elapsed = host.Clock() - start;

    std::printf("Qt host timing, %.0f s of four timers (100/400/100/1000 ms), %d pauses of 0.1 s\n",
                elapsed, pauses);
    Print("tick lateness", recorder.lateness);
    Print("0.1 s pause overshoot", overshoot);
    std::printf("%-34s %.1f us per 0.1 s pause\n", "pause CPU", pauseCpu * 1e6);
    std::printf("%-34s %.4f s per minute\n", "timers CPU", cpu / elapsed * 60.0);
    return 0;
}
