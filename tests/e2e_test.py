# Both programs end to end, each test on a private display with a receiver window that keeps
# the focus and records every key event, and a private runtime folder; xdotool plays the player.
# Wigwag.* run the Linux program, Windows.* wigwag.exe under Wine, Sway/Mutter/PortalStandIn
# the Linux program on Wayland desktops; test_wheel* run under umockdev-wrapper.
#   e2e_test.py PROGRAM RECEIVER [Class.test_...]
import contextlib
import fcntl
import json
import os
import pwd
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "devices"))
import fake_joysticks as fj  # noqa: E402

# Flash, horn and hazards ticked; start/stop DELETE, flash G, horn B.
ALL_ON, NO_EFFECTS = "1|1|1|0|31|26|", "0|0|0|0|31|26|"
FOOTER = "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n"
OLD, NEW = "0|0|0|0|40|62|\r\n", "0|0|0|0|40|62|" + FOOTER
ENDING = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
ME = pwd.getpwuid(os.geteuid()).pw_name
MAIN, CONTINUE, SAVE = "Wigwag v1.1", "Unable to Continue", "Unable to Save"
FIFO, BIG = "named pipe", "200 MB of short lines"
WHEEL, BOX, RALLY = fj.wheel(), fj.button_box(), fj.wheel(b"Race & Rally Wheel")
PEDALS = fj.Controller(b"Fake Pedals", 0x046D, 0xC26E, [], [0, 1, 2])  # no buttons
BIG_BOX = fj.button_box(b"Sim|Box \xff\xfe\xc3(  \x01", 0x1234, 0x5678, buttons=300)
MAX_CONNECTIONS = 16  # kept open at once (platform/commands.h)
CMD_WHEEL = (8 + 141 // 2, 171 + 10)  # the wheel button's middle (window/layout.h, in pixels)


def stop(proc):
    proc.kill()
    proc.wait()
    for stream in filter(None, (proc.stdin, proc.stdout, proc.stderr)):
        stream.close()


def times(events, key, kind, start=0.0, end=float("inf"), server=False):
    # In seconds: when the receiver read each such event, or when the server made it.
    return [at for k, name, t, stamp in events if name == key and k == kind
            for at in [stamp if server else t] if start <= at < end]


def as_x_shows(events):
    # No key-down of a key that is down, no key-up of one that is not.
    down, shown = set(), []
    for event in events:
        if (event[0] == "press") != (event[1] in down):
            shown.append(event)
        (down.add if event[0] == "press" else down.discard)(event[1])
    return shown


def make_files(directory, files, user):
    # Folder entries: FIFO, BIG, "->target" (a link) or a file's text, or (text, mode).
    for name, given in files.items():
        path = os.path.join(directory, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        entry = canonical(given, user)
        if entry == FIFO:
            os.mkfifo(path, 0o644)
        elif entry == BIG:
            with open(path, "wb") as f:
                f.writelines(b"0|1|\r\n" * 166667 for _ in range(200))
        elif entry[0] == "link":
            os.symlink(entry[1], path)
        else:
            with open(path, "w", newline="") as f:
                f.write(entry[1])
            os.chmod(path, entry[2])
            os.chown(path, pwd.getpwnam(user).pw_uid, pwd.getpwnam(user).pw_gid)


def canonical(given, user):
    if isinstance(given, tuple):
        return ("file", *given, user)
    if given.startswith("->"):
        return ("link", given[2:])
    return given if given in (FIFO, BIG) else ("file", given, 0o644, user)


def snapshot(directory, folders=False):
    # Every entry as canonical() gives it; with `folders`, folders as (kind, mode, owner) too.
    out = {}
    for root, subfolders, files in os.walk(directory):
        for name in files + subfolders + (["."] if root == directory else []):
            path = os.path.normpath(os.path.join(root, name))
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                out[os.path.relpath(path, directory)] = ("link", os.readlink(path))
            elif stat.S_ISFIFO(st.st_mode):
                out[os.path.relpath(path, directory)] = FIFO
            elif stat.S_ISREG(st.st_mode):
                with open(path, newline="", encoding="latin-1") as f:
                    out[os.path.relpath(path, directory)] = (
                        "file", f.read(), stat.S_IMODE(st.st_mode), pwd.getpwuid(st.st_uid).pw_name)
            elif folders:
                out[os.path.relpath(path, directory)] = (stat.S_IFMT(st.st_mode),
                                                         stat.S_IMODE(st.st_mode), st.st_uid)
    return out


class Bed:
    """Controllers plugged in, pulled out and pressed in a umockdev test bed, whose /sys and
    /dev/input the program sees. For Wine's bus driver (`wine`): the ioctl answers it asks
    for, and an unplug is the "remove" only (Wine 8 does not survive more)."""

    def __init__(self, wine=False):
        import gi
        gi.require_version("UMockdev", "1.0")
        from gi.repository import UMockdev
        self.bed, self.wine = UMockdev.Testbed.new(), wine
        self.root = self.bed.get_root_dir()
        self.files = tempfile.TemporaryDirectory()
        self.number = 10  # the next event node; never used twice
        self.nodes = {}   # node -> (syspath, controller)

    def plug(self, controller, uevent=True, extra_ioctl="", exists=True):
        n, self.number = self.number, self.number + 1
        node, text = f"/dev/input/event{n}", fj.udev_text(controller, n, n)
        syspath = "/sys" + text.split("\n", 1)[0][3:]
        ioctl = os.path.join(self.files.name, f"event{n}.ioctl")
        with open(ioctl, "w") as f:
            if self.wine:
                f.writelines(f"EVIOCGNAME {len(controller.name) + 1} "
                             f"{controller.name.ljust(size, bytes(1)).hex().upper()}\n"
                             for size in (64, 80, 128, 255, 256, 259, 1024))
                f.write(f"EVIOCGBIT(0) 4 {fj.bits([0, 1, 3], 4).hex().upper()}\n"
                        f"EVIOCGBIT(2) 2 0000\n")
            f.write(fj.ioctl_text(controller) + extra_ioctl)
        self.bed.load_ioctl(node, ioctl)  # first: a device is read as soon as it is added
        self.bed.add_from_string(text)
        if not exists:  # listed by udev, gone before it is opened
            os.unlink(os.path.join(self.root, node[1:]))
        if uevent and not self.wine:
            self.bed.uevent(syspath, "add")
        self.nodes[node] = (syspath, controller)
        return node

    def unplug(self, node):
        syspath, _ = self.nodes.pop(node)
        self.bed.uevent(syspath, "remove")
        if not self.wine:
            self.bed.remove_device(syspath)

    def write(self, node, data):
        os.write(self.bed.get_dev_fd(node), data)

    def button(self, node, number, value, hold=None):
        # Down (1), up (0) or repeated (2); with `hold`, down, `hold` seconds, up.
        code = self.nodes[node][1].button_code(number)
        self.write(node, fj.button(code, value))
        if hold is not None:
            time.sleep(hold)
            self.write(node, fj.button(code, 0))


class Harness(unittest.TestCase):
    runner = []    # what runs the program and the receiver
    user = ME      # who runs them and every other client
    managed = []   # ["managed"]: a window manager gives the focus, the receiver takes it
    bursts_counted = True  # each switch-over's 0 key-down shows in the raw events
    clock = staticmethod(time.monotonic)  # the receiver's clock
    patience = 20  # seconds a helper program or a later start may take

    def setUp(self):
        runtime = self.folder(0o700)  # the auto-repeat note, the command socket
        self.env = self.open_display(runtime)
        # Under Wine a named pipe, which goes with the program.
        self.socket = None if self.runner else f"{runtime}/wigwag-{self.env['DISPLAY'][1:]}.sock"
        self.receiver = self.popen([*self.runner, RECEIVER, "record", *self.managed],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.receiver.stdout.readline()  # "ready": it has the focus
        self.keyboard = self.state()  # nothing down yet, auto-repeat as set

    def open_display(self, runtime):
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"], text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(stop, xvfb)
        env = dict(os.environ, DISPLAY=":" + xvfb.stdout.readline().strip(),
                   XDG_RUNTIME_DIR=runtime)
        for name in ("WAYLAND_DISPLAY", "WIGWAG_KEYS"):  # a desktop's own session stays out
            env.pop(name, None)
        if self._testMethodName.startswith("test_wheel"):  # run under umockdev-wrapper
            self.bed = Bed(wine=bool(self.runner))
            env["UMOCKDEV_DIR"] = self.bed.root
        return env

    def focus_receiver(self):
        pass  # without a window manager the receiver takes the focus back itself

    def state(self):
        return self.call(RECEIVER, "state")

    def other_keyboard(self, key):  # the player's own keyboard, not the XTEST one
        self.call(RECEIVER, "keyboard", key)

    def folder(self, mode=0o755, user=None):
        path = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, path, ignore_errors=True)
        os.chmod(path, mode)
        os.chown(path, pwd.getpwnam(user or self.user).pw_uid, -1)
        return path

    def popen(self, command, user=None, env=None, **popen):
        # As another user than the harness's, with a home and runtime folder of its own.
        env, user = env or self.env, user or self.user
        if user != ME:
            if os.geteuid() != 0:
                self.skipTest(f"running as {user} needs root")
            command = ["setpriv", f"--reuid={user}", f"--regid={pwd.getpwnam(user).pw_gid}",
                       "--clear-groups", *command]
        if user != self.user:
            home = self.folder(0o700, user)
            env = dict(env, HOME=home, XDG_RUNTIME_DIR=home)
        proc = subprocess.Popen(command, env=env, text=True, **popen)
        self.addCleanup(stop, proc)
        return proc

    def call(self, *command):
        proc = self.popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = proc.communicate(timeout=self.patience)
        self.assertEqual(proc.returncode, 0, (command, err))
        return out

    def command(self, *options, env=None, cwd=None, user=None):
        # A later start of the program: (exit status, standard output, standard error).
        proc = self.popen([*self.runner, PROGRAM, *options], user, env, cwd=cwd,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = proc.communicate(timeout=self.patience)
        return proc.returncode, out, err

    def start(self, directory, settings=None, user=None, **popen):
        # The program in directory, with this settings line in wigwag.cfg (None: no file).
        user = user or self.user
        if settings is not None:
            make_files(directory, {"wigwag.cfg": settings + "\r\n"}, user)
        return self.popen([*self.runner, PROGRAM], user, cwd=directory, stderr=subprocess.PIPE,
                          **popen)

    def window(self, title=None, proc=None, wait=20):  # of that title or that process
        end = time.monotonic() + wait
        what = ["--pid", str(proc.pid)] if proc else ["--name", f"^({title})$"]
        while True:
            search = self.popen(["xdotool", "search", "--onlyvisible", *what],
                                stdout=subprocess.PIPE)
            found = search.communicate()[0].split()
            if found or time.monotonic() >= end:
                return found[0] if found else None
            time.sleep(0.05)

    def close(self, window, proc=None):
        # As a window manager does (a title: once it shows); with `proc`, its standard error.
        if not window.isdigit():
            found = self.window(window, wait=10)
            self.assertIsNotNone(found, f"no window {window!r}")
            window = found
        self.ask_close(window)
        if proc:
            _, err = proc.communicate(timeout=10)
            self.assertEqual(proc.returncode, 0, err)
            return err

    def ask_close(self, window):
        self.call(RECEIVER, "close", window)

    def end(self, proc, signum=None, window=None):
        # A signal or a close: status 0 (within a second of a signal), no key left down and
        # every auto-repeat setting as it was.
        sent = time.monotonic()
        if signum:
            proc.send_signal(signum)
            _, err = proc.communicate(timeout=10)
            self.assertLess(time.monotonic() - sent, 1.0, signum)
            self.assertEqual(proc.returncode, 0, err)
        else:
            err = self.close(window, proc)
        self.assertEqual(self.state(), self.keyboard, "keys down, repeat changed")
        return err

    def saved(self, directory):  # None: no file
        with contextlib.suppress(FileNotFoundError):
            with open(f"{directory}/wigwag.cfg", newline="") as f:
                return f.read()

    def running(self):
        return self.call(*self.runner, PROGRAM, "--status").strip()

    def play(self, settings, steps, ending=None, saved=None, after_each=None):
        """Starts the program, plays the steps, ends it and checks the file saved (`saved`, or
        the settings). A step is (a key, command or function, the wait after it), or (name,
        function, switches): 0.4 s later the run state must show the switches, and their
        bursts (0 key-downs) are counted. Returns when each step and the end came."""
        directory = self.folder()
        proc = self.start(directory, settings)
        window = self.window(proc=proc)
        self.focus_receiver()
        time.sleep(0.5)
        self.answers, at, on, counted = [], [], False, [s for s in steps if len(s) == 3]
        for step in steps:
            what, seconds = step if len(step) == 2 else (step[1], 0.4)
            if counted:
                self.let_go("0", "BackSpace")  # so that the next burst's key-downs show
            at.append(self.clock())
            if callable(what):
                what()
            elif what.startswith("--"):
                self.answers.append(self.call(*self.runner, PROGRAM, what))
            else:
                self.call("xdotool", "key", what)
            time.sleep(seconds)
            if len(step) == 3:
                on ^= step[2] % 2 == 1
                self.assertEqual((step[0], self.running()),
                                 (step[0], "Running" if on else "Not Running"))
                if after_each:
                    after_each(step[0])
        at.append(self.clock())
        self.err = self.end(proc, ending, window)
        self.assertEqual(self.saved(directory), (saved or settings) + FOOTER)
        if not self.bursts_counted:
            counted = []
        events = self.events(raw=True) if counted else []
        for (name, _, switches), start, end in zip(counted, at, at[1:]):
            self.assertEqual(len(times(events, "0", "press", start, end)), switches, name)
        return at

    def let_go(self, *keys):
        self.call("xdotool", "keyup", *keys)

    def events(self, raw=False):
        # (kind, keysym, time read, server time) of every key event, raw or as X shows them
        # (a held key's repeats then come as a release and a press each).
        self.receiver.stdin.close()
        return [(kind, key, int(us) / 1e6, int(ms) / 1e3) for kind, key, _, us, ms in
                map(str.split, self.receiver.stdout.read().splitlines())]

    def check_timeline(self, steps, on, off, settings=ALL_ON):
        # The whole run, switched on at step `on` and off at step `off`; other steps send
        # nothing. Returns the events as X shows them.
        at = self.play(settings, steps)
        t_start, t_stop, t_close = at[on], at[off], at[-1]
        events = self.events()
        # 0 and Backspace stay down until the close, the horn from its first tick until the
        # stop; none of them repeats.
        held = [(kind, key, t > t_close) for kind, key, t, _ in events
                if key in ("0", "BackSpace", "b")]
        self.assertEqual(held[:4], [("press", "0", False), ("press", "BackSpace", False),
                                    ("press", "b", False), ("release", "b", False)])
        self.assertCountEqual(held[4:], [("release", "0", True), ("release", "BackSpace", True)])
        t0, b_up = times(events, "0", "press")[0], times(events, "b", "release")[0]
        self.assertTrue(t_start < t0 < t_start + 0.5, t0 - t_start)
        self.assertTrue(t_stop < b_up < t_stop + 0.5, b_up - t_stop)
        # Between events, the server's time, which a busy receiver cannot stretch.
        t0, b_down, b_up = [times(events, key, kind, server=True)[0] for key, kind in
                            (("0", "press"), ("b", "press"), ("b", "release"))]
        self.assertAlmostEqual(b_down - t0, 0.1, delta=0.08)
        # Headlights: two 0.1 s presses every 0.4 s; hazards: one 0.1 s press a second.
        for key, period, per_tick in (("g", 0.4, 2), ("9", 1.0, 1)):
            downs, ups = (times(events, key, kind, server=True) for kind in ("press", "release"))
            self.assertAlmostEqual(downs[0] - t0, period, delta=0.15)
            self.assertAlmostEqual(downs[per_tick] - t0, 2 * period, delta=0.15)
            # The stop is polled on the ticks' 0.1 s grid: a tick due at that poll never starts.
            ran = (b_up - 0.02 - t0) / period
            self.assertLessEqual(abs(len(downs) / per_tick - ran), 1, key)
            for down, up in zip(downs, ups):
                self.assertTrue(0.05 < up - down < 0.35, (key, up - down))
            # A tick under way at the stop may finish; none starts afterwards.
            self.assertEqual(times(events, key, "press", start=b_up + 0.35, server=True), [],
                             key)
        return events


class Wigwag(Harness):
    def test_timeline(self):
        self.check_timeline([("Delete", 2.5), ("Delete", 1.5)], 0, 1)

    def test_timeline_commands(self):
        # A start while running and a stop while stopped send nothing.
        self.check_timeline([("--stop", 0.3), ("--status", 0.3), ("--toggle", 1.2),
                             ("--start", 0.3), ("--status", 1.0), ("--stop", 1.5)], 2, 5)
        self.assertEqual(self.answers, ["Not Running\n", "Not Running\n", "Running\n",
                                        "Running\n", "Running\n", "Not Running\n"])

    def test_signals(self):
        # Killed while running (given the display under another spelling), the horn and the
        # switch-over keys stay down with their auto-repeat off; the next start gives both
        # back (play checks it), passing over numbers in the note that are no keycodes.
        proc = self.start(self.folder(), ALL_ON,
                          env=dict(self.env, DISPLAY="unix/:000" + self.env["DISPLAY"][1:] + ".0"))
        self.window(proc=proc)
        time.sleep(0.3)
        self.call("xdotool", "key", "Delete")
        time.sleep(0.75)
        stop(proc)
        self.assertNotEqual(self.state().splitlines()[1], self.keyboard.splitlines()[1])
        note = os.path.join(self.env["XDG_RUNTIME_DIR"], "wigwag-repeat-" + self.env["DISPLAY"][1:])
        with open(note, "a") as text:
            text.write("3\n256\n99999999999999999999\n")
        for signum in ENDING:
            self.play(ALL_ON, [("Delete", 0.75)], signum)  # running: keys let go, file saved
            # While it loads (sent before its handlers are there, or a little later): the
            # window never opens, so the file stays as it was, unless it was already open.
            for delay in (0, 0.05, 0.15, 0.3):
                directory = self.folder()
                proc = self.start(directory, ALL_ON, preexec_fn=lambda: signal.pthread_sigmask(
                    signal.SIG_BLOCK, ENDING))
                time.sleep(delay)
                self.end(proc, signum)
                self.assertIn(self.saved(directory), (ALL_ON + "\r\n", ALL_ON + FOOTER))
            directory = self.folder()  # the first-run box open: no file
            proc = self.start(directory)
            self.assertIsNotNone(self.window(CONTINUE))
            self.end(proc, signum)
            self.assertIsNone(self.saved(directory))
        events = self.events()
        for key in ("b", "0", "BackSpace"):
            self.assertEqual(len(times(events, key, "press")), 4, key)

    def test_own_keys(self):
        # Start/stop on G (the flash key), on BACKSPACE (pressed after every key-down, so
        # pressed again while held, which the server drops) and on SHIFT: the program's own
        # presses never switch it; the player's do, from XTEST or another keyboard.
        switches = []  # (on, off)
        for key, index in (("g", 31), ("BackSpace", 4), ("Shift_L", 7)):
            other = lambda: self.other_keyboard(key)  # noqa: E731
            at = self.play(f"1|1|0|{index}|31|26|", [(key, 1.5)] + [(other, 0.5)] * 5)
            switches += zip(at[0:6:2], at[1:6:2])
        events = self.events()
        # The horn held from each start to the next press (within a second: a compositor's
        # road can lag a few polls on a busy machine); the flashes going on.
        b_down, b_up = times(events, "b", "press"), times(events, "b", "release")
        self.assertEqual(len(b_down), len(switches))
        for (t_on, t_off), down, up in zip(switches, b_down, b_up):
            self.assertTrue(t_on < down < t_on + 1, down - t_on)
            self.assertTrue(t_off < up < t_off + 1, up - t_off)
        for _, t_off in switches[::3]:
            self.assertGreaterEqual(len(times(events, "g", "press", t_off - 0.5, t_off)), 1)

    def test_one_instance(self):
        def not_running():
            for option in ("--toggle", "--start", "--stop", "--status"):
                code, out, err = self.command(option)
                self.assertRegex(f"{code} {out}{err}", r"\A3 wigwag: [^\n]*not running[^\n]*\n\Z")

        not_running()
        other = self.folder()
        proc = self.start(self.folder(), ALL_ON)
        self.window(proc=proc)
        if self.socket:
            self.assertEqual(stat.S_IMODE(os.stat(self.socket).st_mode), 0o600)
        # A start from another folder brings the window forward, writes nothing and ends.
        self.assertEqual(self.command(cwd=other)[::2], (0, ""))
        self.assertEqual(len(self.call("xdotool", "search", "--onlyvisible", "--name",
                                       f"^{MAIN}$").split()), 1)
        self.assertIn(self.front(), (None, MAIN))
        self.assertEqual(os.listdir(other), [])
        # Nothing but a command does anything, and no message holds the program up. (A pipe
        # drops its answer when the writer goes on writing past the refusal.)
        for message in (b"garbage\n", b"toggle", b"", bytes(range(256)) + b"\n", b"t" * 10**6):
            answer = self.talk(message)
            self.assertIn(answer, (b"refused\n", b""), message[:20])
            if self.socket and message and b"\n" not in message[:40]:
                self.assertEqual(answer, b"refused\n" if len(message) > 32 else b"")
        self.assertEqual(self.command("--status"), (0, "Not Running\n", ""))
        self.assertEqual(self.talk(b"status\n"), b"Not Running\n")
        # Killed, it leaves its socket behind; the next start takes over at once.
        stop(proc)
        if self.socket:
            self.assertTrue(stat.S_ISSOCK(os.stat(self.socket).st_mode))
        not_running()
        proc = self.start(other, ALL_ON)
        window = self.window(proc=proc)
        self.assertEqual(self.command("--status"), (0, "Not Running\n", ""))
        self.close(window, proc)
        not_running()
        self.assertFalse(self.socket and os.path.exists(self.socket))
        self.assertEqual((self.events(), self.state()), ([], self.keyboard))

    def front(self):
        return None  # without a window manager, X has no front window

    def talk(self, message, shut=False):
        # Bytes straight to the socket (then, with `shut`, its sending side shut): the answer.
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.socket)
            answer = b""
            with contextlib.suppress(BrokenPipeError, ConnectionResetError):
                s.sendall(message)  # may be refused before it was all sent
                if shut:
                    s.shutdown(socket.SHUT_WR)
            with contextlib.suppress(ConnectionResetError):
                while chunk := s.recv(100):
                    answer += chunk
            return answer

    def test_runtime_folders(self):
        # A runtime folder shared like /tmp or another user's, each with a socket (listening),
        # a lock (held) and another user's note in it, or missing: Wigwag runs without its
        # channel and note and says why, as commands do; nothing there is touched or reached.
        number = self.env["DISPLAY"][1:]
        for mode, owner, why in ((0o1777, "root", r"is open to other users \(mode 1777\)"),
                                 (0o700, "nobody", "belongs to another user"),
                                 (None, None, "does not exist")):
            with self.subTest(why):
                work = self.folder()
                runtime = os.path.join(work, "runtime")
                listening = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.addCleanup(listening.close)
                if mode:
                    os.mkdir(runtime)
                    listening.bind(os.path.join(runtime, f"wigwag-{number}.sock"))
                    listening.listen()
                    make_files(runtime, {f"wigwag-{number}.lock": "",
                                         f"wigwag-repeat-{number}": "22\n"}, "nobody")
                    lock = open(os.path.join(runtime, f"wigwag-{number}.lock"))
                    self.addCleanup(lock.close)
                    fcntl.flock(lock, fcntl.LOCK_EX)
                    os.chmod(runtime, mode)
                    os.chown(runtime, pwd.getpwnam(owner).pw_uid, -1)
                make_files(work, {"wigwag.cfg": ALL_ON + "\r\n"}, ME)
                before = snapshot(work, folders=True)
                env = dict(self.env, XDG_RUNTIME_DIR=runtime)
                proc = self.popen([PROGRAM], cwd=work, env=env, stderr=subprocess.PIPE)
                window = self.window(proc=proc)
                self.assertRegex("%d %s %s" % self.command("--status", env=env),
                                 rf"\A1  wigwag: no Wigwag can be reached: "
                                 rf"XDG_RUNTIME_DIR \"[^\n]*\" {why}\n\Z")
                self.assertRegex(self.close(window, proc),
                                 rf"\Awigwag: running without taking commands[^\n]*"
                                 rf"without a note[^\n]*: XDG_RUNTIME_DIR [^\n]* {why}\n\Z")
                after = snapshot(work, folders=True)
                self.assertEqual(after.keys(), before.keys())
                before.pop("wigwag.cfg")  # saved at the close
                self.assertEqual({k: v for k, v in after.items() if k in before}, before)
                if mode:
                    listening.setblocking(False)
                    self.assertRaises(BlockingIOError, listening.accept)  # never reached

    def test_commands(self):
        # One Wigwag, reached under every spelling of the display and past idle connections,
        # in a runtime folder whose path is longer than a socket address can be; each command
        # line's status, output and error output.
        number = self.env["DISPLAY"][1:]
        runtime = os.path.join(self.env["XDG_RUNTIME_DIR"], "r" * 120)
        os.mkdir(runtime, 0o700)
        self.env["XDG_RUNTIME_DIR"] = runtime
        folder = os.open(runtime, os.O_PATH | os.O_DIRECTORY)
        self.addCleanup(os.close, folder)
        self.socket = f"/proc/self/fd/{folder}/wigwag-{number}.sock"
        proc = self.start(self.folder(), ALL_ON)
        window = self.window(proc=proc)
        self.assertEqual(stat.S_IMODE(os.stat(self.socket).st_mode), 0o600)
        # A writer that shuts its side after the line still gets the answer.
        for answer in (b"Running\n", b"Not Running\n"):
            self.assertEqual(self.talk(b"toggle\n", shut=True), answer)
            time.sleep(0.3)
        self.assertEqual(sorted(os.listdir(runtime)), [
            f"wigwag-{number}.lock", f"wigwag-{number}.sock", f"wigwag-repeat-{number}"])
        shown = (0, r"\AWigwag is already running: its window is brought to the front.\n\Z", "")
        not_running = (0, r"\ANot Running\n\Z", "")
        home = self.folder()
        open(os.path.join(home, "a-file"), "w").close()
        unreachable = r"\Awigwag: no Wigwag can be reached: "
        cases = [  # name, environment, command line, standard output, (status, output, error)
            *[(f"--status on {display}", {"DISPLAY": display}, ["--status"], None, not_running)
              for display in (f":{number}", f":000{number}", f":{number}.0",
                              f"unix:{number}", f"unix/:{number}", f"localhost:{number}",
                              f"localhost/unix:0{number}", f"unix/localhost:{number}.1")],
            *[(f"a second start on {display}", {"DISPLAY": display}, [], None, shown)
              for display in (f":00{number}.0", f"unix/:{number}")],
            ("20 idle connections first", {}, ["--status"], None, not_running),
            ("the answer to a full device", {}, ["--status"], "/dev/full",
             (1, None, r"\Awigwag: cannot write to standard output: [^\n]*\n\Z")),
            ("-x", {}, ["-x"], None, (2, r"\A\Z", r"\Awigwag: unknown option '-x' [^\n]*\n\Z")),
            # (No display: a Wigwag running there would be brought forward first.)
            ("a settings folder that cannot be made", {"XDG_CONFIG_HOME": f"{home}/a-file",
                                                      "DISPLAY": ""}, ["--config-dir"], None,
             (1, r"\A\Z", r"\Awigwag: cannot use the settings folder [^\n]*a-file/wigwag\n\Z")),
            *[(f"a runtime folder that {why}", {"XDG_RUNTIME_DIR": folder}, ["--status"], None,
               (1, r"\A\Z", rf"{unreachable}XDG_RUNTIME_DIR \"[^\n]*\" {why}\n\Z"))
              for folder, why in ((self.folder(0o750), r"is open to other users \(mode 0750\)"),
                                  ("runtime", "is not an absolute path"),
                                  (f"{home}/a-file", "is not a folder"))],
            *[(f"no display: DISPLAY={display!r}", {"DISPLAY": display}, [], None,
               (1, r"\A\Z", r"\Awigwag: [^\n]*display[^\n]*\n\Z")) for display in ("", ":4097")],
            ("a name that is no display", {"DISPLAY": "a\tb"}, ["--status"], None,
             (1, r"\A\Z", rf"{unreachable}DISPLAY \"a\\tb\" names no X display\n\Z")),
            ("a display name too long for a socket address", {"DISPLAY": "x" * 100 + ":0"},
             ["--status"], None, (1, r"\A\Z", rf"{unreachable}the display name \"x{{100}}:0\" "
                                               r"is too long for a socket address\n\Z")),
        ]
        for name, env, options, output, (code, out, err) in cases:
            with self.subTest(name), contextlib.ExitStack() as stack:
                if name.startswith("20 idle"):
                    for _ in range(20):
                        stack.enter_context(socket.socket(socket.AF_UNIX)).connect(self.socket)
                stdout = stack.enter_context(open(output, "w")) if output else subprocess.PIPE
                result = subprocess.run([PROGRAM, *options], env=dict(self.env, HOME=home, **env),
                                        stdout=stdout, stderr=subprocess.PIPE, text=True,
                                        timeout=20, stdin=subprocess.DEVNULL, cwd=home)
                self.assertEqual(result.returncode, code, result.stderr)
                if out:
                    self.assertRegex(result.stdout, out)
                self.assertRegex(result.stderr, err or r"\A\Z")
        self.assertEqual(os.listdir(home), ["a-file"], "a file left behind")
        self.end(proc, window=window)
        # Behind the first-run box commands wait for its OK. With as many waiting as it
        # keeps, a second start is refused; the close ends each wait without an answer.
        proc = self.start(self.folder())
        self.assertIsNotNone(self.window(CONTINUE))
        waiting = self.popen([PROGRAM, "--status"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        with contextlib.ExitStack() as stack:
            for _ in range(MAX_CONNECTIONS - 1):
                asking = stack.enter_context(socket.socket(socket.AF_UNIX))
                asking.connect(self.socket)
                asking.sendall(b"status\n")
            time.sleep(0.5)
            self.assertEqual(self.command(), (1, "", "wigwag: the running Wigwag refused to "
                                                     "come forward\n"))
            self.end(proc, signal.SIGTERM)
            self.assertEqual(asking.recv(100), b"")
        self.assertEqual(waiting.communicate(timeout=10), (
            "", "wigwag: the running Wigwag closed the connection without an answer\n"))
        self.assertEqual(waiting.returncode, 1)

    def test_settings_files(self):
        # Each folder before the start and after the close; the player presses the start/stop
        # key once. (How a save keeps links, modes and owners: text_file_test.)
        cases = [  # name, run as, before, message box at the start / at the close, after
            ("named pipe", "root", {"wigwag.cfg": FIFO}, (True, True), None),
            ("huge file", "root", {"wigwag.cfg": BIG}, (True, False),
             {"wigwag.cfg": "0|1|0|0|31|26|" + FOOTER}),  # its first line applies
            ("unreadable", "nobody", {"wigwag.cfg": (OLD, 0o200)}, (True, True), None),
            ("link planted at the temporary name", "root",
             {"wigwag.cfg": OLD, "wigwag.cfg.new": "->victim", "victim": "precious"},
             (False, False), {"wigwag.cfg": NEW, "victim": "precious"}),
        ]
        for name, user, before, (box_at_start, box_at_close), after in cases:
            with self.subTest(name):
                directory = self.folder(user=user)
                make_files(directory, before, user)
                proc = self.start(directory, user=user)
                if box_at_start:
                    self.close(CONTINUE)
                self.assertIsNotNone(self.window(MAIN, wait=10))
                self.call("xdotool", "key", "Delete")
                time.sleep(0.3)
                self.close(MAIN)
                if box_at_close:
                    self.close(SAVE)
                self.assertEqual(proc.wait(timeout=10), 0)
                expected = {n: canonical(given, user) for n, given in (after or before).items()}
                self.assertEqual(snapshot(directory), expected)
        self.assertEqual(self.state(), self.keyboard, "keys down, repeat changed")
        self.assertEqual(len(times(self.events(), "0", "press")), len(cases))

    def test_config_dir(self):
        # As the menu entry starts it: wigwag.cfg in $XDG_CONFIG_HOME/wigwag, a private folder
        # the first start makes; the second start reads the file back, without a box.
        home, config = self.folder(), os.path.join(self.folder(), "not made yet")
        env = dict(self.env, HOME=home, XDG_CONFIG_HOME=config)
        for first in (True, False):
            proc = self.popen([PROGRAM, "--config-dir"], cwd=home, env=env, stderr=subprocess.PIPE)
            if first:
                self.close(CONTINUE)
            self.assertEqual(self.close(MAIN, proc), "")
            self.assertEqual(snapshot(config, folders=True)["wigwag"][1:], (0o700, os.geteuid()))
            self.assertEqual(self.saved(f"{config}/wigwag"), NO_EFFECTS + FOOTER)
            self.assertEqual((os.listdir(f"{config}/wigwag"), os.listdir(home)),
                             (["wigwag.cfg"], []))

    def test_killed_while_saving(self):
        # SIGKILL 0 to 40 ms after the close was sent: wigwag.cfg holds the old file or the
        # new one; a later save clears away a temporary file that a kill left behind.
        directory = self.folder()
        for run in range(40):
            make_files(directory, {"wigwag.cfg": OLD}, ME)
            proc = self.start(directory)
            closing = self.popen([RECEIVER, "close", self.window(MAIN, wait=10)],
                                 stderr=subprocess.DEVNULL)  # the window may be gone
            time.sleep(run * 0.001)
            stop(proc)
            closing.wait()
            self.assertIn(self.saved(directory), (OLD, NEW), f"killed after {run} ms")
        self.close(MAIN, self.start(directory))
        self.assertEqual(snapshot(directory), {"wigwag.cfg": canonical(NEW, ME)})

    def test_wheel_buttons(self):
        # Twenty controllers at the start (one gone before it was opened). The wheel button
        # only chooses: number 300 of a box whose name has a "|", control characters and bytes
        # that are not UTF-8, then button 5 of another box, kept in the file's seventh field.
        bed = self.bed
        wheel, box, twin = bed.plug(WHEEL, False), bed.plug(BOX, False), bed.plug(BOX, False)
        bed.plug(PEDALS, False)
        big = bed.plug(BIG_BOX, False)
        bed.plug(BOX, False, exists=False)
        while bed.number < 30:
            bed.plug(fj.button_box(b"Spare Box", 0x16D0, 0x0001), False)
        # After SYN_DROPPED, the state read again has button 5 down.
        dropping = bed.plug(BOX, False, fj.pressed_keys_line([BOX.button_code(5)]))
        moved = {"box": box}

        def press(node, number=5, hold=0.15):
            return lambda: bed.button(moved["box"] if node == "box" else node, number, 1, hold)

        def choose(node, number):
            return lambda: (self.click(), time.sleep(0.3), press(node, number)())

        def hold():
            bed.button(moved["box"], 5, 1)
            for _ in range(15):  # the kernel's repeats of a held button
                time.sleep(0.1)
                bed.button(moved["box"], 5, 2)
            bed.button(moved["box"], 5, 0)

        def back_in(unplug=True):  # in again, as a new node
            if unplug:
                bed.unplug(moved["box"])
                time.sleep(0.3)
            moved["box"] = bed.plug(BOX)
            time.sleep(0.3)
            press("box")()

        self.play(NO_EFFECTS, [  # name, what the player does, switches
            ("chosen", choose(big, 300), 0),
            ("pressed", press(big, 300), 1),
            ("other buttons", lambda: (press(big, 299)(), press("box")()), 0),
            ("another chosen", choose("box", 5), 0),
            ("press", press("box"), 1),
            ("tap shorter than a poll", press("box", hold=0.01), 1),
            ("held with repeats", hold, 1),
            ("another button", press("box", 6), 0),
            ("the same number on the wheel", press(wheel), 0),
            ("the identical twin", press(twin), 1),
            ("plugged in after the start", lambda: press(bed.plug(BOX))(), 1),
            ("unplugged and back", back_in, 1),
            ("held, then unplugged", lambda: (bed.button(moved["box"], 5, 1), time.sleep(0.3),
                                              bed.unplug(moved["box"])), 1),
            ("back after that", lambda: back_in(False), 1),
            ("pressed while events were dropped",
             lambda: bed.write(dropping, fj.event(fj.EV_SYN, fj.SYN_DROPPED, 0)), 1),
            ("released and pressed after that", lambda: (bed.button(dropping, 5, 0),
                                                         time.sleep(0.3), press(dropping)()), 1),
        ], saved=f"{NO_EFFECTS}{BOX.vendor:04x}:{BOX.product:04x}:5|")
        # Nothing but, on a kernel without EVIOCSMASK (and in the test bed), the one note.
        self.assertRegex(self.err, r"\A(wigwag: the kernel does not filter [^\n]*\n)?\Z")

    def test_wheel_list_devices(self):
        self.assertEqual(self.command("--list-devices"), (0, "No game controllers found.\n", ""))
        for controller in (WHEEL, BOX, BOX, PEDALS, BIG_BOX):
            self.bed.plug(controller)
        self.bed.plug(BOX, exists=False)  # gone between finding and opening: not listed
        self.assertEqual(self.command("--list-devices"), (0, "".join(
            f"{ids}  {name}  {buttons} buttons  readable  (/dev/input/event{10 + k})\n"
            for k, (ids, name, buttons) in enumerate([
                ("046d:c24f", "Fake Racing Wheel", 24), ("16d0:0a4b", "Fake Button Box", 32),
                ("16d0:0a4b", "Fake Button Box", 32), ("046d:c26e", "Fake Pedals", 0),
                ("1234:5678", "Sim|Box \ufffd\ufffd\ufffd(", 300)])), ""))

    def click(self):  # on the wheel button
        self.call("xdotool", "mousemove", "--window", self.window(MAIN), *map(str, CMD_WHEEL),
                  "click", "1")


class Windows(Harness):
    """wigwag.exe under Wine on a private Xvfb. The receiver (tests/win32/receiver.cpp) is the
    window inside Wine that records the keys, and the tests' hands there."""
    runner = ["wine"]
    patience = 60  # a Wine process can take long to start on a loaded machine
    clock = staticmethod(lambda: time.clock_gettime(time.CLOCK_MONOTONIC_RAW))  # Wine's QPC

    def state(self):
        return self.call("wine", RECEIVER, "state")

    def other_keyboard(self, key):
        self.call("xdotool", "key", key)

    def focus_receiver(self, title="Wigwag receiver"):
        self.call("wine", RECEIVER, "focus", title)
        self.call("xdotool", "windowfocus", "--sync", super().window(title))
        time.sleep(0.1)

    def window(self, title=None, proc=None, wait=20):
        # Wine's windows are known by their titles; the X window's stands for it.
        return title or MAIN if super().window(title or MAIN, wait=wait) else None

    def ask_close(self, window):
        self.call("wine", RECEIVER, "end", window, "close")

    def click(self):
        self.call("wine", RECEIVER, "click", "cmdWheel")

    def let_go(self, *keys):
        pass  # the bursts are counted in the raw events

    def end(self, proc, how=None, window=None):
        # A close, a WM_QUIT to its thread, or the end of the Windows session (which asks,
        # tells and ends it): no key may be left down.
        if how is None:
            return super().end(proc, None, window or MAIN)
        self.assertEqual(self.call("wine", RECEIVER, "end", MAIN, how),
                         "agreed\n" if how == "session" else "")
        code = proc.wait(timeout=10)
        if how == "quit":  # with the session, the system ends it
            self.assertEqual(code, 0)
        self.assertEqual(self.state(), self.keyboard, "keys down")

    def events(self, raw=False):
        # (The close is posted, and posted messages overtake input on its way.)
        time.sleep(0.3)
        self.call("wine", RECEIVER, "end", "Wigwag receiver", "close")
        events = []
        for line in self.receiver.stdout.read().splitlines():
            kind, key, sender, us, ms = line.split()
            self.assertNotEqual(sender, "wrong", f"{line}: scan code or extended flag")
            events.append((kind, key, int(us) / 1e6, float(ms) / 1e3))
        return events if raw else as_x_shows(events)

    test_timeline = Wigwag.test_timeline
    test_timeline_commands = Wigwag.test_timeline_commands
    test_own_keys = Wigwag.test_own_keys
    test_one_instance = Wigwag.test_one_instance

    def test_endings(self):
        # The first start: the load's box, the window hidden until its OK, every control where
        # the layout table puts it, the defaults saved; unusual values written back. Running,
        # ended by a WM_QUIT or with the session: keys let go, settings saved. The flash key is
        # Insert, an extended key (the receiver checks every own key's scan code and flag).
        directory = self.folder()
        proc = self.start(directory)
        self.assertIsNotNone(self.window(CONTINUE))
        self.assertIsNone(self.window(MAIN, wait=0))
        self.close(CONTINUE)
        self.assertRegex(self.call("wine", RECEIVER, "layout"), r"\A\d+ controls\n\Z")
        self.close(self.window(), proc)
        self.assertEqual(self.saved(directory), NO_EFFECTS + FOOTER)
        self.play("1|2|0|-1|62|9|", [])
        for how in ("quit", "session"):
            self.play("1|1|1|0|3|26|", [("Delete", 1.2)], how)
        events = self.events()
        for key in ("0", "BackSpace", "b"):
            self.assertEqual([len(times(events, key, kind)) for kind in ("press", "release")],
                             [2, 2], key)
        self.assertGreaterEqual(len(times(events, "Insert", "press")), 4)

    def note(self):
        # The notes of keys held down: (value name, the keys' codes in hex).
        listed = subprocess.run(["wine", "reg", "query", r"HKCU\Software\Wigwag"], env=self.env,
                                capture_output=True, text=True, timeout=self.patience).stdout
        return [(name, keys) for name, _, keys in
                (line.strip().split("    ") for line in listed.splitlines() if "    " in line)]

    def test_killed(self):
        # Ended by TerminateProcess while running, the game in front throughout: 0 and
        # Backspace stay down, and the next start sends their key-ups to the game before it
        # shows its window. A close leaves no note; a note of keys nobody holds sends key-ups.
        directory = self.folder()
        proc = self.start(directory, ALL_ON)
        self.window()
        self.focus_receiver()
        time.sleep(0.5)
        self.call("xdotool", "key", "Delete")
        time.sleep(1)
        self.call("wine", RECEIVER, "end", MAIN, "kill")
        proc.wait(timeout=10)
        killed = self.clock()
        self.assertLessEqual({"8", "48"}, set(self.state().split()), "not left down")
        (name, keys), = self.note()
        self.assertTrue(keys.startswith("0830"), keys)  # Backspace and 0, by their codes
        for note in (None, "4739"):  # G and the 9 key, which nobody holds
            if note:
                subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wigwag", "/v", name, "/t",
                                "REG_BINARY", "/d", note, "/f"], env=self.env, check=True,
                               capture_output=True)
            proc = self.start(directory)
            self.window()
            self.assertEqual(self.state(), self.keyboard, "keys down")
            self.close(MAIN, proc)
            self.assertEqual(self.note(), [])
        after = [(kind, key) for kind, key, t, _ in self.events(raw=True) if t > killed]
        self.assertEqual(after[:2], [("release", "BackSpace"), ("release", "0")])
        self.assertEqual({kind for kind, _ in after}, {"release"})
        self.assertEqual(after[-2:], [("release", "9"), ("release", "g")])

    def test_elevated_game(self):
        # While running with an elevated game in front (or one whose process Wigwag may not
        # open) the window says so in a line below the controls. Under Wine every program is
        # elevated unless started with the limited token.
        admin = os.path.join(os.path.dirname(RECEIVER), "wigwag_receiver_admin.exe")
        for title, command, *sealed in (("Elevated game", [admin]),
                                        ("Limited game", [RECEIVER, "limited", RECEIVER]),
                                        ("Sealed game", [RECEIVER], "sealed")):
            game = self.popen(["wine", *command, "record", title, *sealed],
                              stdout=subprocess.PIPE)
            self.assertRegex(game.stdout.readline(), "^ready")
        elevated = ("wigwag_receiver_admin.exe runs as administrator: run Wigwag as "
                    "administrator too")
        for runner, rows in (
                ([RECEIVER, "limited"], [  # game in front, a press of Delete, the line
                    ("Elevated game", False, ""),  # not running
                    ("Elevated game", True, elevated),
                    (MAIN, False, elevated),  # Wigwag's own window: the game's line stays
                    ("Limited game", False, ""),
                    ("Sealed game", False, "The game in front may run as administrator: run "
                                           "Wigwag as administrator too"),
                    ("Elevated game", False, elevated),
                    ("Elevated game", True, ""),  # stopped
                ]),
                ([], [("Elevated game", True, "")])):  # Wigwag elevated too
            directory = self.folder()
            make_files(directory, {"wigwag.cfg": NO_EFFECTS + "\r\n"}, ME)
            proc = self.popen(["wine", *runner, PROGRAM], cwd=directory, stderr=subprocess.PIPE)
            self.window()
            on = False
            for front, press, line in rows:
                self.focus_receiver(front)
                if press:
                    self.call("xdotool", "key", "Delete")
                    on = not on
                time.sleep(0.4)
                self.assertEqual([self.call("wine", RECEIVER, "text", name)[:-1]
                                  for name in ("lblStatus", "lblElevation")],
                                 ["Running" if on else "Not Running", line], (runner, front))
                if line:
                    self.assertRegex(self.call("wine", RECEIVER, "layout"),
                                     r"\Athe client area is 192 by 2\d\d\n\d+ controls\n\Z")
            self.close(MAIN, proc)

    def talk(self, message):
        return subprocess.run(["wine", RECEIVER, "talk"], input=message, capture_output=True,
                              env=self.env, timeout=self.patience).stdout

    def front(self):
        return self.call("wine", RECEIVER, "foreground")[:-1]

    def test_commands(self):
        # The command line read and answered in UTF-8 (the words: wigwag_tests).
        for options, said in ((["--help"], r"0 Usage: wigwag \[options\]\n(.*\n)+ "),
                              (["--b\u00f6gus"], "2  wigwag: unknown option '--b\u00f6gus' .*\n"),
                              (["--list-devices"], r"0 No game controllers found\.\n ")):
            self.assertRegex("%d %s %s" % self.command(*options), rf"\A{said}\Z")
        # The pipe's name made first by another owner: the program runs without commands and
        # says so; a command fails without a word to that pipe.
        squatter = self.popen(["wine", RECEIVER, "squat"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE)
        self.assertEqual(squatter.stdout.readline(), "ready\n")
        proc = self.start(self.folder(), ALL_ON)
        self.window()
        foreign = "the command pipe belongs to another user\n"
        self.assertEqual(self.command("--status"), (1, "", "wigwag: " + foreign))
        self.assertRegex(self.close(MAIN, proc),
                         rf"\Awigwag: running without taking commands[^\n]*: {foreign}\Z")
        self.assertEqual(squatter.communicate(timeout=self.patience)[0], "0 bytes\n")
        # Behind the first-run box a second start brings the box forward. 20 connections that
        # send nothing make room for each other on the pipe's 17 instances; as many commands
        # as it keeps wait, a second start is then refused, and after the OK each is answered.
        proc = self.start(self.folder())
        self.assertIsNotNone(self.window(CONTINUE))
        self.assertEqual(self.command(), (0, "Wigwag is already running: its window is brought "
                                             "to the front.\n", ""))
        self.assertIsNone(self.window(MAIN, wait=0))
        talks = [(self.popen(["wine", RECEIVER, "talk", str(count)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE), message, answer * count)
                 for count, message, answer in ((20, "", "\n"),
                                                (MAX_CONNECTIONS, "status\n", "Not Running\n"))]
        for talk, message, _ in talks:
            talk.stdin.write(message)
            talk.stdin.close()
            self.assertEqual(talk.stdout.readline(), "sent\n")
        time.sleep(1)  # read at the box's next ticks
        self.assertEqual(self.command(), (1, "", "wigwag: the running Wigwag refused to come "
                                                 "forward\n"))
        self.close(CONTINUE)
        self.assertEqual([talk.stdout.read() for talk, _, _ in talks], [a for _, _, a in talks])
        self.close(MAIN, proc)

    def open_display(self, runtime):
        env = super().open_display(runtime)
        if hasattr(self, "bed"):
            # Wine's bus driver finds the bed's wheels through udev, with its SDL bus off, in a
            # Wine server started inside the bed. The first wheel is there when Wine starts:
            # one announced while Wine looks comes twice, which Wine 8 crashes on.
            subprocess.run(["wine", "reg", "add", r"HKLM\System\CurrentControlSet\Services\winebus",
                            "/v", "Enable SDL", "/t", "REG_DWORD", "/d", "0", "/f"], env=env,
                           check=True, stdout=subprocess.DEVNULL)
        # One Wine server for the display; a server left from another display is ended.
        for command in (["wineserver", "-k"], ["wineserver", "-w"]):
            subprocess.run(command, env=env)
        self.addCleanup(subprocess.run, ["wineserver", "-w"], env=env)
        self.addCleanup(subprocess.run, ["wineserver", "-k"], env=env)
        if hasattr(self, "bed"):
            self.wheels = [self.bed.plug(RALLY)]
        return env

    def test_wheel(self):
        self.assertRegex("%d %s %s" % self.command("--list-devices"), r"\A0 046d:c24f  Race & "
                         r"Rally Wheel  24 buttons  readable  \([^\n]*\)\n \Z")
        wheel = lambda n: self.wheels[n - 1]  # noqa: E731
        caption = "Button 18 \u00b7 Race && Rally Wheel"

        def shown():
            return self.call("wine", RECEIVER, "text", "cmdWheel")[:-1]

        def choose(before):
            self.assertEqual(shown(), before)
            self.click()
            time.sleep(0.3)
            self.assertRegex(shown(), r"\APress a wheel button\.\.\. \d+\Z")
            self.focus_receiver()

        def plug():
            self.wheels.append(self.bed.plug(RALLY))
            time.sleep(1.7)  # looked for at once, and again 1 s and 2 s later

        def press(n, number=18, hold=0.05):
            return lambda: self.bed.button(wheel(n), number, 1, hold=hold)

        self.play("0|1|1|0|31|26|", [  # name, what the player does, switches
            ("chosen", lambda: (choose("Set Wheel Button..."), press(1)()), 0),
            ("another button", press(1, 5), 0),
            ("pressed", press(1, hold=0.3), 1),
            ("a tap shorter than a poll", press(1, hold=0.02), 1),
            ("chosen again on a wheel plugged in later", lambda: (choose(caption), plug(),
                                                                  press(2)()), 0),
            ("pressed there", press(2), 1),
            ("held, then unplugged", lambda: (self.bed.button(wheel(2), 18, 1), time.sleep(0.3),
                                              self.bed.unplug(wheel(2)), time.sleep(0.5)), 1),
            ("a new wheel", lambda: (plug(), press(3)()), 1),
            ("the first one", press(1), 1),
            ("the start/stop key", lambda: self.call("xdotool", "key", "Delete"), 1),
        ], saved="0|1|1|0|31|26|046d:c24f:18|",
            after_each=lambda name: self.assertEqual(shown(), caption, name))


# --- Wayland desktops ----------------------------------------------------------------------
BACKEND = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wayland", "portal_backend.py")
DESKTOP_USER = "nobody" if os.geteuid() == 0 else ME  # sway refuses to run as root


def monotonic_ms(ms):
    # A compositor's 32-bit millisecond time as seconds on time.monotonic()'s clock.
    now = time.monotonic() * 1000
    return (ms + round((now - ms) / 2**32) * 2**32) / 1000


class Reader:
    """A process's output lines as they come (parsed, with when each came)."""

    def __init__(self, proc, parse=lambda line, when: (line.rstrip("\n"), when)):
        self.proc, self.items, self.came = proc, [], threading.Condition()
        self.parse, self.pid = parse, proc.pid
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.proc.stdout:
            item = self.parse(line, time.monotonic())
            with self.came:
                if item is not None:
                    self.items.append(item)
                self.came.notify_all()

    def wait(self, found, timeout=20):
        with self.came:
            self.came.wait_for(lambda: any(found(item) for item in self.items), timeout)
            return [item for item in self.items if found(item)]


class Wev(Reader):
    """wev, a native Wayland window, as the receiver: its key events, on the compositor's clock."""

    def __init__(self, harness, env):
        self.key = None
        super().__init__(harness.popen(["stdbuf", "-oL", "wev"], env=env,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL),
                         self.line)
        harness.assertTrue(self.wait(lambda item: item == "shown"), "no wev window")

    def line(self, line, _):
        if "xdg_surface] configure" in line:
            return "shown"
        if key := re.search(r"key: serial: \d+; time: (\d+); key: \d+; state: (\d)", line):
            self.key = key
        elif self.key and (sym := re.match(r"\s+sym: (\S+)", line)):
            at = monotonic_ms(int(self.key[1]))
            kind = "press" if self.key[2] == "1" else "release"
            self.key = None
            return kind, sym[1], at, at

    def events(self):
        return [item for item in self.items if item != "shown"]


class Desktop(Reader):
    """A private session bus with portal_backend.py (in `mode`) on it, told words and heard
    saying what it was asked."""

    def __init__(self, harness, env, mode):
        bus = harness.popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        super().__init__(harness.popen(["/usr/bin/python3", BACKEND, mode], env=env,
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE))
        harness.assertTrue(self.wait(lambda line: line[0] == "ready"), "no portal backend")

    def word(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def said(self, word):
        return [line for line, _ in self.items if line.split()[0] == word]


class NativeWindow:
    """The receiver is wev: keys reach it only through the compositor, which gets no key-down
    of a key the program holds, so switches show in the run state alone."""
    bursts_counted = False

    def setUp(self):
        self.env = self.open_display(self.folder(0o700))
        self.socket = None
        self.receiver = Wev(self, self.env)
        self.keyboard = self.state()

    def state(self):
        time.sleep(0.3)  # what the compositor sent last has arrived
        down = set()
        for kind, key, _, _ in self.receiver.events():
            (down.add if kind == "press" else down.discard)(key)
        return sorted(down)

    def let_go(self, *keys):
        pass  # only the program can let go of its keys there

    def check_endings(self, desktop_ending=None):
        # A close, each signal, a hard kill and the desktop's own ending let go of every key;
        # after the desktop's, the program goes on.
        for ending in (None, *ENDING):
            self.play(ALL_ON, [("Delete", 0.75)], ending)
        for ending in filter(None, ("kill", desktop_ending)):
            proc = self.start(self.folder(), "0|1|0|0|31|26|")  # the horn only
            window = self.window(proc=proc)
            self.focus_receiver()
            self.call("xdotool", "key", "Delete")
            time.sleep(0.75)
            self.assertEqual(self.state(), ["0", "BackSpace", "b"])
            if ending == "kill":
                stop(proc)
            else:
                desktop_ending()
            self.assertEqual(self.state(), self.keyboard, ending)
            if ending != "kill":
                return self.close(window, proc)

    def events(self, raw=False):
        time.sleep(0.3)
        return self.receiver.events() if raw else as_x_shows(self.receiver.events())


class Sway(Harness):
    """Headless sway (wlroots) with XWayland, as an ordinary user: the program's keys go out
    through a virtual keyboard, here to an X receiver in XWayland, where xdotool plays."""

    user, managed = DESKTOP_USER, ["managed"]

    def open_display(self, runtime):
        global PROGRAM, RECEIVER
        if self.user != ME:  # the programs where that user may run them
            programs = self.folder()
            self.addCleanup(globals().update, PROGRAM=PROGRAM, RECEIVER=RECEIVER)
            PROGRAM, RECEIVER = (shutil.copy(path, programs) for path in (PROGRAM, RECEIVER))
        home = self.folder(0o700)
        config, found = os.path.join(home, "config"), os.path.join(home, "env")
        with open(config, "w") as f:
            f.write(f"output HEADLESS-1 resolution 1024x768\nxwayland enable\n"
                    f"exec env > {found}.part && mv {found}.part {found}\n")
        os.chmod(config, 0o644)
        self.popen(["sway", "-c", config], stderr=subprocess.DEVNULL, env={
            "PATH": os.environ["PATH"], "HOME": home, "XDG_RUNTIME_DIR": home,
            "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman", "WLR_LIBINPUT_NO_DEVICES": "1"})
        end = time.monotonic() + self.patience
        while not os.path.exists(found) and time.monotonic() < end:
            time.sleep(0.05)
        with open(found) as f:
            session = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        env = dict(os.environ, DISPLAY=session["DISPLAY"], SWAYSOCK=session["SWAYSOCK"],
                   WAYLAND_DISPLAY=os.path.join(home, session["WAYLAND_DISPLAY"]),
                   XDG_RUNTIME_DIR=runtime, HOME=home)
        env.pop("WIGWAG_KEYS", None)
        return env

    def focus_receiver(self):
        # A new window takes the focus under sway, even a moment after X shows it: the
        # receiver is given it back until sway says it has it.
        def focused(node):
            return node if node.get("focused") else next(
                filter(None, map(focused, node.get("nodes", []) + node.get("floating_nodes", []))),
                None)

        def has_it():
            tree = json.loads(self.call("swaymsg", "-t", "get_tree"))
            return (focused(tree) or {}).get("pid") == self.receiver.pid

        end = time.monotonic() + self.patience
        while time.monotonic() < end:
            self.call("swaymsg", f"[pid={self.receiver.pid}] focus")
            time.sleep(0.1)
            if has_it() and (time.sleep(0.3) or has_it()):  # and keeps it
                return
        self.fail("the receiver never got the focus")

    def test_timeline(self):
        self.check_timeline([("Delete", 2.5), ("Delete", 1.5)], 0, 1)
        self.assertRegex(self.err, r"\Awigwag: keys go out through a Wayland virtual keyboard")

    test_own_keys = Wigwag.test_own_keys


class SwayNative(NativeWindow, Sway):
    """The same desktop with wev in front."""

    def test_endings(self):
        # (A hard kill: the compositor lets go of a gone client's keyboard.)
        self.check_endings()


class Mutter(NativeWindow, Harness):
    """Headless mutter with the real xdg-desktop-portal and portal_backend.py, which passes
    keys on to mutter and makes the global shortcut; the program's window is on an Xvfb."""

    def open_display(self, runtime):
        env = super().open_display(runtime)
        self.desktop = Desktop(self, env, "backend")
        name = "wayland-wigwag"
        self.popen(["mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor",
                    "1024x768", f"--wayland-display={name}"], env=env, stderr=subprocess.DEVNULL)
        portals = self.folder()
        with open(os.path.join(portals, "wigwag.portal"), "w") as f:
            f.write("[portal]\nDBusName=org.freedesktop.impl.portal.desktop.wigwag\n"
                    "Interfaces=org.freedesktop.impl.portal.RemoteDesktop;"
                    "org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=wigwag\n")
        self.popen(["/usr/libexec/xdg-desktop-portal", "-r"], stderr=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL,
                   env=dict(env, XDG_DESKTOP_PORTAL_DIR=portals, XDG_CURRENT_DESKTOP="wigwag"))
        for service in ("portal", "mutter"):  # both on the bus before the program asks
            self.assertTrue(self.desktop.wait(lambda line: line[0] == service), f"no {service}")
        end = time.monotonic() + self.patience
        while not os.path.exists(os.path.join(runtime, name)) and time.monotonic() < end:
            time.sleep(0.05)
        env.update(WAYLAND_DISPLAY=name, XDG_STATE_HOME=self.folder())
        return env

    def test_timeline(self):
        self.check_timeline([("Delete", 2.5), ("Delete", 1.5)], 0, 1)
        self.assertRegex(self.err, r"\Awigwag: keys go out through the desktop's "
                                   r"remote-desktop portal \(version 1\), which asks for "
                                   r"consent at every start\n\Z")
        self.assertEqual(os.listdir(self.env["XDG_STATE_HOME"]), [], "a token kept")

    def test_shortcut(self):
        # G, the start/stop key, is the desktop's shortcut: an activation switches once, also
        # held or seen by X too; the program's own G (the flash key) never switches.
        word = self.desktop.word
        self.play("1|0|0|31|31|26|", [
            ("activated", lambda: (word("activate"), word("deactivate")), 1),
            ("held", lambda: (word("activate"), time.sleep(0.3), word("activate"),
                              time.sleep(0.3), word("deactivate")), 1),
            ("seen by both", lambda: (word("activate"), self.call("xdotool", "key", "g"),
                                      word("deactivate")), 1),
            ("its own G", lambda: time.sleep(1.2), 0),
        ])
        self.assertEqual(self.desktop.said("bind"), ["bind g"])

    def test_endings(self):
        # The desktop's own ending: it closes the session; the program goes on with XTest.
        err = self.check_endings(lambda: self.desktop.word("close"))
        self.assertRegex(err, r"\nwigwag: the desktop closed the remote-desktop session: its "
                              r"keys count as let go, and keys go out through XTest")


class PortalStandIn(Harness):
    """A stand-in of the portal, RemoteDesktop version 2, on a private bus; no compositor."""

    def open_display(self, runtime):
        env = super().open_display(runtime)
        self.desktop = Desktop(self, env, "portal")
        return dict(env, WAYLAND_DISPLAY="wayland-none", XDG_STATE_HOME=self.folder())

    def test_consent(self):
        # A restore token, sent and replaced at each start, keeps the consent; a refusal or a
        # failure leaves XTest; WIGWAG_KEYS forces a way.
        kept = os.path.join(self.env["XDG_STATE_HOME"], "wigwag", "remote-desktop-token")
        portal = (r"\Awigwag: keys go out through the desktop's remote-desktop portal "
                  r"\(version 2\)\n\Z")
        xtest = r"\Awigwag: keys go out through XTest, to X windows only: [^\n]*{}\n\Z"
        asked = "select persist_mode=2 {}types=1"
        cases = [  # name, a request's answer, WIGWAG_KEYS, standard error, asked, token kept
            ("first start", "Start 0", "", portal, asked.format(""), "token-1"),
            ("consent kept", "Start 0", "auto", portal, asked.format("restore_token=token-1 "),
             "token-2"),
            ("refused", "Start 1", "portal", r"\Awigwag: [^\n]*was not started: the player did "
                                                r"not allow it\n\Z", None, None),
            ("failed", "CreateSession 2", "", xtest.format("portal made no session: it failed"),
             None, "token-2"),
            ("XTest asked for", "Start 0", "xtest", r"\A\Z", None, "token-2"),
        ]
        for name, response, keys, err, select, token in cases:
            with self.subTest(name):
                self.desktop.word(f"answer {response}")
                heard = len(self.desktop.items)
                env = dict(self.env, WIGWAG_KEYS=keys)
                if token is None:  # a way that WIGWAG_KEYS asked for does not work
                    code, _, err_out = self.command(env=env)
                    self.assertEqual(code, 1)
                    self.assertRegex(err_out, err)
                    continue
                self.env = env
                self.play(ALL_ON, [("Delete", 0.5)])
                self.assertRegex(self.err, err)
                used = response.endswith(" 0") and keys != "xtest"
                if used:  # the session closed by the program at its end
                    self.desktop.wait(lambda item: item[0] == "closed" and
                                      item in self.desktop.items[heard:])
                said = [line for line, _ in self.desktop.items[heard:]]
                self.assertEqual([line for line in said if line.startswith("select")],
                                 [select] if select else [])
                self.assertEqual(("key 11 1" in " ".join(said), said.count("closed")),
                                 (used, int(used)))
                with open(kept) as f:
                    self.assertEqual(f.read(), token + "\n")
        self.assertEqual([stat.S_IMODE(os.stat(path).st_mode)
                          for path in (kept, os.path.dirname(kept))], [0o600, 0o700])
        # A portal that stops answering: one key waits for its answer, the others behind it,
        # until the program gives the portal up and goes on with XTest.
        self.desktop.word("stall")
        self.env["WIGWAG_KEYS"] = "auto"
        heard = len(self.desktop.said("key"))
        self.play(ALL_ON, [("Delete", 3)])
        self.assertEqual(len(self.desktop.said("key")), heard + 1)
        self.assertRegex(self.err, r"\nwigwag: the desktop's portal did not answer for a key in "
                                   r"time: its keys count as let go, and keys go out through XTest")
        # The burst reached the X receiver through XTest in the two runs without the portal.
        self.assertEqual(len(times(self.events(), "0", "press")), 2)
        self.assertEqual(self.command(env=dict(self.env, WIGWAG_KEYS="uinput"))[::2],
                         (2, "wigwag: WIGWAG_KEYS=\"uinput\" names no way out for keys (auto, "
                             "virtual-keyboard, portal or xtest)\n"))


if __name__ == "__main__":
    PROGRAM, RECEIVER = map(os.path.abspath, sys.argv[1:3])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
