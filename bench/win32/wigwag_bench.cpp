// How exactly and how cheaply the real wigwag.exe keeps its timers: it runs with all three
// effects on while a receiver window records the keys it gets, and the figures are printed.
//
//   wigwag_bench <wigwag.exe> <wigwag_receiver.exe> [seconds of running, default 60]
#include "tests/win32/e2e_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace e2e;

namespace {

constexpr std::uint8_t kDelete = 0x2E, kB = 0x42, kG = 0x47, kNine = 0x39;

// Under Wine, GetProcessTimes tells nothing about another process; the Linux process table
// does. Returns -1 when there is no such table or no process of that command line in it.
double UnixCpuSeconds(const std::wstring& exe) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return -1;
    double cpu = -1;
    do {
        const std::wstring name = found.cFileName;
        if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
        std::string command = ReadBytes(L"Z:\\proc\\" + name + L"\\cmdline");
        command = command.substr(0, command.find('\0'));
        if (command.empty() || _wcsicmp(WindowsPath(command).c_str(), exe.c_str()) != 0) continue;
        const std::string stat = ReadBytes(L"Z:\\proc\\" + name + L"\\stat");
        if (stat.empty()) continue;
        // Fields after the command name in parentheses; user and system time are 14 and 15,
        // in hundredths of a second.
        std::vector<std::string> fields;
        std::string field;
        for (char c : stat.substr(stat.rfind(')') + 2)) {
            if (c == ' ') {
                fields.push_back(field);
                field.clear();
            } else {
                field += c;
            }
        }
        if (fields.size() > 12)
            cpu = (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / 100;
        break;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return cpu;
}

std::wstring programPath;
bool fromProcessTable = false;

double CpuSeconds(HANDLE process) {
    const double unix = UnixCpuSeconds(programPath);
    if (unix >= 0) {
        fromProcessTable = true;
        return unix;
    }
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
    auto seconds = [](const FILETIME& t) {
        return double((std::uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

struct Stats {
    std::vector<double> v;
    void Add(double x) { v.push_back(x); }
    double Median() {
        if (v.empty()) return NAN;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    double Max() const { return v.empty() ? NAN : *std::max_element(v.begin(), v.end()); }
    double Min() const { return v.empty() ? NAN : *std::min_element(v.begin(), v.end()); }
    double Within(double limit) const {
        if (v.empty()) return NAN;
        return double(std::count_if(v.begin(), v.end(), [&](double x) { return x <= limit; })) /
               double(v.size());
    }
};

std::vector<KeyRecord> Only(const std::vector<KeyRecord>& keys, std::uint8_t vk, double from,
                            double to) {
    std::vector<KeyRecord> out;
    for (const KeyRecord& k : keys)
        if (k.vk == vk && k.time > from && k.time < to) out.push_back(k);
    return out;
}

void PrintMs(const char* what, Stats s) {
    std::printf("  %-44s median %6.2f ms  min %6.2f  max %6.2f  (%zu)\n", what, s.Median() * 1000,
                s.Min() * 1000, s.Max() * 1000, s.v.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("usage: wigwag_bench <wigwag.exe> <wigwag_receiver.exe> [seconds]\n");
        return 2;
    }
    const double seconds = argc > 3 ? std::atof(argv[3]) : 60.0;
    wigwagExe = WindowsPath(argv[1]);
    receiverExe = WindowsPath(argv[2]);
    programPath = wigwagExe;
    UseOwnWindowFrames();
    Harness s;
    if (!s.Open("1|1|1|0|31|26|")) {
        std::printf("wigwag.exe or the receiver did not start\n");
        return 1;
    }
    const HANDLE program = s.w.handle;

    // Idle: polling the start key ten times a second.
    SleepSeconds(1);
    double cpu0 = CpuSeconds(program), t0 = Now();
    SleepSeconds(10);
    const double idleCpu = (CpuSeconds(program) - cpu0) / (Now() - t0) * 60;

    Tap(kDelete, 0.05);
    SleepSeconds(0.5);
    cpu0 = CpuSeconds(program);
    t0 = Now();
    SleepSeconds(seconds);
    const double runCpu = (CpuSeconds(program) - cpu0) / (Now() - t0) * 60;
    Tap(kDelete, 0.05);
    SleepSeconds(0.6);
    std::vector<KeyRecord> all = s.End(WM_CLOSE);

    std::vector<KeyRecord> keys;
    for (const KeyRecord& k : all)
        if (k.vk != kDelete) keys.push_back(k);
    const std::vector<std::size_t> bursts = Bursts(keys);
    if (bursts.size() != 2) {
        std::printf("expected 2 switch-over bursts, got %zu\n", bursts.size());
        return 1;
    }
    // The timers start when the burst has been sent: its last event is the origin.
    const double start = keys[bursts[0] + 4].time, stop = keys[bursts[1]].time;
    std::vector<KeyRecord> effects;
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (!(i >= bursts[0] && i < bursts[0] + 5) && !(i >= bursts[1] && i < bursts[1] + 5))
            effects.push_back(keys[i]);

    // Horn: a key-down every 100 ms; its ticks never wait for another tick.
    Stats hornSchedule, hornPeriod;
    const std::vector<KeyRecord> horn = Only(effects, kB, start, stop);
    for (std::size_t i = 0; i < horn.size(); ++i) {
        hornSchedule.Add(std::fabs(horn[i].time - (start + 0.1 * double(i + 1))));
        if (i > 0) hornPeriod.Add(std::fabs(horn[i].time - horn[i - 1].time - 0.1));
    }

    // Headlights and hazards: tick starts, holds and gaps; those with another effect's
    // pausing tick nested inside are longer by design and counted apart.
    const std::vector<KeyRecord> flash = Only(effects, kG, start, stop + 1);
    const std::vector<KeyRecord> hazards = Only(effects, kNine, start, stop + 1);
    Stats tickStart, hold, gap;
    std::size_t nested = 0;
    auto nestedIn = [](const std::vector<KeyRecord>& other, double a, double b) {
        for (const KeyRecord& o : other)
            if (!o.up && o.time > a && o.time < b) return true;
        return false;
    };
    auto ticks = [&](const std::vector<KeyRecord>& own, const std::vector<KeyRecord>& other,
                     std::size_t n, double period) {
        for (std::size_t t = 0; t + n <= own.size(); t += n) {
            const double due = start + period * double(t / n + 1);
            const bool waited = t > 0 && own[t - 1].time > due;  // previous tick still running
            if (!waited) tickStart.Add(std::fabs(own[t].time - due));
            for (std::size_t i = t + 1; i < t + n; ++i) {
                const double a = own[i - 1].time, b = own[i].time;
                if (nestedIn(other, a, b)) {
                    ++nested;
                    continue;
                }
                (own[i].up ? hold : gap).Add(b - a);
            }
        }
    };
    ticks(flash, hazards, 4, 0.4);
    ticks(hazards, flash, 2, 1.0);

    Stats every = hornSchedule;
    for (double x : tickStart.v) every.Add(x);

    std::printf("wigwag.exe under this system, %.0f s running with all three effects on\n",
                stop - start);
    std::printf("  %zu key events received, %s\n", keys.size(),
                failures ? "ended badly (above)" : "ended with exit code 0");
    PrintMs("horn tick vs its schedule (t0 + n x 100 ms)", hornSchedule);
    PrintMs("horn tick period error |dt - 100 ms|", hornPeriod);
    PrintMs("flash and hazard tick starts vs schedule", tickStart);
    PrintMs("holds (key-down to key-up, 100 ms)", hold);
    PrintMs("gaps (flash key-up to key-down, 100 ms)", gap);
    std::printf("  %zu holds or gaps lengthened by a nested tick of the other effect\n", nested);
    std::printf("  tick starts within 5 ms of schedule: %.1f %%, within 2 ms: %.1f %%\n",
                every.Within(0.005) * 100, every.Within(0.002) * 100);
    std::printf("  CPU of wigwag.exe (%s): %.3f s per minute running, %.3f s per minute idle\n",
                fromProcessTable ? "Linux process table" : "GetProcessTimes", runCpu, idleCpu);
    return 0;
}
