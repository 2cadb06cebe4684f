"""End-to-end tests of the Linux program on a private Xvfb.

A receiver window holds the keyboard focus and records every key event with its time;
xdotool plays the player pressing the start/stop key. Usage:
    e2e_test.py --wigwag PROGRAM --receiver X11_RECEIVER [unittest arguments]
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xtools import Receiver, Wigwag, Xvfb, xdotool  # noqa: E402

PROGRAM = RECEIVER = None

# (name, left, top) in pixels of the controls the tests click: twips / 15.
CONTROLS = [("Image2", 1560 // 15, 2280 // 15)]


def window_origin(env, window):
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window], env=env,
                         capture_output=True, text=True, check=True).stdout
    geometry = dict(line.split("=") for line in out.split())
    return int(geometry["X"]), int(geometry["Y"])

# Flash, horn and hazards ticked; start/stop DELETE, flash G, horn B.
ALL_ON = "1|1|1|0|31|26|"


def presses(events, key, start=float("-inf"), end=float("inf")):
    return [e.t for e in events if e.key == key and e.kind == "press" and start <= e.t < end]


def releases(events, key, start=float("-inf"), end=float("inf")):
    return [e.t for e in events if e.key == key and e.kind == "release" and start <= e.t < end]


class X11Case(unittest.TestCase):
    def setUp(self):
        self.x = Xvfb()
        self.addCleanup(self.x.close)
        self.receiver = Receiver(RECEIVER, self.x.env)
        self.addCleanup(lambda: self.receiver.proc.poll() is None and self.receiver.finish())
        self.down_before, self.repeat_before = self.receiver.state()

    def start(self, settings_line):
        program = Wigwag(PROGRAM, self.x.env, settings_line)
        self.addCleanup(lambda: program.proc.poll() is None and program.proc.kill())
        time.sleep(0.3)
        return program

    def assertKeyboardAsBefore(self):
        down, repeat = self.receiver.state()
        self.assertEqual(down, [], "keys still down after the program ended")
        self.assertEqual(repeat, self.repeat_before, "auto-repeat settings not restored")

    def assertAlternates(self, events):
        """Every key goes press, release, press...: a repeat would press a key already down."""
        down = {}
        for e in events:
            was_down = down.get(e.key, False)
            if e.kind == "press":
                self.assertFalse(was_down, f"{e.key} pressed again while down at {e.t:.3f}")
            else:
                self.assertTrue(was_down, f"{e.key} released while up at {e.t:.3f}")
            down[e.key] = e.kind == "press"


class RunTimeline(X11Case):
    def test_start_run_stop_and_close(self):
        program = self.start(ALL_ON)
        t_start = xdotool(self.x.env, "key", "Delete")
        time.sleep(2.3)
        t_stop = xdotool(self.x.env, "key", "Delete")
        time.sleep(0.7)
        t_close = time.clock_gettime(time.CLOCK_MONOTONIC)
        self.receiver.close_window(program.window)
        code, err = program.wait()
        self.assertEqual(code, 0, err)
        self.assertKeyboardAsBefore()
        events = self.receiver.finish()
        self.assertAlternates(events)
        own = [e for e in events if e.key != "Delete"]

        # The switch-over: 0 then Backspace, both left down, within a poll of the press.
        self.assertGreaterEqual(len(own), 2)
        self.assertEqual([(e.kind, e.key) for e in own[:2]],
                         [("press", "0"), ("press", "BackSpace")])
        t0 = own[0].t
        self.assertLess(t0 - t_start, 0.3)
        self.assertEqual(len(presses(events, "0")), 1)
        self.assertEqual(len(presses(events, "BackSpace")), 1)
        self.assertEqual(releases(events, "0", end=t_close), [])
        self.assertEqual(releases(events, "BackSpace", end=t_close), [])

        # The horn: held from the first siren tick until the stop, no repeats.
        b_down = presses(events, "b")
        b_up = releases(events, "b")
        self.assertEqual(len(b_down), 1)
        self.assertEqual(len(b_up), 1)
        self.assertAlmostEqual(b_down[0] - t0, 0.1, delta=0.05)
        t_off = b_up[0]
        self.assertGreater(t_off, t_stop)
        self.assertLess(t_off - t_stop, 0.3)

        # Headlights: two 0.1 s presses per 0.4 s tick, the first tick 0.4 s in.
        g_down = presses(events, "g")
        g_up = releases(events, "g")
        self.assertAlmostEqual(g_down[0] - t0, 0.4, delta=0.05)
        self.assertGreaterEqual(len(g_down), 8)
        self.assertLessEqual(len(g_down), 12)
        for down, up in zip(g_down, g_up):
            self.assertGreater(up - down, 0.05)
            self.assertLess(up - down, 0.3)
        # Hazards: one 0.1 s press a second.
        nine = presses(events, "9")
        self.assertEqual(len(nine), 2)
        self.assertAlmostEqual(nine[0] - t0, 1.0, delta=0.05)
        self.assertAlmostEqual(nine[1] - t0, 2.0, delta=0.05)
        for down, up in zip(nine, releases(events, "9")):
            self.assertAlmostEqual(up - down, 0.1, delta=0.05)

        # Stopped: a tick in progress may finish, nothing starts afterwards.
        for key in ("g", "9", "b"):
            self.assertEqual(presses(events, key, start=t_off + 0.35), [], key)
        # Closing releases what the program still held.
        self.assertEqual(len(releases(events, "0", start=t_close)), 1)
        self.assertEqual(len(releases(events, "BackSpace", start=t_close)), 1)
        self.assertEqual(program.settings(), ALL_ON)


class Signals(X11Case):
    def run_and_signal(self, signum):
        program = self.start(ALL_ON)
        xdotool(self.x.env, "key", "Delete")
        time.sleep(0.75)
        program.proc.send_signal(signum)
        code, err = program.wait()
        self.assertEqual(code, 0, err)
        self.assertKeyboardAsBefore()
        events = self.receiver.finish()
        self.assertAlternates(events)
        for key in ("b", "0", "BackSpace"):
            self.assertEqual(len(presses(events, key)), 1, key)
            self.assertEqual(len(releases(events, key)), 1, key)
        self.assertEqual(program.settings(), ALL_ON)

    def test_sigterm_releases_keys_and_saves(self):
        self.run_and_signal(signal.SIGTERM)

    def test_sigint_releases_keys_and_saves(self):
        self.run_and_signal(signal.SIGINT)


class OwnKeys(X11Case):
    def test_own_presses_of_the_start_key_do_not_toggle(self):
        # Start/stop on G, which the flash effect itself presses twice every 0.4 s.
        program = self.start("1|1|0|31|31|26|")
        t_start = xdotool(self.x.env, "key", "g")
        time.sleep(1.6)
        self.receiver.close_window(program.window)
        code, err = program.wait()
        self.assertEqual(code, 0, err)
        events = self.receiver.finish()
        self.assertAlternates(events)
        own_g = presses(events, "g", start=t_start + 0.05)
        # Still running after its own presses: the horn stays held and the flashes go on.
        self.assertGreaterEqual(len(own_g), 6)
        self.assertEqual(len(presses(events, "b")), 1)
        b_up = releases(events, "b")
        self.assertTrue(all(t > t_start + 1.5 for t in b_up), b_up)
        self.assertKeyboardAsBefore()


class WebSite(X11Case):
    def test_click_opens_the_address_without_waiting(self):
        # A stand-in for the desktop's opener that records its arguments and lingers.
        bin_dir = tempfile.mkdtemp(prefix="wigwag-bin-")
        record = os.path.join(bin_dir, "opened")
        opener = os.path.join(bin_dir, "xdg-open")
        with open(opener, "w") as f:
            f.write(f'#!/bin/sh\necho "$@" >> {record}\nsleep 5\n')
        os.chmod(opener, 0o755)
        env = dict(self.x.env, PATH=bin_dir + os.pathsep + os.environ["PATH"])
        program = Wigwag(PROGRAM, env, ALL_ON)
        self.addCleanup(lambda: program.proc.poll() is None and program.proc.kill())
        image2 = next(c for c in CONTROLS if c[0] == "Image2")
        x, y = window_origin(self.x.env, program.window)
        xdotool(self.x.env, "mousemove", str(x + image2[1] + 5), str(y + image2[2] + 5),
                "click", "1")
        deadline = time.time() + 10
        while not os.path.exists(record) and time.time() < deadline:
            time.sleep(0.05)
        # The program does not wait for the opener: it closes while the opener sleeps.
        t = time.time()
        self.receiver.close_window(program.window)
        program.proc.wait(timeout=10)
        self.assertLess(time.time() - t, 3)
        code, err = program.wait()  # the opener holds the output pipes until it ends
        self.assertEqual(code, 0, err)
        with open(record) as f:
            self.assertEqual(f.read().split(), ["https://wigwag.example.org/"])


class Loading(X11Case):
    def test_sigterm_during_the_load_message_box_keeps_the_settings(self):
        # No settings file: the load shows its message box before the window appears.
        directory = tempfile.mkdtemp(prefix="wigwag-")
        proc = subprocess.Popen([PROGRAM], cwd=directory, env=self.x.env,
                                stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                        str(proc.pid)], env=self.x.env, capture_output=True, timeout=20)
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0, err)
        with open(os.path.join(directory, "wigwag.cfg"), "rb") as f:
            self.assertEqual(f.read().split(b"\r\n")[0], b"0|0|0|0|31|26|")


class NoDisplay(unittest.TestCase):
    def check_one_line_failure(self, env):
        result = subprocess.run([PROGRAM], env=env, capture_output=True, text=True, timeout=30)
        self.assertGreater(result.returncode, 0)  # an exit code, not a signal
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("wigwag: "), lines[0])
        self.assertIn("display", lines[0].lower())

    def test_without_display_variable(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.check_one_line_failure(env)

    def test_with_unreachable_display(self):
        env = dict(os.environ, DISPLAY=":4097")
        env.pop("WAYLAND_DISPLAY", None)
        self.check_one_line_failure(env)

    def test_wayland_session_without_xwayland(self):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        env["WAYLAND_DISPLAY"] = "wayland-0"
        self.check_one_line_failure(env)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--wigwag", required=True)
    parser.add_argument("--receiver", required=True)
    args, rest = parser.parse_known_args()
    PROGRAM, RECEIVER = args.wigwag, args.receiver
    unittest.main(argv=[sys.argv[0], "-v", *rest])
