"""The wheel button: what a wheel's stream of axis reports costs the program, and how soon a
button press switches it.

A fake wheel (24 buttons, four axes) in a umockdev test bed; the program runs on a private
Xvfb with the receiver window holding the focus, no effect ticked, the wheel's button 5
chosen. First the program's CPU time over a stretch without the stream, then over one with
the wheel sending 1,000 axis reports a second (one report each millisecond, as a USB wheel
polled at 1 kHz does). Then 50 presses of button 5, each a random part of a poll after the
last: the time from the press to the burst's 0 key-down, in the X server's time (Xvfb's
clock is CLOCK_MONOTONIC in milliseconds, checked below against `server_stamp`).

Run under umockdev-wrapper, with a Python that has python3-gi:
    umockdev-wrapper /usr/bin/python3 wheel_bench.py --wigwag PROGRAM --receiver X11_RECEIVER
"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "devices"))
import fake_joysticks as fj  # noqa: E402
from xtools import Receiver, Wigwag, Xvfb, now  # noqa: E402


def test_bed():
    import gi
    gi.require_version("UMockdev", "1.0")
    from gi.repository import UMockdev
    bed = UMockdev.Testbed.new()
    wheel = fj.wheel()
    bed.add_from_string(fj.udev_text(wheel, 10, 1))
    ioctl = os.path.join(bed.get_root_dir(), "wheel.ioctl")
    with open(ioctl, "w") as f:
        f.write(fj.ioctl_text(wheel))
    bed.load_ioctl("/dev/input/event10", ioctl)
    fd = bed.get_dev_fd("/dev/input/event10")
    os.set_blocking(fd, False)  # a full buffer raises rather than waits
    return bed, wheel, fd


def stream(fd, seconds):
    """One ABS_X report each millisecond for `seconds`; returns how many were sent. The
    node's buffer must never fill: a program that stops reading ends the benchmark."""
    sent, start = 0, now()
    while (t := now() - start) < seconds:
        due = sent / 1000
        if t < due:
            time.sleep(due - t)
        value = int(32768 + 30000 * ((sent % 2000) / 1000 - 1))
        report = fj.event(fj.EV_ABS, fj.ABS_X, value) + fj.event(fj.EV_SYN, fj.SYN_REPORT, 0)
        if os.write(fd, report) != len(report):
            raise RuntimeError("the program stopped reading the wheel")
        sent += 1
    return sent


def cpu_per_minute(wig, seconds, during=None):
    t0, c0 = now(), wig.cpu_seconds()
    result = during(seconds) if during else time.sleep(seconds)
    t1, c1 = now(), wig.cpu_seconds()
    return (c1 - c0) / (t1 - t0) * 60, result, t1 - t0


def clock_check(stamp, env):
    """The widest gap between CLOCK_MONOTONIC and the X server's time over a few stamps
    (the server's stamp must fall between the monotonic times around it)."""
    worst = 0.0
    for _ in range(5):
        before = now() * 1000
        out = subprocess.run([stamp, "true"], env=env, capture_output=True,
                             text=True, check=True).stdout
        after = now() * 1000
        server = int(out.split()[1])
        worst = max(worst, before - server - 1, server - after)
    return worst


def figures(values):
    v = sorted(values)
    return f"n={len(v)}  median {statistics.median(v):5.1f}  worst {v[-1]:5.1f} ms"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wigwag", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--stamp", required=True)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--rounds", type=int, default=50)
    args = parser.parse_args()

    bed, wheel, fd = test_bed()
    x = Xvfb()
    try:
        env = dict(x.env, UMOCKDEV_DIR=bed.get_root_dir())
        rec = Receiver(args.receiver, env)
        wig = Wigwag(args.wigwag, env, f"0|0|0|0|31|26|{wheel.vendor:04x}:{wheel.product:04x}:5|")
        time.sleep(1)
        quiet, _, _ = cpu_per_minute(wig, args.seconds)
        busy, sent, took = cpu_per_minute(wig, args.seconds, lambda s: stream(fd, s))

        code = wheel.button_code(5)
        offset = clock_check(args.stamp, env)
        presses = {"quiet": [], "streaming": []}
        for kind, rounds in (("quiet", args.rounds), ("streaming", args.rounds // 2)):
            for _ in range(rounds):
                subprocess.run(["xdotool", "keyup", "0", "BackSpace"], env=env, check=True)
                # Anywhere between two polls; the stream, if any, going on meanwhile.
                pause = 0.1 + random.random() * 0.1
                stream(fd, pause) if kind == "streaming" else time.sleep(pause)
                presses[kind].append(now() * 1000)
                os.write(fd, fj.button(code, 1))
                time.sleep(0.05)
                os.write(fd, fj.button(code, 0))
                stream(fd, 0.2) if kind == "streaming" else time.sleep(0.2)
        time.sleep(0.3)
        rec.close_window(wig.window)
        _, err = wig.wait()
        events = rec.finish()
    finally:
        x.close()

    zeros = [e.server for e in events if e.key == "0" and e.kind == "press"]
    unfiltered = "does not filter" in err
    path = ("the fallback: every event read (no EVIOCSMASK in the test bed)" if unfiltered
            else "EVIOCSMASK: the kernel passes button events only")
    print(f"The wheel button on Xvfb, {os.cpu_count()} CPUs, a fake wheel in umockdev")
    print(f"  events read by {path}")
    print(f"  CPU, idle, no stream            {quiet:.3f} s per minute")
    print(f"  CPU, 1 kHz axis stream          {busy:.3f} s per minute "
          f"({sent / took:.0f} reports a second were sent)")
    print("From the press of button 5 to the burst's 0 key-down, X server time "
          f"(its clock within {max(offset, 0):.1f} ms of CLOCK_MONOTONIC)")
    for kind, at in presses.items():
        taken = [next(z for z in zeros if z >= p) - p for p in at if any(z >= p for z in zeros)]
        print(f"  {kind:10} {len(taken)} of {len(at)} presses switched  {figures(taken)}")


if __name__ == "__main__":
    main()
