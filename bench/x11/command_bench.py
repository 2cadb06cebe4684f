"""From a command to the burst: how soon `wigwag --toggle` switches the running program.

On a private Xvfb with the receiver window holding the focus, Wigwag runs with no effect
ticked. Each round releases the 0 key and Backspace that the last switch-over left down (so
that the next burst's 0 key-down reaches the receiver), waits a random part of a poll, then
switches: by `wigwag --toggle`, or by a press of the start/stop key (xdotool key Delete).
The X server's time just before the command starts (a property change's time stamp, taken
by `server_stamp`) and the time stamp of the burst's 0 key-down give the delay, in
the server's milliseconds. Then one switch-over of each kind with every effect ticked,
printed side by side as the receiver recorded it.

    command_bench.py --wigwag PROGRAM --receiver X11_RECEIVER [--rounds 50]
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
from xtools import Receiver, Wigwag, Xvfb  # noqa: E402

NO_EFFECTS, ALL_ON = "0|0|0|0|31|26|", "1|1|1|0|31|26|"


def stamped(stamp, env, *command):
    """Runs the command; returns the server's time (ms) just before it started, and how long
    the command took (s)."""
    t = time.monotonic()
    out = subprocess.run([stamp, *command], env=env, check=True,
                         capture_output=True, text=True).stdout
    return int(out.split("\n", 1)[0].split()[1]), time.monotonic() - t


def switch(how, program, stamp, env):
    if how == "command":
        return stamped(stamp, env, program, "--toggle")
    return stamped(stamp, env, "xdotool", "key", "Delete")


def figures(values):
    v = sorted(values)
    return (f"n={len(v)}  median {statistics.median(v):6.1f}  p95 "
            f"{v[min(len(v) - 1, round(0.95 * (len(v) - 1)))]:6.1f}  worst {v[-1]:6.1f} ms")


def delays(args, x, rec, how):
    wig = Wigwag(args.wigwag, x.env, NO_EFFECTS)
    time.sleep(0.5)
    starts, walls = [], []
    for _ in range(args.rounds):
        subprocess.run(["xdotool", "keyup", "0", "BackSpace"], env=x.env, check=True)
        time.sleep(0.1 + random.random() * 0.1)  # anywhere between two polls
        start, wall = switch(how, args.wigwag, args.stamp, x.env)
        starts.append(start)
        walls.append(wall * 1000)
        time.sleep(0.2)  # the burst comes within a poll; the key-ups only after it
    time.sleep(0.3)
    rec.close_window(wig.window)
    wig.wait()
    return starts, walls


def timeline(args, x, rec, how):
    wig = Wigwag(args.wigwag, x.env, ALL_ON)
    time.sleep(0.5)
    start, _ = switch(how, args.wigwag, args.stamp, x.env)
    time.sleep(1.25)
    switch(how, args.wigwag, args.stamp, x.env)
    time.sleep(0.3)
    rec.close_window(wig.window)
    wig.wait()
    return start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wigwag", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--stamp", required=True)
    parser.add_argument("--rounds", type=int, default=50)
    args = parser.parse_args()

    results = {}
    for how in ("command", "key"):
        x = Xvfb()
        try:
            rec = Receiver(args.receiver, x.env)
            starts, walls = delays(args, x, rec, how)
            events = rec.finish()
        finally:
            x.close()
        zeros = [e.server for e in events if e.key == "0" and e.kind == "press"]
        taken = [next(z for z in zeros if z >= s) - s for s in starts]
        results[how] = (taken, walls)

    print(f"From the switch to the burst's 0 key-down, X server time, {args.rounds} rounds, "
          f"Xvfb, {os.cpu_count()} CPUs")
    print(f"  wigwag --toggle        {figures(results['command'][0])}")
    print(f"    (the command's run to its answer: {figures(results['command'][1])})")
    print(f"  xdotool key Delete     {figures(results['key'][0])}")

    lines = {}
    for how in ("key", "command"):
        x = Xvfb()
        try:
            rec = Receiver(args.receiver, x.env)
            start = timeline(args, x, rec, how)
            lines[how] = [f"{e.server - start:6d} {e.kind:7} {e.key}" for e in rec.finish()]
        finally:
            x.close()
    print("\nOne switch-over each, all effects on, switched off 1.25 s later; ms from the "
          "start of the switch")
    print(f"  {'start/stop key (xdotool key Delete)':38}  wigwag --toggle")
    for n in range(max(len(lines["key"]), len(lines["command"]))):
        left = lines["key"][n] if n < len(lines["key"]) else ""
        right = lines["command"][n] if n < len(lines["command"]) else ""
        print(f"  {left:38}  {right}".rstrip())


if __name__ == "__main__":
    main()
