"""The Linux program's keys on each way out, side by side: XTest on Xvfb, a Wayland virtual
keyboard under headless sway, the RemoteDesktop portal under headless mutter (the real
xdg-desktop-portal with the tests' backend). The test beds are the end-to-end tests' own.

For each way: the same run (all effects on, switched on and off with the start/stop key)
recorded by a receiver window, every key event's time on its own server's clock (the X
server's, or the compositor's time of wl_keyboard.key) against the time the engine plans
for it on the simulated host (bench/x11/schedule), from the switch-over; and the program's
CPU seconds per minute of running. Then the first second of
each run side by side, and through the portal, the time from the desktop's activation of
the start/stop shortcut to the switch-over reaching the desktop (20 times).

    wayland_bench.py --wigwag PROGRAM --receiver X11_RECEIVER --schedule SCHEDULE
                     [--seconds 30]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests"))
import e2e_test as e2e  # noqa: E402

SECONDS = 30.0
RUNS = {}  # way -> (events, CPU seconds a minute)
LATENCIES = []
NAMES = {48: "0", 8: "BackSpace", 66: "b", 71: "g", 57: "9"}
SCHEDULE = {}  # (key, kind) -> the seconds after the switch-over each is meant to come


def read_schedule(tool, seconds):
    """The run as the program's engine plans it on the simulated host, as a receiver sees
    it: no key-down of a key that is down, no key-up of one that is up."""
    out = subprocess.run([tool, str(seconds + 1)], capture_output=True, text=True, check=True)
    down = set()
    for line in out.stdout.splitlines():
        ms, vk, direction = line.split()
        key, press = NAMES[int(vk)], direction == "down"
        if press != (key in down):
            SCHEDULE.setdefault((key, "press" if press else "release"), []).append(int(ms) / 1e3)
        (down.add if press else down.discard)(key)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def errors(events, stop):
    """Each key event's distance from the nearest time scheduled for such an event, on the
    server's clock, and how many scheduled events (before the stop) none came near."""
    switch = next(stamp for kind, key, _, stamp in events if key == "0" and kind == "press")
    out, missing = [], 0
    for (key, kind), planned in SCHEDULE.items():
        seen = [stamp - switch for k, name, _, stamp in events
                if name == key and k == kind and switch <= stamp < stop]
        out += [min(abs(at - plan) for plan in planned) for at in seen]
        missing += sum(1 for plan in planned if plan < stop - switch - 0.2 and
                       not any(abs(at - plan) < 0.05 for at in seen))
    return switch, out, missing


def run(self):
    proc = self.start(self.folder(), e2e.ALL_ON)
    window = self.window(proc=proc)
    self.focus_receiver()
    time.sleep(0.5)
    self.call("xdotool", "key", "Delete")
    time.sleep(0.3)
    c0, t0 = cpu_seconds(proc.pid), time.monotonic()
    time.sleep(SECONDS)
    c1, t1 = cpu_seconds(proc.pid), time.monotonic()
    self.call("xdotool", "key", "Delete")
    stop = time.monotonic()
    time.sleep(0.5)
    self.close(window, proc)
    RUNS[type(self).__name__] = (self.events(), stop, (c1 - c0) / (t1 - t0) * 60)


def latency(self):
    # The horn alone: a switch on shows as the horn's first key-down, one tick (0.1 s) after
    # the switch-over; a switch off as the horn's key-up in the switch-over itself. (The
    # burst's other keys are held already, so the desktop gets nothing else of it.)
    proc = self.start(self.folder(), "0|1|0|0|31|26|")
    window = self.window(proc=proc)
    time.sleep(1.0)
    for _ in range(20):
        self.desktop.word("activate")
        time.sleep(0.3)
        self.desktop.word("deactivate")
        time.sleep(0.3)
    self.close(window, proc)
    said = [line.split() for line, _ in self.desktop.items]
    for n, words in enumerate(said):
        if words[0] == "activated":
            horn = next(w for w in said[n:] if w[:2] == ["key", "48"])
            LATENCIES.append(float(horn[3]) - (0.1 if horn[2] == "1" else 0) - float(words[1]))


def ms(values):
    v = sorted(values)
    return (f"n={len(v):<4} median {statistics.median(v) * 1e3:6.2f}  "
            f"p95 {v[int(0.95 * (len(v) - 1))] * 1e3:6.2f}  max {v[-1] * 1e3:6.2f} ms")


def main():
    global SECONDS
    parser = argparse.ArgumentParser()
    parser.add_argument("--wigwag", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--schedule", required=True)
    parser.add_argument("--seconds", type=float, default=SECONDS)
    args = parser.parse_args()
    SECONDS = args.seconds
    read_schedule(args.schedule, SECONDS)
    e2e.PROGRAM, e2e.RECEIVER = map(os.path.abspath, (args.wigwag, args.receiver))
    ways = {"XTest (Xvfb, X server time)": type("XTest", (e2e.Harness,), {"runTest": run}),
            "virtual keyboard (sway, wl_keyboard time)":
                type("VirtualKeyboard", (e2e.SwayNative,), {"runTest": run}),
            "RemoteDesktop portal (mutter, wl_keyboard time)":
                type("Portal", (e2e.Mutter,), {"runTest": run})}
    suite = unittest.TestSuite([case() for case in ways.values()] +
                               [type("Latency", (e2e.Mutter,), {"runTest": latency})()])
    if not unittest.TextTestRunner(verbosity=0).run(suite).wasSuccessful():
        sys.exit(1)

    print(f"\nThe same run on each way out, {SECONDS:.0f} s with every effect on, "
          f"{os.cpu_count()} CPUs; event error: each key event that shows against the engine's "
          f"schedule on the simulated host, from the switch-over, on the server's clock")
    firsts = {}
    for name, case in ways.items():
        events, stop, cpu = RUNS[case.__name__]
        switch, errs, missing = errors(events, stop)
        firsts[name] = [(key, kind, round((stamp - switch) * 1000)) for kind, key, _, stamp
                        in events if 0 <= stamp - switch < 1.2]
        print(f"\n{name}\n  event error      {ms(errs)}\n"
              f"  within 3 ms      {sum(e <= 0.003 for e in errs)} of {len(errs)}; "
              f"{missing} scheduled events missing\n"
              f"  CPU              {cpu:.3f} s per minute of running")
    print("\nThe first 1.2 s after the switch-over, ms on each way's own clock:")
    names = list(firsts)
    print("  " + " | ".join(f"{n.split(' (')[0]:>24}" for n in names))
    for row in range(max(len(f) for f in firsts.values())):
        cells = [firsts[n][row] if row < len(firsts[n]) else None for n in names]
        print("  " + " | ".join(f"{c[0] + ' ' + c[1]:>16} {c[2]:6d}  " if c else " " * 24
                                for c in cells))
    print(f"\nThe portal's shortcut activated -> the switch-over at the desktop:"
          f"\n  {ms(LATENCIES)}")


if __name__ == "__main__":
    main()
