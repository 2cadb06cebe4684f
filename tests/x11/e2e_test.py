# The Linux program end to end, each test on a private Xvfb and with a private runtime
# folder: a receiver window keeps the keyboard focus and records every key event, xdotool
# plays the player. The game controllers' tests (test_wheel_...) run under umockdev-wrapper,
# with fake controllers in a umockdev test bed.
#   e2e_test.py WIGWAG X11_RECEIVER [Wigwag.test_...]
import collections
import contextlib
import fcntl
import os
import pwd
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "devices"))
import fake_joysticks as fj  # noqa: E402

# Flash, horn and hazards ticked; start/stop DELETE, flash G, horn B.
ALL_ON = "1|1|1|0|31|26|"
FOOTER = "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n"
ENDING = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


def blocking_ending():
    # Run in the child before the program: the ending signals wait until it unblocks them.
    signal.pthread_sigmask(signal.SIG_BLOCK, ENDING)

# Settings files: the data line alone, and the whole file a save makes of it.
MAIN, CONTINUE, SAVE = "Wigwag v1.1", "Unable to Continue", "Unable to Save"
FIFO, BIG = "named pipe", "200 MB of short lines"


def data_file(line):
    return line + "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n"


OLD = "0|0|0|0|40|62|\r\n"
NEW = data_file("0|0|0|0|40|62|")


def canonical(given, user):
    """A folder entry as the tests write it: "->target" a link, FIFO, BIG, or a file's text,
    optionally with (text, mode) or (text, mode, owner); the owner defaults to `user`."""
    if given in (FIFO, BIG):
        return given
    if isinstance(given, str) and given.startswith("->"):
        return ("link", given[2:])
    given = (given,) if isinstance(given, str) else given
    return ("file",) + {1: (*given, 0o644, user), 2: (*given, user), 3: given}[len(given)]


def make_files(directory, files, user):
    for name, given in files.items():
        path = os.path.join(directory, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        entry = canonical(given, user)
        if entry == FIFO:
            os.mkfifo(path, 0o644)
        elif entry == BIG:
            with open(path, "wb") as f:
                for _ in range(200):
                    f.write(b"0|1|\r\n" * 166667)
        elif entry[0] == "link":
            os.symlink(entry[1], path)
        else:
            with open(path, "w", newline="") as f:
                f.write(entry[1])
            os.chmod(path, entry[2])
            user_id = pwd.getpwnam(entry[3])
            os.chown(path, user_id.pw_uid, user_id.pw_gid)


def snapshot(directory):
    """Every name under the folder but folders, as canonical() writes it."""
    out = {}
    for root, folders, files in os.walk(directory):
        for name in files + [f for f in folders if os.path.islink(os.path.join(root, f))]:
            path = os.path.join(root, name)
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                entry = ("link", os.readlink(path))
            elif stat.S_ISFIFO(st.st_mode):
                entry = FIFO
            else:
                with open(path, newline="", encoding="latin-1") as f:
                    entry = ("file", f.read(), stat.S_IMODE(st.st_mode),
                             pwd.getpwuid(st.st_uid).pw_name)
            out[os.path.relpath(path, directory)] = entry
    return out


def listing(directory):
    """Every entry under the folder, itself included: kind, mode, owner, and a file's text."""
    out = {}
    for root, folders, files in os.walk(directory):
        for name in [".", *files, *folders]:
            path = os.path.normpath(os.path.join(root, name))
            st = os.lstat(path)
            text = None
            if stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    text = f.read()
            out[os.path.relpath(path, directory)] = (stat.S_IFMT(st.st_mode),
                                                     stat.S_IMODE(st.st_mode), st.st_uid, text)
    return out


def times(events, key, kind, start=0.0, end=float("inf")):
    return [t for k, name, t in events if name == key and k == kind and start <= t < end]


# --- game controllers: fake ones through umockdev ----------------------------------------
# These tests run under umockdev-wrapper: the program they start inherits its preload and
# sees the test bed's /sys and /dev/input, with the controllers below.

NO_EFFECTS = "0|0|0|0|31|26|"
WHEEL, BOX = fj.wheel(), fj.button_box()
BOX_FIELD = f"{BOX.vendor:04x}:{BOX.product:04x}"
# The wheel button, in the window's pixels (window/layout.h, 15 twips a pixel).
CMD_WHEEL = (8 + 141 // 2, 171 + 10)
BAD_NAME = b"Sim|Box \xff\xfe\xc3(  \x01"


class Bed:
    """The test bed: controllers plugged in, pulled out and pressed while the program runs."""

    def __init__(self):
        import gi
        gi.require_version("UMockdev", "1.0")
        from gi.repository import UMockdev
        self.bed = UMockdev.Testbed.new()
        self.root = self.bed.get_root_dir()
        self.files = tempfile.TemporaryDirectory()
        self.number = 10  # the next event node; a plugged-in node is never used again
        self.nodes = {}   # node -> (syspath, controller)

    def plug(self, controller, uevent=True, extra_ioctl="", exists=True):
        """Adds the controller as the next event node; returns the node."""
        n, self.number = self.number, self.number + 1
        node = f"/dev/input/event{n}"
        text = fj.udev_text(controller, n, n)
        syspath = "/sys" + text.split("\n", 1)[0][3:]
        self.bed.add_from_string(text)
        ioctl = os.path.join(self.files.name, f"event{n}.ioctl")
        with open(ioctl, "w") as f:
            f.write(fj.ioctl_text(controller) + extra_ioctl)
        self.bed.load_ioctl(node, ioctl)
        if not exists:  # listed by udev, gone before it is opened
            os.unlink(os.path.join(self.root, node[1:]))
        if uevent:
            self.bed.uevent(syspath, "add")
        self.nodes[node] = (syspath, controller)
        return node

    def unplug(self, node):
        syspath, _ = self.nodes.pop(node)
        self.bed.uevent(syspath, "remove")
        self.bed.remove_device(syspath)

    def write(self, node, data):
        os.write(self.bed.get_dev_fd(node), data)

    def button(self, node, number, value):
        """Button `number` of the controller at `node` down (1), up (0) or repeated (2)."""
        code = self.nodes[node][1].button_code(number)
        self.write(node, fj.button(code, value))


class Wigwag(unittest.TestCase):
    def setUp(self):
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"], text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(xvfb.kill)
        display = xvfb.stdout.readline().strip()
        runtime = tempfile.TemporaryDirectory()  # the auto-repeat note, the command socket
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

    def start(self, directory, settings=None, **popen):
        # The program in directory, with this settings line in wigwag.cfg (None: no file).
        if settings is not None:
            with open(os.path.join(directory, "wigwag.cfg"), "w", newline="") as f:
                f.write(settings + "\r\n")  # the settings line is all the program reads
        proc = subprocess.Popen([PROGRAM], cwd=directory, env=self.env, text=True,
                                stderr=subprocess.PIPE, **popen)
        self.addCleanup(proc.kill)
        return proc

    def end(self, proc, signum=None, window=None):
        # Sends signum, or closes the window. The program must exit with 0 (from a signal
        # within a second) leaving no key down and every auto-repeat setting as it was.
        sent = time.monotonic()
        if signum:
            proc.send_signal(signum)
        else:
            self.call(RECEIVER, "close", window)
        _, err = proc.communicate(timeout=10)
        if signum:
            self.assertLess(time.monotonic() - sent, 1.0, signum)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(self.call(RECEIVER, "state"), self.keyboard, "keys down, repeat changed")

    def saved(self, directory):
        path = os.path.join(directory, "wigwag.cfg")
        if os.path.exists(path):
            with open(path, newline="") as f:
                return f.read()

    def window_of(self, proc):
        return self.call("xdotool", "search", "--sync", "--onlyvisible", "--pid",
                         str(proc.pid)).split()[0]

    def run_program(self, settings, presses, signum=None):
        # Presses each key (or gives each command, "--toggle" and the like, keeping its
        # answer in self.answers) and waits its seconds, then closes the window (or sends
        # signum); returns when each press and the end came. The settings are saved at the end.
        self.answers = []
        with tempfile.TemporaryDirectory() as directory:
            proc = self.start(directory, settings)
            found = self.call("xdotool", "search", "--sync", "--onlyvisible", "--pid",
                              str(proc.pid))
            time.sleep(0.3)
            at = []  # CLOCK_MONOTONIC, as the receiver's times
            for key, seconds in presses:
                at.append(time.monotonic())
                if callable(key):
                    key()  # a game controller's button
                elif key.startswith("--"):
                    self.answers.append(self.call(PROGRAM, key))
                else:
                    self.call("xdotool", "key", key)
                time.sleep(seconds)
            at.append(time.monotonic())
            self.end(proc, signum, found.split()[0])
            self.assertEqual(self.saved(directory), settings + FOOTER)
        return at

    def events(self):
        # (kind, keysym, time) of every key event; the X server's repeats of a held key come
        # as a release and a press each.
        self.receiver.stdin.close()
        return [(kind, key, int(us) / 1e6) for kind, key, _, us, _ in
                map(str.split, self.receiver.stdout.read().splitlines())]

    def check_timeline(self, steps, on, off, settings=ALL_ON):
        # The whole run, switched on at step `on` and off at step `off`; the other steps must
        # send nothing. Returns the commands' answers.
        at = self.run_program(settings, steps)
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
        return self.answers

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
        for signum in ENDING:
            # While it loads: sent as it starts (blocked until the program unblocks them,
            # as if sent before its handlers were there) or a little later. The window
            # never opens, so the file stays as it was, unless the window was already open.
            for delay in (0, 0.05, 0.15, 0.3):
                with tempfile.TemporaryDirectory() as directory:
                    proc = self.start(directory, ALL_ON, preexec_fn=blocking_ending)
                    time.sleep(delay)
                    self.end(proc, signum)
                    self.assertIn(self.saved(directory), (ALL_ON + "\r\n", ALL_ON + FOOTER))
            # The first-run box open: no window, no file.
            with tempfile.TemporaryDirectory() as directory:
                proc = self.start(directory)
                self.call("xdotool", "search", "--sync", "--onlyvisible", "--name",
                          "^Unable to Continue$")
                self.end(proc, signum)
                self.assertIsNone(self.saved(directory))
            # Running: the held keys released, the settings saved.
            self.run_program(ALL_ON, [("Delete", 0.75)], signum)
        events = self.events()
        for key in ("b", "0", "BackSpace"):
            self.assertEqual(len(times(events, key, "press")), 3, key)

    def test_hard_kill(self):
        # Killed while running: the horn and the switch-over keys stay down with their
        # auto-repeat off. The next start gives both back (run_program checks it), also when
        # the killed one was given the display under another spelling.
        with tempfile.TemporaryDirectory() as directory:
            display = self.env["DISPLAY"]
            self.env["DISPLAY"] = "unix/:000" + display[1:] + ".0"
            proc = self.start(directory, ALL_ON)
            self.env["DISPLAY"] = display
            self.call("xdotool", "search", "--sync", "--onlyvisible", "--pid", str(proc.pid))
            time.sleep(0.3)
            self.call("xdotool", "key", "Delete")
            time.sleep(0.75)
            proc.kill()
            proc.wait()
        repeat = self.call(RECEIVER, "state").splitlines()[1]
        self.assertNotEqual(repeat, self.keyboard.splitlines()[1])
        self.run_program(ALL_ON, [])

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
            proc = self.start(first, ALL_ON)
            window = self.window_of(proc)
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
            proc = self.start(other, ALL_ON)
            window = self.window_of(proc)
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

    # --- the runtime folder and the command channel --------------------------------------

    def test_runtime_folders(self):
        # Folders that are not the user's private runtime folder, some of them with a socket
        # (listening), a lock (held) and an auto-repeat note of another user's in them. Wigwag
        # runs without its channel and note and says why in one line; commands say the same;
        # nothing in the folder is touched, made or reached.
        number = self.env["DISPLAY"][1:]
        squatted = {f"wigwag-{number}.sock": "socket", f"wigwag-{number}.lock": "held",
                    f"wigwag-repeat-{number}": "22\n"}
        cases = [  # name, mode and owner of the folder (None: none there), files, why
            ("shared like /tmp", (0o1777, "root"), squatted,
             r"is open to other users \(mode 1777\)"),
            ("another user's", (0o700, "nobody"), squatted, "belongs to another user"),
            ("group may read", (0o750, "root"), {}, r"is open to other users \(mode 0750\)"),
            ("relative path", None, {}, "is not an absolute path"),
            ("missing", None, {}, "does not exist"),
            ("a file", "file", {}, "is not a folder"),
        ]
        for name, folder, files, why in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as work:
                runtime = os.path.join(work, "runtime")
                held = self.make_runtime(runtime, folder, files)
                with open(os.path.join(work, "wigwag.cfg"), "w") as f:
                    f.write(ALL_ON + "\r\n")
                before = listing(work)
                env = dict(self.env, XDG_RUNTIME_DIR="runtime" if name == "relative path"
                           else runtime)
                proc = subprocess.Popen([PROGRAM], cwd=work, env=env, text=True,
                                        stderr=subprocess.PIPE)
                self.addCleanup(proc.kill)
                window = self.window_of(proc)
                status = subprocess.run([PROGRAM, "--status"], env=env, capture_output=True,
                                        text=True, timeout=20)
                self.assertEqual(status.returncode, 1)
                self.assertRegex(status.stderr, rf"\Awigwag: no Wigwag can be reached: "
                                                rf"XDG_RUNTIME_DIR \"[^\n]*\" {why}\n\Z")
                self.call(RECEIVER, "close", window)
                _, err = proc.communicate(timeout=10)
                self.assertEqual(proc.returncode, 0)
                self.assertRegex(err, rf"\Awigwag: running without taking commands[^\n]*"
                                      rf"without a note[^\n]*: XDG_RUNTIME_DIR [^\n]* {why}\n\Z")
                self.assertEqual(listing(work).keys(), before.keys())
                before.pop("wigwag.cfg")  # saved at the close
                self.assertEqual({k: v for k, v in listing(work).items() if k in before}, before)
                if held:
                    held[0].setblocking(False)
                    self.assertRaises(BlockingIOError, held[0].accept)  # never reached

        # Another user's folder, its owner swapping a link to a file outside in and out at
        # the socket's name while Wigwag starts again and again: the file stays as it was.
        with tempfile.TemporaryDirectory() as work:
            runtime, victim = os.path.join(work, "runtime"), os.path.join(work, "victim")
            self.make_runtime(runtime, (0o700, "nobody"), {})
            with open(victim, "w") as f:
                f.write("precious")
            with open(os.path.join(work, "wigwag.cfg"), "w") as f:
                f.write(ALL_ON + "\r\n")
            os.chmod(victim, 0o644)
            racing = threading.Event()
            racing.set()

            def race():
                link = os.path.join(runtime, f"wigwag-{number}.sock")
                while racing.is_set():
                    with contextlib.suppress(OSError):
                        os.symlink(victim, link)
                    with contextlib.suppress(OSError):
                        os.unlink(link)

            racer = threading.Thread(target=race)
            racer.start()
            try:
                env = dict(self.env, XDG_RUNTIME_DIR=runtime)
                for _ in range(15):
                    proc = subprocess.Popen([PROGRAM], cwd=work, env=env,
                                            stderr=subprocess.DEVNULL)
                    self.addCleanup(proc.kill)
                    self.call(RECEIVER, "close", self.window_of(proc))
                    self.assertEqual(proc.wait(timeout=10), 0)
            finally:
                racing.clear()
                racer.join()
            self.assertEqual(os.stat(victim).st_mode & 0o7777, 0o644)
            with open(victim) as f:
                self.assertEqual(f.read(), "precious")
        self.assertEqual(self.call(RECEIVER, "state"), self.keyboard)

    def make_runtime(self, path, folder, files):
        # The folder (mode, owner) or a plain file, and in it files as another user's;
        # returns the listening socket and the held lock, to keep them open.
        if folder is None:
            return []
        if folder == "file":
            open(path, "w").close()
            return []
        os.mkdir(path)
        held = []
        for name, content in files.items():
            where = os.path.join(path, name)
            if content == "socket":
                held.append(socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))
                held[-1].bind(where)
                held[-1].listen()
            else:
                with open(where, "w") as f:
                    f.write(content if content != "held" else "")
                if content == "held":
                    held.append(open(where))
                    fcntl.flock(held[-1], fcntl.LOCK_EX)
            os.chown(where, pwd.getpwnam("nobody").pw_uid, -1)
        mode, owner = folder
        os.chmod(path, mode)
        os.chown(path, pwd.getpwnam(owner).pw_uid, -1)
        for item in held:
            self.addCleanup(item.close)
        return held

    def test_commands(self):
        # One Wigwag on the display, reached under every spelling of the display and past
        # idle connections; each command's status, output and error output. Its runtime
        # folder's path is longer than a socket address can be.
        number = self.env["DISPLAY"][1:]
        runtime = os.path.join(self.env["XDG_RUNTIME_DIR"], "r" * 120)
        os.mkdir(runtime, 0o700)
        self.env["XDG_RUNTIME_DIR"] = runtime
        folder = os.open(runtime, os.O_PATH | os.O_DIRECTORY)
        self.addCleanup(os.close, folder)
        self.socket = f"/proc/self/fd/{folder}/wigwag-{number}.sock"
        with tempfile.TemporaryDirectory() as directory:
            proc = self.start(directory, ALL_ON)
            window = self.window_of(proc)
            self.assertEqual(stat.S_IMODE(os.stat(self.socket).st_mode), 0o600)
            shown = "Wigwag is already running: its window is brought to the front.\n"
            not_running = (0, "Not Running\n", "")
            cases = [  # name, DISPLAY, command line, standard output, expected
                *[(f"--status on {display}", display, ["--status"], None, not_running)
                  for display in (f":{number}", f":000{number}", f":{number}.0",
                                  f"unix:{number}", f"unix/:{number}", f"localhost:{number}",
                                  f"localhost/unix:0{number}", f"unix/localhost:{number}.1")],
                *[(f"a second start on {display}", display, [], None, (0, shown, ""))
                  for display in (f":00{number}.0", f"unix/:{number}")],
                ("70 idle connections first", None, ["--status"], None, not_running),
                ("the answer to a full device", None, ["--status"], "/dev/full",
                 (1, None, r"\Awigwag: cannot write the answer to standard output: [^\n]*\n\Z")),
                ("an option with a line end and an escape", None, ["--a\nb\x1b[31m"], None,
                 (2, "", r"\Awigwag: unknown option '--a\\nb\\e\[31m' [^\n]*\n\Z")),
                ("a name that is no display", "a\tb", ["--status"], None,
                 (1, "", r"\Awigwag: no Wigwag can be reached: DISPLAY \"a\\tb\" names no X "
                         r"display\n\Z")),
                ("a display name too long for a socket address", "x" * 100 + ":0", ["--status"],
                 None, (1, "", r"\Awigwag: no Wigwag can be reached: the display name "
                               r"\"x{100}:0\" is too long for a socket address\n\Z")),
            ]
            for name, display, options, output, (code, out, err) in cases:
                with self.subTest(name), contextlib.ExitStack() as stack:
                    env = dict(self.env, DISPLAY=display or self.env["DISPLAY"])
                    if name.startswith("70 idle"):
                        for _ in range(70):
                            idle = stack.enter_context(socket.socket(socket.AF_UNIX))
                            idle.connect(self.socket)
                    stdout = stack.enter_context(open(output, "w")) if output else subprocess.PIPE
                    result = subprocess.run([PROGRAM, *options], env=env, stdout=stdout,
                                            stderr=subprocess.PIPE, text=True, timeout=20,
                                            stdin=subprocess.DEVNULL)
                    self.assertEqual(result.returncode, code, result.stderr)
                    if out is not None:
                        self.assertEqual(result.stdout, out)
                    self.assertRegex(result.stderr, err or r"\A\Z")
            # A writer that shuts its side after the line still gets the answer.
            for line, answer in ((b"toggle\n", b"Running\n"), (b"toggle\n", b"Not Running\n")):
                with socket.socket(socket.AF_UNIX) as s:
                    s.settimeout(5)
                    s.connect(self.socket)
                    s.sendall(line)
                    s.shutdown(socket.SHUT_WR)
                    self.assertEqual(s.recv(100), answer)
                time.sleep(0.3)
            self.assertEqual(sorted(os.listdir(runtime)),
                             [f"wigwag-{number}.lock", f"wigwag-{number}.sock",
                              f"wigwag-repeat-{number}"])
            self.end(proc, window=window)

        # Closed while a command waits (behind the first-run box): the command fails (1).
        with tempfile.TemporaryDirectory() as directory:
            proc = self.start(directory)
            self.window(CONTINUE, wait=10)
            waiting = subprocess.Popen([PROGRAM, "--status"], env=self.env, text=True,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            time.sleep(0.5)
            self.end(proc, signal.SIGTERM)
            out, err = waiting.communicate(timeout=10)
            self.assertEqual((waiting.returncode, out), (1, ""))
            self.assertRegex(err, r"\Awigwag: the running Wigwag closed the connection "
                                  r"without an answer\n\Z")

    # --- the settings file under faults --------------------------------------------------

    def start_in(self, directory, user="root"):
        """Starts the program in the folder as `user`; returns it and the seconds until its
        first window (the main window or a message box) was on the screen."""
        command, env = [PROGRAM], self.env
        if user != "root":
            home = tempfile.TemporaryDirectory()
            self.addCleanup(home.cleanup)
            os.chown(home.name, pwd.getpwnam(user).pw_uid, -1)
            env = dict(env, HOME=home.name, XDG_RUNTIME_DIR=home.name)
            command = ["setpriv", f"--reuid={user}", f"--regid={pwd.getpwnam(user).pw_gid}",
                       "--clear-groups", PROGRAM]
        start = time.monotonic()
        proc = subprocess.Popen(command, cwd=directory, env=env, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.kill)
        while not self.window(f"{MAIN}|{CONTINUE}"):
            self.assertLess(time.monotonic() - start, 20, "no window")
            time.sleep(0.02)
        return proc, time.monotonic() - start

    def window(self, title, wait=0):
        """The visible window of that title, waiting for it up to `wait` seconds."""
        end = time.monotonic() + wait
        while True:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^({title})$"],
                                   env=self.env, capture_output=True, text=True).stdout.split()
            if found or time.monotonic() >= end:
                return found[0] if found else None
            time.sleep(0.05)

    def close(self, title):
        found = self.window(title, wait=10)
        self.assertIsNotNone(found, f"no window {title!r}")
        self.call(RECEIVER, "close", found)

    def test_settings_files(self):
        # Each folder as it is before the start and after the close; the player presses the
        # start/stop key once, the key the file gave or the default (DELETE either way).
        cases = [  # name, run as, before, message box at the start / at the close, after
            ("named pipe", "root", {"wigwag.cfg": FIFO}, (True, True), None),
            ("endless device", "root", {"wigwag.cfg": "->/dev/zero"}, (True, True), None),
            ("huge file", "root", {"wigwag.cfg": BIG}, (True, False),
             {"wigwag.cfg": data_file("0|1|0|0|31|26|")}),  # its first line applies
            ("link", "root", {"wigwag.cfg": "->synced/settings", "synced/settings": OLD},
             (False, False), {"wigwag.cfg": "->synced/settings", "synced/settings": NEW}),
            ("dangling link", "root", {"wigwag.cfg": "->synced/settings"}, (True, True), None),
            ("link loop", "root", {"wigwag.cfg": "->wigwag.cfg"}, (True, True), None),
            ("another owner", "root", {"wigwag.cfg": (OLD, 0o640, "nobody")}, (False, False),
             {"wigwag.cfg": (NEW, 0o640, "nobody")}),
            ("private", "nobody", {"wigwag.cfg": (OLD, 0o600)}, (False, False),
             {"wigwag.cfg": (NEW, 0o600)}),
            ("group-readable", "nobody", {"wigwag.cfg": (OLD, 0o640)}, (False, False),
             {"wigwag.cfg": (NEW, 0o640)}),
            ("unreadable", "nobody", {"wigwag.cfg": (OLD, 0o200)}, (True, True), None),
            ("link planted at the temporary name", "root",
             {"wigwag.cfg": OLD, "wigwag.cfg.new": "->victim", "victim": "precious"},
             (False, False), {"wigwag.cfg": NEW, "victim": "precious"}),
            ("leftover temporary file", "root", {"wigwag.cfg": OLD, "wigwag.cfg.new": "half"},
             (False, False), {"wigwag.cfg": NEW}),
        ]
        switched = 0
        for name, user, before, (box_at_start, box_at_close), after in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as directory:
                if user != "root" and os.geteuid() != 0:
                    self.skipTest(f"running as {user} needs root")
                os.chown(directory, pwd.getpwnam(user).pw_uid, -1)
                make_files(directory, before, user)
                proc, shown = self.start_in(directory, user)
                print(f"{name}: first window after {shown * 1e3:.0f} ms", file=sys.stderr)
                self.assertLess(shown, 1.0, "window or box within a second")
                if box_at_start:
                    self.close(CONTINUE)
                main = self.window(MAIN, wait=10)
                self.call("xdotool", "key", "Delete")
                time.sleep(0.3)
                switched += 1
                self.call(RECEIVER, "close", main)
                if box_at_close:
                    self.close(SAVE)
                self.assertEqual(proc.wait(timeout=10), 0)
                expected = {n: canonical(given, user) for n, given in (after or before).items()}
                self.assertEqual(snapshot(directory), expected)
        self.assertEqual(self.call(RECEIVER, "state"), self.keyboard, "keys down, repeat changed")
        self.assertEqual(len(times(self.events(), "0", "press")), switched)

    def test_killed_while_saving(self):
        # SIGKILL 0 to 40 ms after the close was sent, around the save: wigwag.cfg holds the
        # old file or the new one, nothing else; a later save clears away a temporary file
        # that a kill left behind.
        found = collections.Counter()
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "wigwag.cfg")
            for run in range(40):
                with open(path, "w", newline="") as f:
                    f.write(OLD)
                proc, _ = self.start_in(directory)
                closing = subprocess.Popen([RECEIVER, "close", self.window(MAIN, wait=10)],
                                           env=self.env, stderr=subprocess.DEVNULL)
                time.sleep(run * 0.001)
                proc.kill()
                proc.wait()
                closing.wait()
                with open(path, newline="") as f:
                    found[{OLD: "old", NEW: "new"}.get(f.read(), "anything else")] += 1
                found["temporary file left"] += os.path.exists(path + ".new")
            print(f"\nkilled while saving: {dict(found)}", file=sys.stderr)
            self.assertEqual(found["anything else"], 0)
            proc, _ = self.start_in(directory)
            self.call(RECEIVER, "close", self.window(MAIN, wait=10))
            self.assertEqual(proc.wait(timeout=10), 0)
            self.assertEqual(snapshot(directory), {"wigwag.cfg": canonical(NEW, "root")})

    # --- game controllers -----------------------------------------------------------------

    @property
    def bed(self):
        # Made on first use, by the tests that run under umockdev-wrapper.
        if not hasattr(self, "_bed"):
            self._bed = Bed()
            self.env["UMOCKDEV_DIR"] = self._bed.root
        return self._bed

    def running(self):
        return self.call(PROGRAM, "--status").strip()

    def test_wheel_buttons(self):
        # One run, the box's button 5 chosen in the file, twenty controllers at the start;
        # each step's switches counted by the bursts' 0 key-downs (released again before
        # every step), and the run state asked after it.
        bed = self.bed
        wheel, box, twin = bed.plug(WHEEL, False), bed.plug(BOX, False), bed.plug(BOX, False)
        bed.plug(fj.Controller(b"Fake Pedals", 0x046D, 0xC26E, [], [0, 1, 2]), False)
        big = bed.plug(fj.button_box(BAD_NAME, 0x1234, 0x5678, buttons=300), False)
        bed.plug(BOX, False, exists=False)
        while bed.number < 30:  # twenty at the start with the one below, one of them gone
            bed.plug(fj.button_box(b"Spare Box", 0x16D0, 0x0001), False)
        # After SYN_DROPPED, the state read again has button 5 down.
        dropping = bed.plug(BOX, False, fj.pressed_keys_line([BOX.button_code(5)]))
        moved = {"box": box}

        def press(node, number=5, hold=0.15):
            bed.button(node, number, 1)
            time.sleep(hold)
            bed.button(node, number, 0)

        def hold(node):
            bed.button(node, 5, 1)
            for _ in range(15):  # the kernel's repeats of a held button
                time.sleep(0.1)
                bed.button(node, 5, 2)
            bed.button(node, 5, 0)

        def back_in():  # in again, as a new node
            moved["box"] = bed.plug(BOX)
            time.sleep(0.3)
            return moved["box"]

        def back(node):
            bed.unplug(node)
            time.sleep(0.3)
            return back_in()

        def held_and_unplugged():
            bed.button(moved["box"], 5, 1)
            time.sleep(0.3)
            bed.unplug(moved["box"])

        def dropped():
            bed.write(dropping, fj.event(fj.EV_SYN, fj.SYN_DROPPED, 0))

        def released_and_pressed():
            bed.button(dropping, 5, 0)
            time.sleep(0.3)
            press(dropping)

        steps = [  # name, what the player does, switches
            ("press", lambda: press(moved["box"]), 1),
            ("tap shorter than a poll", lambda: press(moved["box"], hold=0.01), 1),
            ("held with repeats", lambda: hold(moved["box"]), 1),
            ("another button", lambda: press(moved["box"], 6), 0),
            ("the same number on the wheel", lambda: press(wheel, 5), 0),
            ("button 5 of the 300-button box", lambda: press(big), 0),
            ("the identical twin", lambda: press(twin), 1),
            ("plugged in after the start", lambda: press(bed.plug(BOX), hold=0.15), 1),
            ("unplugged and back", lambda: press(back(moved["box"])), 1),
            ("held, then unplugged", held_and_unplugged, 1),
            ("back after that", lambda: press(back_in()), 1),
            ("pressed while events were dropped", dropped, 1),
            ("released and pressed after that", released_and_pressed, 1),
        ]
        with tempfile.TemporaryDirectory() as directory:
            settings = NO_EFFECTS + BOX_FIELD + ":5|"
            proc = self.start(directory, settings)
            window = self.window_of(proc)
            time.sleep(0.5)
            bounds, on = [], False
            for name, action, switches in steps:
                self.call("xdotool", "keyup", "0", "BackSpace")
                bounds.append(time.monotonic())
                action()
                time.sleep(0.4)
                on ^= switches % 2 == 1
                self.assertEqual((name, self.running()),
                                 (name, "Running" if on else "Not Running"))
            bounds.append(time.monotonic())
            self.call(RECEIVER, "close", window)
            _, err = proc.communicate(timeout=10)
            self.assertEqual(proc.returncode, 0, err)
            self.assertEqual(self.saved(directory), settings + FOOTER)
        # Nothing but, on a kernel without EVIOCSMASK (and in the test bed), the one note.
        self.assertRegex(err, r"\A(wigwag: the kernel does not filter [^\n]*\n)?\Z")
        events = self.events()
        for (name, _, switches), start, end in zip(steps, bounds, bounds[1:]):
            self.assertEqual(len(times(events, "0", "press", start, end)), switches, name)
        self.assertEqual(self.call(RECEIVER, "state"), self.keyboard, "keys down, repeat changed")

    def test_wheel_timeline(self):
        # The start/stop key's timeline, switched by the box's button 5 (a 50 ms press);
        # a press of another button in between sends nothing.
        box = self.bed.plug(BOX, False)

        def press(number=5):
            return lambda: (self.bed.button(box, number, 1), time.sleep(0.05),
                            self.bed.button(box, number, 0))

        self.check_timeline([(press(), 1.2), (press(6), 1.3), (press(), 1.5)], 0, 2,
                            ALL_ON + BOX_FIELD + ":5|")

    def as_nobody(self):
        """The command prefix and environment for running the program as nobody: the test
        bed's folders and sockets opened to that user, the device nodes not (they stay
        root's, mode 0600, as a seat's devices are to a user not logged in there)."""
        for folder, _, files in os.walk(self.bed.root):
            os.chmod(folder, 0o755)
            for name in files:
                if stat.S_ISSOCK(os.lstat(os.path.join(folder, name)).st_mode):
                    os.chmod(os.path.join(folder, name), 0o777)
        os.chmod(self.bed.root, 0o1777)  # for the sockets of udev monitors
        home = tempfile.TemporaryDirectory()
        self.addCleanup(home.cleanup)
        os.chown(home.name, pwd.getpwnam("nobody").pw_uid, -1)
        return (["setpriv", "--reuid=nobody", f"--regid={pwd.getpwnam('nobody').pw_gid}",
                 "--clear-groups"], dict(self.env, HOME=home.name, XDG_RUNTIME_DIR=home.name))

    def test_wheel_list_devices(self):
        bed = self.bed

        def listed(user="root"):
            command, env = self.as_nobody() if user == "nobody" else ([], self.env)
            result = subprocess.run(command + [PROGRAM, "--list-devices"], env=env,
                                    capture_output=True, text=True, timeout=20)
            self.assertEqual(result.returncode, 0, result.stderr)
            return result.stdout, result.stderr

        self.assertEqual(listed(), ("No game controllers found.\n", ""))
        bed.plug(WHEEL), bed.plug(BOX), bed.plug(BOX)
        bed.plug(fj.Controller(b"Fake Pedals", 0x046D, 0xC26E, [], [0, 1, 2]))
        bed.plug(fj.button_box(BAD_NAME, 0x1234, 0x5678, 300))
        bed.plug(BOX, exists=False)  # gone between finding and opening: not listed
        name = "Sim|Box \ufffd\ufffd\ufffd("
        lines = ["046d:c24f  Fake Racing Wheel  24 buttons  readable",
                 "16d0:0a4b  Fake Button Box  32 buttons  readable",
                 "16d0:0a4b  Fake Button Box  32 buttons  readable",
                 "046d:c26e  Fake Pedals  0 buttons  readable",
                 f"1234:5678  {name}  300 buttons  readable"]
        self.assertEqual(listed(), ("".join(f"{line}  (/dev/input/event{10 + n})\n"
                                            for n, line in enumerate(lines)), ""))

        # Not the user's: each named once on standard error, with the hint, and listed.
        out, err = listed("nobody")
        names = ["Fake Racing Wheel", "Fake Button Box", "Fake Button Box", "Fake Pedals",
                 "Sim|Box ???("]
        ids = ["046d:c24f", "16d0:0a4b", "16d0:0a4b", "046d:c26e", "1234:5678"]
        self.assertEqual(out, "".join(
            f"{i}  {n}  0 buttons  cannot be read: Permission denied  (/dev/input/event{10 + k})\n"
            for k, (i, n) in enumerate(zip(ids, names))))
        self.assertEqual(err, "".join(
            f"wigwag: cannot read /dev/input/event{10 + k} ({n}): Permission denied; the desktop "
            "normally gives game controllers to the user logged in at the seat\n"
            for k, n in enumerate(names)))

        # The program as nobody says the same once, however often the node comes up, and
        # runs with the others. Given access (and a "change" from udev, as when a seat's
        # access comes), the wheel is read: its button 5, chosen in the file, switches.
        command, env = self.as_nobody()
        wheel = "/dev/input/event10"
        with tempfile.TemporaryDirectory() as directory:
            os.chown(directory, pwd.getpwnam("nobody").pw_uid, -1)
            chosen = NO_EFFECTS + f"{WHEEL.vendor:04x}:{WHEEL.product:04x}:5|"
            make_files(directory, {"wigwag.cfg": data_file(chosen)}, "nobody")
            proc = subprocess.Popen(command + [PROGRAM], cwd=directory, env=env, text=True,
                                    stderr=subprocess.PIPE)
            self.addCleanup(proc.kill)
            window = self.window_of(proc)
            bed.bed.uevent(bed.nodes[wheel][0], "add")  # seen again
            time.sleep(0.3)
            bed.button(wheel, 5, 1)  # not readable yet: nothing
            bed.button(wheel, 5, 0)
            time.sleep(0.3)
            self.call("xdotool", "key", "Delete")
            time.sleep(0.3)
            # The node is a pseudo-terminal of the test bed's own.
            os.chmod(os.path.realpath(os.path.join(bed.root, wheel[1:])), 0o666)
            bed.bed.uevent(bed.nodes[wheel][0], "change")
            time.sleep(0.3)
            self.call("xdotool", "keyup", "0", "BackSpace")
            bed.button(wheel, 5, 1)
            bed.button(wheel, 5, 0)
            time.sleep(0.3)
            self.call(RECEIVER, "close", window)
            _, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(err.count(f"wigwag: cannot read {wheel} (Fake Racing Wheel)"), 1)
        self.assertEqual(len(times(self.events(), "0", "press")), 2)

    def click(self, window, at):
        self.call("xdotool", "mousemove", "--window", window, str(at[0]), str(at[1]), "click", "1")

    def test_wheel_choosing(self):
        # The player clicks the wheel button and presses a button: that press only chooses.
        # The choice switches from then on, it is kept in the file's seventh field, and Clear
        # forgets it. The button: number 300 of a box whose name has a "|", control
        # characters and bytes that are not UTF-8.
        bed = self.bed
        box = bed.plug(BOX, False)
        big = bed.plug(fj.button_box(BAD_NAME, 0x1234, 0x5678, 300), False)
        with tempfile.TemporaryDirectory() as directory:
            proc = self.start(directory, NO_EFFECTS)
            window = self.window_of(proc)
            time.sleep(0.5)
            steps = [  # what the player does, the run state after it
                (lambda: self.click(window, CMD_WHEEL), "Not Running"),
                (lambda: bed.button(big, 300, 1), "Not Running"),  # chosen, not switched
                (lambda: bed.button(big, 300, 0), "Not Running"),
                (lambda: bed.button(big, 300, 1), "Running"),
                (lambda: bed.button(big, 300, 0), "Running"),
                (lambda: (bed.button(box, 5, 1), bed.button(big, 299, 1)), "Running"),
                # Clicked twice: the choice is given up, the old button stays.
                (lambda: (self.click(window, CMD_WHEEL), self.click(window, CMD_WHEEL)), "Running"),
                (lambda: bed.button(big, 300, 1), "Not Running"),
            ]
            for number, (action, state) in enumerate(steps):
                action()
                time.sleep(0.4)
                self.assertEqual((number, self.running()), (number, state))
            self.call(RECEIVER, "close", window)
            self.assertEqual(proc.wait(timeout=10), 0)
            chosen = NO_EFFECTS + "1234:5678:300|"
            self.assertEqual(self.saved(directory), chosen + FOOTER)

            # Cleared: the button does nothing, and the file has six fields again.
            proc = self.start(directory)
            window = self.window_of(proc)
            time.sleep(0.5)
            self.click(window, (152 + 16, 171 + 10))
            time.sleep(0.3)
            bed.button(big, 300, 0)
            bed.button(big, 300, 1)
            time.sleep(0.4)
            self.assertEqual(self.running(), "Not Running")
            self.call(RECEIVER, "close", window)
            self.assertEqual(proc.wait(timeout=10), 0)
            self.assertEqual(self.saved(directory), NO_EFFECTS + FOOTER)


if __name__ == "__main__":
    PROGRAM, RECEIVER = map(os.path.abspath, sys.argv[1:3])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
