"""Wigwag against a plain xdotool script, on a private Xvfb, same run, same receiver.

Both run the three effects (headlights on g every 0.4 s, horn on b every 0.1 s, hazards
on 9 every second) for the same time; a receiver window records every key event. Prints,
for each: tick error (each tick's first key-down against the first tick plus whole
intervals), every visible event against its schedule, hold and gap lengths, repeat
events on held keys, and CPU seconds per minute of running.

    x11_bench.py --wigwag PROGRAM --receiver X11_RECEIVER [--seconds 30]
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from xtools import Receiver, Wigwag, Xvfb, now, xdotool  # noqa: E402

ALL_ON = "1|1|1|0|31|26|"
FLASH, HAZARD = 0.4, 1.0


def ms(values):
    if not values:
        return "n=0"
    v = sorted(values)
    p95 = v[min(len(v) - 1, int(0.95 * (len(v) - 1) + 0.5))]
    return (f"n={len(v):<4} mean {statistics.fmean(v) * 1e3:8.2f}  p95 {p95 * 1e3:8.2f}  "
            f"max {v[-1] * 1e3:8.2f} ms")


def analyse(events, start, end, anchors):
    """Figures from the key events between start and end.

    anchors: when the first headlight tick and the first hazard tick were due, or None to
    take the first key-down seen. The n-th key-down of a key is matched with the n-th one
    its schedule plans (headlights: 0 and 0.2 s into every 0.4 s tick; hazards: at the start
    of every second), key-ups 0.1 s after them."""
    ev = [e for e in events if start <= e.t <= end]

    def times(key, kind):
        return [e.t for e in ev if e.key == key and e.kind == kind]

    tick, event, hold, gap = [], [], [], []
    for key, period, offsets, anchor in (("g", FLASH, (0.0, 0.2), anchors[0]),
                                         ("9", HAZARD, (0.0,), anchors[1])):
        downs, ups = times(key, "press"), times(key, "release")
        if not downs:
            continue
        first = downs[0] if anchor is None else anchor
        plan = [first + k * period + off for k in range(len(downs)) for off in offsets]
        for n, t in enumerate(downs):
            err = abs(t - plan[n])
            event.append(err)
            if n % len(offsets) == 0:
                tick.append(err)
        for n, t in enumerate(ups[:len(downs)]):
            event.append(abs(t - (plan[n] + 0.1)))
            hold.append(t - downs[n])
            if len(offsets) == 2 and n % 2 == 0 and n + 1 < len(downs):
                gap.append(downs[n + 1] - t)
    # A held key that goes up and down again while held is repeating.
    repeats = {key: max(0, len(times(key, "press")) - 1) + len(times(key, "release"))
               for key in ("b", "BackSpace")}
    return {"tick": tick, "event": event, "hold": hold, "gap": gap, "repeats": repeats}


def report(name, figures, cpu_per_min, note=""):
    event = figures["event"]
    print(f"\n{name}")
    print(f"  tick error       {ms(figures['tick'])}")
    print(f"  event error      {ms(event)}")
    print(f"  within 2 ms      {sum(1 for e in event if e <= 0.002)} of {len(event)} "
          f"visible key events; {sum(1 for e in event if e > 0.05)} more than 50 ms off")
    print(f"  hold (0.1 s)     {ms(figures['hold'])}")
    print(f"  gap (0.1 s)      {ms(figures['gap'])}")
    print(f"  repeat events on held keys: b {figures['repeats']['b']}, "
          f"BackSpace {figures['repeats']['BackSpace']}")
    print(f"  CPU              {cpu_per_min:.3f} s per minute of running{note}")


def run_wigwag(program, receiver, env, seconds):
    wig = Wigwag(program, env, ALL_ON)
    time.sleep(0.5)
    xdotool(env, "key", "Delete")
    time.sleep(0.3)
    t0, c0 = now(), wig.cpu_seconds()
    time.sleep(seconds)
    t1, c1 = now(), wig.cpu_seconds()
    t_stop = xdotool(env, "key", "Delete")
    time.sleep(0.5)
    receiver.close_window(wig.window)
    wig.wait()
    return t_stop, (c1 - c0) / (t1 - t0) * 60


def run_script(env, seconds):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = now()
    subprocess.run(["sh", os.path.join(HERE, "xdotool_effects.sh"), str(seconds)], env=env,
                   check=True)
    t1 = now()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return t0, (cpu / (t1 - t0)) * 60


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wigwag", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--seconds", type=float, default=30)
    args = parser.parse_args()

    x = Xvfb()
    try:
        rec = Receiver(args.receiver, x.env)
        t_start = now()
        w_stop, wig_cpu = run_wigwag(args.wigwag, rec, x.env, args.seconds)
        time.sleep(0.5)
        s_start, sh_cpu = run_script(x.env, args.seconds)
        events = rec.finish()
    finally:
        x.close()

    # The program's schedule starts at its switch-over (its 0 key-down).
    switch = next(e.t for e in events if e.key == "0" and e.kind == "press" and e.t > t_start)
    print(f"Wigwag against an xdotool script, {args.seconds:.0f} s each, all effects on, "
          f"Xvfb, {os.cpu_count()} CPUs")
    report("wigwag (Qt host, XTest)",
           analyse(events, switch, w_stop, (switch + FLASH, switch + HAZARD)), wig_cpu)
    # The script's keys are let go at its end; its figures stop just before.
    report("xdotool shell script",
           analyse(events, s_start, s_start + args.seconds - 0.2, (None, None)), sh_cpu,
           " (the script and every xdotool and sleep it started)")


if __name__ == "__main__":
    main()
