"""Figures of the real wigwag.exe under Wine, printed, not checked, on the end-to-end tests'
harness (tests/e2e_test.py, class Windows):

  timers  how exactly and how cheaply it keeps its timers: all three effects on for a while
          (WIGWAG_BENCH_SECONDS, default 60) while the receiver records the keys; the CPU
          time it takes a minute, idle and running
  focus_check  the CPU time a minute running, as above, with the look at the window in front
          at each poll (Wigwag limited, the elevated receiver in front, the line shown) and
          without (Wigwag elevated, as Wine starts it, which never looks); the Wine server's
          time beside it, since the look asks the server. A limited token costs the server
          more by itself: an older wigwag.exe, which never looks, gives the same two rows
          without the look
  wheel   the time from a press of the wheel button to the burst, over 50 presses (run
          under umockdev-wrapper, with a Python that has python3-gi)

    python3 wine_bench.py WIGWAG_EXE RECEIVER_EXE Bench.test_timers
    python3 wine_bench.py WIGWAG_EXE RECEIVER_EXE Bench.test_focus_check
    umockdev-wrapper /usr/bin/python3 wine_bench.py WIGWAG_EXE RECEIVER_EXE Bench.test_wheel
"""
import os
import statistics
import subprocess
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True  # nothing left beside the tests
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
import e2e_test as e2e  # noqa: E402

BURST = [("release", "b"), ("release", "g"), ("release", "9"), ("press", "0"),
         ("press", "BackSpace")]


def cpu_seconds(program="wigwag.exe"):
    """User and system time of the program's process, from the Linux process table (the
    name its file's begins with: wineserver64 is the Wine server)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read().split(b"\0")[0].decode(errors="replace")
            if command.lower().replace("\\", "/").rsplit("/", 1)[-1].startswith(program):
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except OSError:
            continue
    return float("nan")


def bursts(events):
    """Where each switch-over burst begins."""
    kinds = [(kind, key) for kind, key, _, _ in events]
    return [i for i in range(len(kinds)) if kinds[i:i + len(BURST)] == BURST]


def show(what, values):
    values = [v * 1000 for v in values] or [float("nan")]
    print(f"  {what:<44} median {statistics.median(values):6.2f} ms  min {min(values):6.2f}"
          f"  max {max(values):6.2f}  ({len(values)})")


class Bench(e2e.Windows):
    def test_timers(self):
        seconds = float(os.environ.get("WIGWAG_BENCH_SECONDS", "60"))
        proc = self.start(self.folder(), "1|1|1|0|31|26|")
        self.window()
        self.focus_receiver()
        time.sleep(1)
        cpu, t = cpu_seconds(), time.monotonic()
        time.sleep(10)
        idle = (cpu_seconds() - cpu) / (time.monotonic() - t) * 60
        self.call("xdotool", "key", "Delete")
        time.sleep(0.5)
        cpu, t = cpu_seconds(), time.monotonic()
        time.sleep(seconds)
        running = (cpu_seconds() - cpu) / (time.monotonic() - t) * 60
        self.call("xdotool", "key", "Delete")
        time.sleep(0.6)
        self.end(proc, window=e2e.MAIN)
        events = [e for e in self.events(raw=True) if e[1] != "Delete"]
        on, off = bursts(events)
        start, stop = events[on + len(BURST) - 1][2], events[off][2]
        effects = events[on + len(BURST):off]

        def of(key, kind=None):
            return [t for k, name, t, _ in effects if name == key and kind in (None, k)]

        horn = of("b", "press")
        schedule = [abs(t - start - 0.1 * (n + 1)) for n, t in enumerate(horn)]
        period = [abs(b - a - 0.1) for a, b in zip(horn, horn[1:])]
        # Headlights (two presses a tick, every 0.4 s) and hazards (one a second): tick
        # starts, holds and gaps; those with the other's pausing tick inside are longer by
        # design and counted apart.
        starts, holds, gaps, nested = [], [], [], 0
        for key, other, per_tick, every in (("g", "9", 4, 0.4), ("9", "g", 2, 1.0)):
            own = [(k, t) for k, name, t, _ in effects if name == key]
            others = of(other, "press")
            for tick in range(0, len(own) - per_tick + 1, per_tick):
                due = start + every * (tick // per_tick + 1)
                if tick == 0 or own[tick - 1][1] <= due:  # not held up by its own last tick
                    starts.append(abs(own[tick][1] - due))
                for (_, a), (kind, b) in zip(own[tick:tick + per_tick],
                                             own[tick + 1:tick + per_tick]):
                    if any(a < o < b for o in others):
                        nested += 1
                    else:
                        (holds if kind == "release" else gaps).append(b - a)
        every_start = schedule + starts
        print(f"\nwigwag.exe under Wine, {stop - start:.0f} s running with all three effects on")
        print(f"  {len(events)} key events received")
        show("horn tick vs its schedule (t0 + n x 100 ms)", schedule)
        show("horn tick period error |dt - 100 ms|", period)
        show("flash and hazard tick starts vs schedule", starts)
        show("holds (key-down to key-up, 100 ms)", holds)
        show("gaps (flash key-up to key-down, 100 ms)", gaps)
        print(f"  {nested} holds or gaps lengthened by a nested tick of the other effect")
        for limit in (0.005, 0.002):
            share = sum(x <= limit for x in every_start) / len(every_start)
            print(f"  tick starts within {limit * 1000:.0f} ms of schedule: {share:.1%}")
        print(f"  CPU of wigwag.exe: {running:.3f} s a minute running, {idle:.3f} s idle")

    def test_focus_check(self):
        seconds = float(os.environ.get("WIGWAG_BENCH_SECONDS", "60"))
        print(f"\nwigwag.exe under Wine, {seconds:.0f} s running with all three effects on: CPU "
              "a minute")
        # The receiver's key lines are not needed here, and a full pipe would hold it up.
        threading.Thread(target=self.receiver.stdout.read, daemon=True).start()
        for name, runner in (("Wigwag elevated: no look", []),
                             ("Wigwag limited: a look each poll", [e2e.RECEIVER, "limited"])):
            directory = self.folder()
            e2e.make_files(directory, {"wigwag.cfg": "1|1|1|0|31|26|\r\n"}, e2e.ME)
            proc = self.popen(["wine", *runner, e2e.PROGRAM], cwd=directory,
                              stderr=subprocess.PIPE)
            self.window()
            self.focus_receiver()
            time.sleep(1)
            self.call("xdotool", "key", "Delete")
            time.sleep(0.5)
            self.assertEqual(self.running(), "Running", name)
            line = self.call("wine", e2e.RECEIVER, "text", "lblElevation").strip()
            cpu, server, t = cpu_seconds(), cpu_seconds("wineserver"), time.monotonic()
            time.sleep(seconds)
            minutes = (time.monotonic() - t) / 60
            cpu, server = ((cpu_seconds(p) - start) / minutes
                           for p, start in (("wigwag.exe", cpu), ("wineserver", server)))
            self.call("xdotool", "key", "Delete")
            time.sleep(0.6)
            self.close(e2e.MAIN, proc)
            print(f"  {name:<34} wigwag.exe {cpu:.3f} s, Wine server {server:.3f} s; "
                  f"the line: {line or '(none)'}")

    def test_wheel(self):
        directory = self.folder()
        proc = self.start(directory, "0|0|0|0|31|26|046d:c24f:18|")
        self.window()
        self.focus_receiver()
        wheel = self.wheels[0]
        presses = []
        for n in range(51):
            presses.append(self.clock())
            self.bed.button(wheel, 18, 1, hold=0.05)
            time.sleep(0.25 + 0.01 * (n % 10))  # presses fall all over the poll's period
        self.end(proc, window=e2e.MAIN)
        events = self.events(raw=True)
        late = sorted(events[at][2] - pressed for at, pressed in zip(bursts(events), presses))
        print(f"\nwheel button to burst over {len(late)} presses: median "
              f"{statistics.median(late) * 1000:.1f} ms, worst {late[-1] * 1000:.1f} ms")


if __name__ == "__main__":
    e2e.PROGRAM, e2e.RECEIVER = map(os.path.abspath, sys.argv[1:3])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
