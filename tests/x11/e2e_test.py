# The Linux program end to end, each test on a private Xvfb and with a private runtime
# folder: a receiver window keeps the keyboard focus and records every key event, xdotool
# plays the player.
#   e2e_test.py WIGWAG X11_RECEIVER [Wigwag.test_...]
import os
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

# Flash, horn and hazards ticked; start/stop DELETE, flash G, horn B.
ALL_ON = "1|1|1|0|31|26|"


def times(events, key, kind, start=0.0, end=float("inf")):
    return [t for k, name, t in events if name == key and k == kind and start <= t < end]


class Wigwag(unittest.TestCase):
    def setUp(self):
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"], text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(xvfb.kill)
        display = xvfb.stdout.readline().strip()
        runtime = tempfile.TemporaryDirectory()
        self.addCleanup(runtime.cleanup)
        os.chmod(runtime.name, 0o700)
        self.env = dict(os.environ, DISPLAY=":" + display, XDG_RUNTIME_DIR=runtime.name)
        self.socket = os.path.join(runtime.name, f"wigwag-{display}.sock")
        self.receiver = subprocess.Popen([RECEIVER, "record"], env=self.env, text=True,
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.assertEqual(self.receiver.stdout.readline().split()[0], "ready")
        self.keyboard = self.call(RECEIVER, "state")  # nothing down yet, auto-repeat as set

    def call(self, *command):
        return subprocess.run(command, env=self.env, check=True, capture_output=True, text=True,
                              timeout=20).stdout

    def command(self, *options):
        # A later start of the program: (exit status, standard output, standard error).
        result = subprocess.run([PROGRAM, *options], env=self.env, capture_output=True,
                                text=True, timeout=20, stdin=subprocess.DEVNULL)
        return result.returncode, result.stdout, result.stderr

    def start(self, directory, settings=None):
        # The program in `directory`, with this settings line; returns it and its window.
        if settings is not None:
            with open(os.path.join(directory, "wigwag.cfg"), "w", newline="") as f:
                f.write(settings + "\r\n")  # the settings line is all the program reads
        proc = subprocess.Popen([PROGRAM], cwd=directory, env=self.env, text=True,
                                stderr=subprocess.PIPE)
        self.addCleanup(proc.kill)
        found = self.call("xdotool", "search", "--sync", "--onlyvisible", "--pid", str(proc.pid))
        return proc, found.split()[0]

    def run_program(self, settings, presses, signum=None):
        # Presses each key (or gives each command, "--toggle" and the like) and waits its
        # seconds, then closes the window (or sends signum); returns when each press and the
        # end came, and the commands' answers. The program must exit with 0 leaving no key
        # down and every auto-repeat setting as it was.
        answers = []
        with tempfile.TemporaryDirectory() as directory:
            proc, window = self.start(directory, settings)
            time.sleep(0.3)
            at = []  # CLOCK_MONOTONIC, as the receiver's times
            for key, seconds in presses:
                at.append(time.monotonic())
                if key.startswith("--"):
                    answers.append(self.call(PROGRAM, key))
                else:
                    self.call("xdotool", "key", key)
                time.sleep(seconds)
            at.append(time.monotonic())
            if signum:
                proc.send_signal(signum)
            else:
                self.call(RECEIVER, "close", window)
            _, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(self.call(RECEIVER, "state"), self.keyboard, "keys down, repeat changed")
        return at, answers

    def events(self):
        # (kind, keysym, time) of every key event; the X server's repeats of a held key come
        # as a release and a press each.
        self.receiver.stdin.close()
        return [(kind, key, int(us) / 1e6) for kind, key, _, us, _ in
                map(str.split, self.receiver.stdout.read().splitlines())]

    def check_timeline(self, steps, on, off):
        # The whole run, switched on at step `on` and off at step `off`; the other steps must
        # send nothing. Returns the commands' answers.
        at, answers = self.run_program(ALL_ON, steps)
        t_start, t_stop, t_close = at[on], at[off], at[-1]
        events = self.events()
        # Stopped, the program keeps 0 and Backspace down without pressing anything: the X
        # server would start repeating Backspace 0.66 s after its last press.
        # The switch-over leaves 0 and Backspace down until the close; the horn is held
        # from its first tick until the stop; none of them repeats.
        held = [(kind, key, t > t_close) for kind, key, t in events
                if key in ("0", "BackSpace", "b")]
        self.assertEqual(held[:4], [("press", "0", False), ("press", "BackSpace", False),
                                    ("press", "b", False), ("release", "b", False)])
        self.assertCountEqual(held[4:], [("release", "0", True), ("release", "BackSpace", True)])
        t0, b_down, b_up = [times(events, key, kind)[0] for key, kind in
                            (("0", "press"), ("b", "press"), ("b", "release"))]
        self.assertTrue(t_start < t0 < t_start + 0.5, t0 - t_start)
        self.assertAlmostEqual(b_down - t0, 0.1, delta=0.08)
        self.assertTrue(t_stop < b_up < t_stop + 0.5, b_up - t_stop)
        # Headlights: two 0.1 s presses every 0.4 s; hazards: one 0.1 s press a second.
        for key, period, per_tick in (("g", 0.4, 2), ("9", 1.0, 1)):
            downs, ups = times(events, key, "press"), times(events, key, "release")
            self.assertAlmostEqual(downs[0] - t0, period, delta=0.15)
            self.assertAlmostEqual(downs[per_tick] - t0, 2 * period, delta=0.15)
            # The stop is polled on the ticks' 0.1 s grid and seen here a little later: a tick
            # due at the very poll of the stop never starts.
            ran = (b_up - 0.02 - t0) / period
            self.assertLessEqual(abs(len(downs) / per_tick - ran), 1, key)
            for down, up in zip(downs, ups):
                self.assertTrue(0.05 < up - down < 0.35, (key, up - down))
            # A tick under way at the stop may finish; none starts afterwards.
            self.assertEqual(times(events, key, "press", start=b_up + 0.35), [], key)
        return answers

    def test_timeline(self):
        self.check_timeline([("Delete", 2.5), ("Delete", 1.5)], 0, 1)

    def test_timeline_commands(self):
        # The same run from commands; a start while running and a stop while stopped send
        # nothing, so the timeline is the start/stop key's.
        answers = self.check_timeline([("--stop", 0.3), ("--status", 0.3), ("--toggle", 1.2),
                                       ("--start", 0.3), ("--status", 1.0), ("--stop", 1.5)], 2, 5)
        self.assertEqual(answers, ["Not Running\n", "Not Running\n", "Running\n", "Running\n",
                                   "Running\n", "Not Running\n"])

    def test_signals(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            self.run_program(ALL_ON, [("Delete", 0.75)], signum)
        events = self.events()
        for key in ("b", "0", "BackSpace"):
            self.assertEqual(len(times(events, key, "press")), 2, key)

    def test_own_keys(self):
        # Start/stop on G, the flash key, then on BACKSPACE, pressed after every key-down.
        for key, index in (("g", 31), ("BackSpace", 4)):
            self.run_program(f"1|1|0|{index}|31|26|", [(key, 1.5)])
        events = self.events()
        # Still running at each close: the horn held throughout, the flashes going on.
        b_down, b_up = times(events, "b", "press"), times(events, "b", "release")
        self.assertEqual(len(b_down), 2)
        for t_start, t_close in zip(b_down, b_up):
            self.assertGreater(t_close - t_start, 1.0)
            self.assertGreaterEqual(len(times(events, "g", "press", t_close - 0.5, t_close)), 1)

    def test_no_display(self):
        for display in ([], ["DISPLAY=:4097"]):
            result = subprocess.run(["env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", *display,
                                     PROGRAM], env=self.env, capture_output=True, text=True,
                                    timeout=30)
            self.assertEqual(result.returncode, 1)
            self.assertRegex(result.stderr, r"\Awigwag: .*display.*\n\Z")

    def test_one_instance(self):
        def not_running():
            for option in ("--toggle", "--start", "--stop", "--status"):
                code, out, err = self.command(option)
                self.assertEqual((code, out), (3, ""), option)
                self.assertRegex(err, r"\Awigwag: [^\n]*not running[^\n]*\n\Z", option)

        not_running()
        with tempfile.TemporaryDirectory() as first, tempfile.TemporaryDirectory() as other:
            proc, window = self.start(first, ALL_ON)
            self.assertEqual(stat.S_IMODE(os.stat(self.socket).st_mode), 0o600)
            # A start from another folder finds it, brings its window forward and ends.
            code, out, err = self.command()
            self.assertEqual((code, err), (0, ""))
            self.assertEqual(self.call("xdotool", "search", "--onlyvisible", "--name",
                                       "^Wigwag v1.1$").split(), [window])
            self.assertEqual(os.listdir(other), [])

            # Nothing but the commands does anything; no message can hold the program up.
            for message in (b"garbage\n", b"TOGGLE\n", b"toggle\r\n", b"toggle\nstop\n",
                            bytes(range(256)) + b"\n", b"toggle", b"", b"t" * 1_000_000):
                answer = self.talk(message)
                self.assertIn(answer, (b"refused\n", b""), message[:20])
                if message and b"\n" not in message[:40]:
                    self.assertEqual(answer, b"refused\n" if len(message) > 32 else b"")
            t = time.monotonic()
            self.assertEqual(self.command("--status"), (0, "Not Running\n", ""))
            self.assertLess(time.monotonic() - t, 1.0)
            self.assertEqual(self.talk(b"status\n"), b"Not Running\n")

            # Killed, it leaves its socket behind; the next start takes over at once.
            proc.kill()
            proc.wait()
            self.assertTrue(stat.S_ISSOCK(os.stat(self.socket).st_mode))
            not_running()
            proc, window = self.start(other, ALL_ON)
            self.assertEqual(self.command("--status"), (0, "Not Running\n", ""))
            self.call(RECEIVER, "close", window)
            proc.communicate(timeout=10)
            self.assertEqual(proc.returncode, 0)
        not_running()
        self.assertFalse(os.path.exists(self.socket))
        self.assertEqual(self.events(), [], "keys sent")
        self.assertEqual(self.call(RECEIVER, "state"), self.keyboard)

    def talk(self, message):
        # Sends bytes straight to the running program's socket; returns what came back
        # before it closed the connection.
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.socket)
            try:
                s.sendall(message)
            except (BrokenPipeError, ConnectionResetError):
                pass  # refused before it was all sent
            answer = b""
            try:
                while chunk := s.recv(100):
                    answer += chunk
            except ConnectionResetError:
                pass
            return answer


if __name__ == "__main__":
    PROGRAM, RECEIVER = sys.argv[1:3]
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
