"""Start-up of the Linux program with settings files far past the read limit.

For each settings file, starts the program several times on a private Xvfb and prints the
time from starting the process to its first window on the screen (the main window, or the
message box that comes before it when the file is not read whole), and the process's peak
resident memory (the kernel's maximum RSS of the child, from wait4).

    startup_bench.py --wigwag PROGRAM [--runs 5] [--megabytes 200]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from xtools import Xvfb, now, settings_file  # noqa: E402

TITLES = ("Wigwag v1.1", "Unable to Continue")


def write_big(path, megabytes, line):
    chunk = line * ((1 << 20) // len(line))
    with open(path, "wb") as f:
        for _ in range(megabytes * 1000 * 1000 // len(chunk)):
            f.write(chunk)


class MapWatch:
    """Reports when a top-level window is mapped on the display (no window manager: the
    program's windows are the root's children)."""

    def __init__(self, env):
        self.proc = subprocess.Popen(["stdbuf", "-oL", "xev", "-root", "-event", "substructure"],
                                     env=env, stdout=subprocess.PIPE, text=True)
        time.sleep(0.3)  # xev has selected its events

    def next_map(self):
        for line in self.proc.stdout:
            if line.startswith("MapNotify"):
                return now()
        raise RuntimeError("xev ended")

    def close(self):
        self.proc.kill()
        self.proc.wait()


def title_shown(env):
    """The title of the window on the screen, main window or box."""
    for title in TITLES:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"],
                               env=env, capture_output=True, text=True)
        if found.stdout.split():
            return title, found.stdout.split()[0]
    return None, None


def one_start(program, directory, env):
    watch = MapWatch(env)
    try:
        t0 = now()
        proc = subprocess.Popen([program], cwd=directory, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        shown = watch.next_map() - t0
        time.sleep(0.2)
        title, _ = title_shown(env)
        proc.kill()  # no save: the file stays for the next start
        # The peak resident size of this child, as the kernel counted it.
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        return shown, usage.ru_maxrss / 1024, usage.ru_utime + usage.ru_stime, title
    finally:
        watch.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wigwag", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--megabytes", type=int, default=200)
    args = parser.parse_args()

    mb = args.megabytes
    cases = [
        ("settings file of four lines", lambda d: settings_file(d, "1|1|1|0|31|26|")),
        (f"{mb} MB of short lines (\"0|1|\" CR LF)",
         lambda d: write_big(os.path.join(d, "wigwag.cfg"), mb, b"0|1|\r\n")),
        (f"{mb} MB of one-byte lines (\"x\" CR)",
         lambda d: write_big(os.path.join(d, "wigwag.cfg"), mb, b"x\r")),
        (f"{mb} MB in one line, no line end",
         lambda d: write_big(os.path.join(d, "wigwag.cfg"), mb, b"0123456789" * 100)),
    ]
    x = Xvfb()
    print(f"Start-up of the Linux program, {args.runs} starts each, Xvfb, {os.cpu_count()} CPUs")
    print("first window: from the process start to its first window on the screen, median and"
          " max;\nCPU: the process's user and system time, up to 0.2 s after that window;\n"
          "peak RSS: its maximum resident size; shown: the window's title\n")
    print(f"{'settings file':38} {'first window':>16} {'CPU':>9} {'peak RSS':>10}  shown")
    try:
        for name, make in cases:
            with tempfile.TemporaryDirectory(prefix="wigwag-") as directory:
                make(directory)
                runs = [one_start(os.path.abspath(args.wigwag), directory, x.env) for _ in range(args.runs)]
            shown = [r[0] * 1e3 for r in runs]
            rss = [r[1] for r in runs]
            cpu = [r[2] * 1e3 for r in runs]
            titles = sorted({str(r[3]) for r in runs})
            print(f"{name:38} {statistics.median(shown):6.0f} {max(shown):6.0f} ms"
                  f" {statistics.median(cpu):6.0f} ms {statistics.median(rss):6.1f} MiB"
                  f"  {', '.join(titles)}")
    finally:
        x.close()


if __name__ == "__main__":
    main()
