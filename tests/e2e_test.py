# The Linux program end to end. Each test gets a display of its own with a receiver window
# that keeps the keyboard focus and records every key event, and a private runtime folder;
# xdotool plays the player. Wigwag.* run on a private Xvfb; the game controllers' tests
# (test_wheel_...) run under umockdev-wrapper with fake controllers in a umockdev test bed;
# Sway.* run in a headless sway session with XWayland, every client as "nobody" (under root).
#   e2e_test.py WIGWAG X11_RECEIVER [Wigwag.test_... | Sway]
import collections
import contextlib
import fcntl
import os
import pwd
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
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
BOX_FIELD = f"{BOX.vendor:04x}:{BOX.product:04x}"
BAD_NAME = b"Sim|Box \xff\xfe\xc3(  \x01"
# The wheel button and Clear, in the window's pixels (window/layout.h, 15 twips a pixel).
CMD_WHEEL, CMD_CLEAR = (8 + 141 // 2, 171 + 10), (152 + 16, 171 + 10)


def blocking_ending():
    # Run in the child before the program: the ending signals wait until it unblocks them.
    signal.pthread_sigmask(signal.SIG_BLOCK, ENDING)


def stop(proc):
    proc.kill()
    proc.wait()
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream:
            stream.close()


def times(events, key, kind, start=0.0, end=float("inf"), server=False):
    # In seconds: when the receiver read each such event, or when the X server made it.
    return [at for k, name, t, stamp in events if name == key and k == kind
            for at in [stamp if server else t] if start <= at < end]


def make_files(directory, files, user):
    """Folder entries: "->target" a link, FIFO, BIG, or a file's text, optionally as
    (text, mode) or (text, mode, owner); the owner defaults to `user`."""
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
            os.chown(path, pwd.getpwnam(entry[3]).pw_uid, pwd.getpwnam(entry[3]).pw_gid)


def canonical(given, user):
    if given in (FIFO, BIG):
        return given
    if isinstance(given, str) and given.startswith("->"):
        return ("link", given[2:])
    given = (given,) if isinstance(given, str) else given
    return ("file",) + {1: (*given, 0o644, user), 2: (*given, user), 3: given}[len(given)]


def snapshot(directory, folders=False):
    """Every entry under the folder as canonical() writes it; with `folders`, the folders
    too (the folder itself as "."), each as its kind, mode and owner."""
    out = {}
    for root, subfolders, files in os.walk(directory):
        for name in files + subfolders + (["."] if root == directory else []):
            path = os.path.normpath(os.path.join(root, name))
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                entry = ("link", os.readlink(path))
            elif stat.S_ISFIFO(st.st_mode):
                entry = FIFO
            elif stat.S_ISREG(st.st_mode):
                with open(path, newline="", encoding="latin-1") as f:
                    entry = ("file", f.read(), stat.S_IMODE(st.st_mode),
                             pwd.getpwuid(st.st_uid).pw_name)
            elif not folders:
                continue
            else:
                entry = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode), st.st_uid)
            out[os.path.relpath(path, directory)] = entry
    return out


class Bed:
    """The test bed: controllers plugged in, pulled out and pressed while the program runs.
    The tests using it run under umockdev-wrapper: the program inherits its preload and
    sees the bed's /sys and /dev/input. For Wine's bus driver (`wine`), which asks with buffer
    sizes of its own and takes a name only from an answer that gives its length; Wine 8's
    does not survive a device's whole removal, so there an unplug is the "remove" only."""

    def __init__(self, wine=False):
        import gi
        gi.require_version("UMockdev", "1.0")
        from gi.repository import UMockdev
        self.bed, self.wine = UMockdev.Testbed.new(), wine
        self.root = self.bed.get_root_dir()
        self.files = tempfile.TemporaryDirectory()
        self.number = 10  # the next event node; a plugged-in node is never used again
        self.nodes = {}   # node -> (syspath, controller)

    def plug(self, controller, uevent=True, extra_ioctl="", exists=True):
        """Adds the controller as the next event node; returns the node."""
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
        """Button `number` of the controller at `node` down (1), up (0) or repeated (2);
        with `hold`, down, `hold` seconds, up."""
        code = self.nodes[node][1].button_code(number)
        self.write(node, fj.button(code, value))
        if hold is not None:
            time.sleep(hold)
            self.write(node, fj.button(code, 0))


class Harness(unittest.TestCase):
    """The harness: a display, a receiver window on it, a private runtime folder, and the
    program started, played and ended on that display."""
    user = ME      # who runs the program and every client
    lag = 0.5      # the longest from a player's press to the switch-over burst
    slack = 1      # how many ticks of an effect a run may have more or fewer than its time
    runner = []    # what runs the program and the receiver
    managed = []   # ["managed"]: under a window manager, which gives the focus
    clock = staticmethod(time.monotonic)  # the receiver's clock
    patience = 20  # seconds a helper program or a later start may take

    def setUp(self):
        runtime = self.folder(0o700)  # the auto-repeat note, the command socket
        self.env = self.open_display(runtime)
        self.socket = os.path.join(runtime, f"wigwag-{self.env['DISPLAY'][1:]}.sock")
        self.receiver = self.popen([*self.runner, RECEIVER, "record", *self.managed],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.receiver_window = self.receiver.stdout.readline().split()[1]
        self.keyboard = self.state()  # nothing down yet, auto-repeat as set

    def open_display(self, runtime):
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"], text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(stop, xvfb)
        return dict(os.environ, DISPLAY=":" + xvfb.stdout.readline().strip(),
                    XDG_RUNTIME_DIR=runtime)

    def focus_receiver(self):
        pass  # without a window manager the receiver takes the focus back itself

    def state(self):
        return self.call(RECEIVER, "state")

    def other_keyboard(self, key):
        # A press of the player's own keyboard, not the XTEST one the program sends on.
        self.call(RECEIVER, "keyboard", key)

    def folder(self, mode=0o755, user=None):
        path = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, path, ignore_errors=True)
        os.chmod(path, mode)
        os.chown(path, pwd.getpwnam(user or self.user).pw_uid, -1)
        return path

    def popen(self, command, user=None, env=None, **popen):
        # As another user than the session's, with a home and runtime folder of its own.
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
        if settings is not None:
            make_files(directory, {"wigwag.cfg": settings + "\r\n"}, user or self.user)
        return self.popen([*self.runner, PROGRAM], user, cwd=directory, stderr=subprocess.PIPE,
                          **popen)

    def window(self, title=None, proc=None, wait=20):
        """The visible window of that title, or of that process, waiting up to `wait` s."""
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
        """Closes the window (a title: waits for it) as a window manager does; then, with
        `proc`, checks that it ended with 0 and returns its standard error."""
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
        # Sends signum, or closes the window. The program must exit with 0 (from a signal
        # within a second) leaving no key down and every auto-repeat setting as it was.
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

    def saved(self, directory):
        path = os.path.join(directory, "wigwag.cfg")
        if os.path.exists(path):
            with open(path, newline="") as f:
                return f.read()

    def running(self):
        return self.call(*self.runner, PROGRAM, "--status").strip()

    def run_program(self, settings, presses, signum=None):
        # Presses each key (or runs each step: a command such as "--toggle", its answer
        # kept in self.answers, or a function) and waits its seconds, then closes the
        # window (or sends signum); returns when each step and the end came. The settings
        # are saved at the end.
        self.answers = []
        directory = self.folder()
        proc = self.start(directory, settings)
        window = self.window(proc=proc)
        self.focus_receiver()
        time.sleep(0.3)
        at = []  # CLOCK_MONOTONIC, as the receiver's times
        for key, seconds in presses:
            at.append(self.clock())
            if callable(key):
                key()
            elif key.startswith("--"):
                self.answers.append(self.call(*self.runner, PROGRAM, key))
            else:
                self.call("xdotool", "key", key)
            time.sleep(seconds)
        at.append(self.clock())
        self.end(proc, signum, window)
        self.assertEqual(self.saved(directory), settings + FOOTER)
        return at

    def play(self, settings, steps, saved=None, after_each=lambda name: None, counted=True):
        """Plays the steps (name, action, how many times it switches), each followed by the
        run state it leaves, then closes the program and checks the file it saved (`saved`,
        or the settings as they were); with `counted`, each step's switch-over bursts (by
        their 0 key-downs) too. Returns the program's standard error."""
        directory = self.folder()
        proc = self.start(directory, settings)
        window = self.window(proc=proc)
        self.focus_receiver()
        time.sleep(0.5)
        bounds, on = [], False
        for name, action, switches in steps:
            self.let_go("0", "BackSpace")  # so that the next burst's key-downs show
            bounds.append(self.clock())
            action()
            time.sleep(0.4)
            on ^= switches % 2 == 1
            self.assertEqual((name, self.running()), (name, "Running" if on else "Not Running"))
            after_each(name)
        bounds.append(self.clock())
        err = self.end(proc, window=window)
        self.assertEqual(self.saved(directory), (saved or settings) + FOOTER)
        events = self.events(raw=True) if counted else []
        for (name, _, switches), start, end in zip(steps if counted else [], bounds, bounds[1:]):
            self.assertEqual(len(times(events, "0", "press", start, end)), switches, name)
        return err

    def let_go(self, *keys):
        self.call("xdotool", "keyup", *keys)

    def events(self, raw=False):
        # (kind, keysym, time read, server time) of every key event, as the X server gives
        # them (raw or not): its repeats of a held key come as a release and a press each.
        self.receiver.stdin.close()
        return [(kind, key, int(us) / 1e6, int(ms) / 1e3) for kind, key, _, us, ms in
                map(str.split, self.receiver.stdout.read().splitlines())]

    def check_timeline(self, steps, on, off, settings=ALL_ON):
        # The whole run, switched on at step `on` and off at step `off`; the other steps must
        # send nothing. Returns the commands' answers.
        at = self.run_program(settings, steps)
        t_start, t_stop, t_close = at[on], at[off], at[-1]
        events = self.events()
        # The switch-over leaves 0 and Backspace down until the close; the horn is held
        # from its first tick until the stop; none of them repeats.
        held = [(kind, key, t > t_close) for kind, key, t, _ in events
                if key in ("0", "BackSpace", "b")]
        self.assertEqual(held[:4], [("press", "0", False), ("press", "BackSpace", False),
                                    ("press", "b", False), ("release", "b", False)])
        self.assertCountEqual(held[4:], [("release", "0", True), ("release", "BackSpace", True)])
        t0, b_up = times(events, "0", "press")[0], times(events, "b", "release")[0]
        self.assertTrue(t_start < t0 < t_start + self.lag, t0 - t_start)
        self.assertTrue(t_stop < b_up < t_stop + self.lag, b_up - t_stop)
        # Between events, the server's time, which a busy receiver cannot stretch.
        t0, b_down, b_up = [times(events, key, kind, server=True)[0] for key, kind in
                            (("0", "press"), ("b", "press"), ("b", "release"))]
        self.assertAlmostEqual(b_down - t0, 0.1, delta=0.08)
        # Headlights: two 0.1 s presses every 0.4 s; hazards: one 0.1 s press a second.
        for key, period, per_tick in (("g", 0.4, 2), ("9", 1.0, 1)):
            downs, ups = (times(events, key, kind, server=True) for kind in ("press", "release"))
            self.assertAlmostEqual(downs[0] - t0, period, delta=0.15)
            self.assertAlmostEqual(downs[per_tick] - t0, 2 * period, delta=0.15)
            # The stop is polled on the ticks' 0.1 s grid and seen here a little later: a tick
            # due at the very poll of the stop never starts.
            ran = (b_up - 0.02 - t0) / period
            self.assertLessEqual(abs(len(downs) / per_tick - ran), self.slack, key)
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
        # The same run from commands; a start while running and a stop while stopped send
        # nothing, so the timeline is the start/stop key's.
        self.check_timeline([("--stop", 0.3), ("--status", 0.3), ("--toggle", 1.2),
                             ("--start", 0.3), ("--status", 1.0), ("--stop", 1.5)], 2, 5)
        self.assertEqual(self.answers, ["Not Running\n", "Not Running\n", "Running\n",
                                        "Running\n", "Running\n", "Not Running\n"])

    def test_signals(self):
        for signum in ENDING:
            # While it loads: sent as it starts (blocked until the program unblocks them,
            # as if sent before its handlers were there) or a little later. The window
            # never opens, so the file stays as it was, unless the window was already open.
            for delay in (0, 0.05, 0.15, 0.3):
                directory = self.folder()
                proc = self.start(directory, ALL_ON, preexec_fn=blocking_ending)
                time.sleep(delay)
                self.end(proc, signum)
                self.assertIn(self.saved(directory), (ALL_ON + "\r\n", ALL_ON + FOOTER))
            # The first-run box open: no window, no file.
            directory = self.folder()
            proc = self.start(directory)
            self.assertIsNotNone(self.window(CONTINUE))
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
        display = self.env["DISPLAY"]
        proc = self.start(self.folder(), ALL_ON,
                          env=dict(self.env, DISPLAY="unix/:000" + display[1:] + ".0"))
        self.window(proc=proc)
        time.sleep(0.3)
        self.call("xdotool", "key", "Delete")
        time.sleep(0.75)
        proc.kill()
        proc.wait()
        repeat = self.state().splitlines()[1]
        self.assertNotEqual(repeat, self.keyboard.splitlines()[1])
        self.run_program(ALL_ON, [])

    def test_own_keys(self):
        # Start/stop on G, the flash key, then on BACKSPACE, pressed after every key-down
        # and so pressed again while held, which the server drops. The program's own
        # presses never switch it; the player's do, from XTEST (xdotool) or from another
        # keyboard, also right after a dropped own press of the same key.
        switches = []  # (on, off)
        for key, index in (("g", 31), ("BackSpace", 4)):
            other = lambda: self.other_keyboard(key)  # noqa: E731
            at = self.run_program(f"1|1|0|{index}|31|26|", [(key, 1.5)] + [(other, 0.5)] * 5)
            switches += zip(at[0:6:2], at[1:6:2])
        events = self.events()
        # The horn held from each start to the next press; the flashes going on.
        b_down, b_up = times(events, "b", "press"), times(events, "b", "release")
        self.assertEqual(len(b_down), len(switches))
        for (t_on, t_off), down, up in zip(switches, b_down, b_up):
            self.assertTrue(t_on < down < t_on + self.lag, down - t_on)
            self.assertTrue(t_off < up < t_off + self.lag, up - t_off)
        for _, t_off in switches[::3]:
            self.assertGreaterEqual(len(times(events, "g", "press", t_off - 0.5, t_off)), 1)

    def test_one_instance(self):
        def not_running():
            for option in ("--toggle", "--start", "--stop", "--status"):
                code, out, err = self.command(option)
                self.assertEqual((code, out), (3, ""), option)
                self.assertRegex(err, r"\Awigwag: [^\n]*not running[^\n]*\n\Z", option)

        not_running()
        other = self.folder()
        proc = self.start(self.folder(), ALL_ON)
        window = self.window(proc=proc)
        if self.socket:
            self.assertEqual(stat.S_IMODE(os.stat(self.socket).st_mode), 0o600)
        # A start from another folder brings the window forward, writes nothing and ends.
        code, out, err = self.command(cwd=other)
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(len(self.call("xdotool", "search", "--onlyvisible", "--name",
                                       f"^{MAIN}$").split()), 1)
        self.assertIn(self.front(), (None, MAIN))
        self.assertEqual(os.listdir(other), [])

        # Nothing but the commands does anything; no message can hold the program up.
        for message in (b"garbage\n", b"TOGGLE\n", b"toggle\r\n", b"toggle\nstop\n",
                        bytes(range(256)) + b"\n", b"toggle", b"", b"t" * 1_000_000):
            answer = self.talk(message)
            self.assertIn(answer, (b"refused\n", b""), message[:20])
            # (A pipe drops its answer when the writer goes on writing past the refusal.)
            if self.socket and message and b"\n" not in message[:40]:
                self.assertEqual(answer, b"refused\n" if len(message) > 32 else b"")
        t = time.monotonic()
        self.assertEqual(self.command("--status"), (0, "Not Running\n", ""))
        self.assertLess(time.monotonic() - t, 1.0 + 2 * bool(self.runner))  # Wine starts slowly
        self.assertEqual(self.talk(b"status\n"), b"Not Running\n")

        # Killed, it leaves its socket behind; the next start takes over at once.
        proc.kill()
        proc.wait()
        if self.socket:
            self.assertTrue(stat.S_ISSOCK(os.stat(self.socket).st_mode))
        not_running()
        proc = self.start(other, ALL_ON)
        window = self.window(proc=proc)
        self.assertEqual(self.command("--status"), (0, "Not Running\n", ""))
        self.close(window, proc)
        not_running()
        self.assertFalse(self.socket and os.path.exists(self.socket))
        self.assertEqual(self.events(), [], "keys sent")
        self.assertEqual(self.state(), self.keyboard)

    def front(self):
        return None  # without a window manager, X has no front window

    def talk(self, message, shut=False):
        # Sends bytes straight to the running program's socket (then, with `shut`, shuts
        # the sending side); returns what came back before it closed the connection.
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

    # --- the runtime folder and the command channel --------------------------------------

    def test_runtime_folders(self):
        # A runtime folder shared like /tmp, and another user's, each with a socket (listening),
        # a lock (held) and an auto-repeat note of another user's in it; one that is missing (Qt
        # would make it). Wigwag runs without its channel and note and says why in one line;
        # commands say the same; nothing in the folder is touched, made or reached. (Other
        # folders that are not the user's private one: in the commands' table.)
        number = self.env["DISPLAY"][1:]
        for name, mode, owner, why in (
                ("shared like /tmp", 0o1777, "root", r"is open to other users \(mode 1777\)"),
                ("another user's", 0o700, "nobody", "belongs to another user"),
                ("missing", None, None, "does not exist")):
            with self.subTest(name):
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
                code, _, err = self.command("--status", env=env)
                self.assertEqual(code, 1)
                self.assertRegex(err, rf"\Awigwag: no Wigwag can be reached: "
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
        # One Wigwag on the display, reached under every spelling of the display and past
        # idle connections; each command line's status, output and error output. Its
        # runtime folder's path is longer than a socket address can be.
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
        self.assertEqual(sorted(os.listdir(runtime)),
                         [f"wigwag-{number}.lock", f"wigwag-{number}.sock",
                          f"wigwag-repeat-{number}"])
        shown = r"\AWigwag is already running: its window is brought to the front.\n\Z"
        not_running = (0, r"\ANot Running\n\Z", r"\A\Z")
        unknown = r"\Awigwag: unknown option '{}' [^\n]*\n\Z"
        home = self.folder()
        open(os.path.join(home, "a-file"), "w").close()
        cases = [  # name, environment, command line, standard output, expected (output: regex)
            *[(f"--status on {display}", {"DISPLAY": display}, ["--status"], None, not_running)
              for display in (f":{number}", f":000{number}", f":{number}.0",
                              f"unix:{number}", f"unix/:{number}", f"localhost:{number}",
                              f"localhost/unix:0{number}", f"unix/localhost:{number}.1")],
            *[(f"a second start on {display}", {"DISPLAY": display}, [], None,
               (0, shown, r"\A\Z")) for display in (f":00{number}.0", f"unix/:{number}")],
            ("70 idle connections first", {}, ["--status"], None, not_running),
            ("the answer to a full device", {}, ["--status"], "/dev/full",
             (1, None, r"\Awigwag: cannot write the answer to standard output: [^\n]*\n\Z")),
            ("an option with a line end and an escape", {}, ["--a\nb\x1b[31m"], None,
             (2, r"\A\Z", unknown.format(r"--a\\nb\\e\[31m"))),
            *[(" ".join(options), {}, options, None, (2, r"\A\Z", unknown.format(bad)))
              for options, bad in ((["-h", "--bogus"], "--bogus"), (["-x"], "-x"))],
            ("an argument", {}, ["level1"], None,
             (2, r"\A\Z", r"\Awigwag: unexpected argument 'level1'[^\n]*\n\Z")),
            ("two commands", {}, ["--start", "--stop"], None,
             (2, r"\A\Z", r"\Awigwag: one command at a time [^\n]*\n\Z")),
            *[(option, {}, [option], None, (0, r"\Awigwag \d+(\.\d+)+\n\Z", r"\A\Z"))
              for option in ("--version", "-v")],
            ("help", {}, ["-h"], None, (0, r"\AUsage: wigwag \[options\]\n(.*\n)*  -h, --help"
                                          r"      Show this help and exit\.\n(.*\n)*  "
                                          r"--toggle +Switch the running(.*\n)+\Z", r"\A\Z")),
            ("a settings folder that cannot be made", {"XDG_CONFIG_HOME": f"{home}/a-file",
                                                      "DISPLAY": ""},
             ["--config-dir"], None, (1, r"\A\Z", r"\Awigwag: cannot use the settings folder "
                                                   r"[^\n]*a-file/wigwag\n\Z")),
            *[(f"a runtime folder that {why}", {"XDG_RUNTIME_DIR": folder}, ["--status"], None,
               (1, r"\A\Z", rf"\Awigwag: no Wigwag can be reached: XDG_RUNTIME_DIR \"[^\n]*\" "
                            rf"{why}\n\Z")) for folder, why in (
                (self.folder(0o750), r"is open to other users \(mode 0750\)"),
                ("runtime", "is not an absolute path"), (f"{home}/a-file", "is not a folder"))],
            *[(f"no display: DISPLAY={display!r}", {"DISPLAY": display}, [], None,
               (1, r"\A\Z", r"\Awigwag: [^\n]*display[^\n]*\n\Z")) for display in ("", ":4097")],
            ("a name that is no display", {"DISPLAY": "a\tb"}, ["--status"], None,
             (1, r"\A\Z", r"\Awigwag: no Wigwag can be reached: DISPLAY \"a\\tb\" names no X "
                          r"display\n\Z")),
            ("a display name too long for a socket address", {"DISPLAY": "x" * 100 + ":0"},
             ["--status"], None, (1, r"\A\Z", r"\Awigwag: no Wigwag can be reached: the display "
                                               r"name \"x{100}:0\" is too long for a socket "
                                               r"address\n\Z")),
        ]
        for name, env, options, output, (code, out, err) in cases:
            with self.subTest(name), contextlib.ExitStack() as stack:
                if name.startswith("70 idle"):
                    for _ in range(70):
                        idle = stack.enter_context(socket.socket(socket.AF_UNIX))
                        idle.connect(self.socket)
                stdout = stack.enter_context(open(output, "w")) if output else subprocess.PIPE
                result = subprocess.run([PROGRAM, *options], env=dict(self.env, HOME=home, **env),
                                        stdout=stdout, stderr=subprocess.PIPE, text=True,
                                        timeout=20, stdin=subprocess.DEVNULL, cwd=home)
                self.assertEqual(result.returncode, code, result.stderr)
                if out:
                    self.assertRegex(result.stdout, out)
                self.assertRegex(result.stderr, err)
        self.assertEqual(os.listdir(home), ["a-file"], "a file left behind")
        self.end(proc, window=window)

        # Behind the first-run box commands wait for its OK. With as many waiting as it
        # keeps, a second start is refused (1); the close ends each wait without an
        # answer (1).
        proc = self.start(self.folder())
        self.assertIsNotNone(self.window(CONTINUE))
        waiting = self.popen([PROGRAM, "--status"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        with contextlib.ExitStack() as stack:
            for _ in range(63):
                asking = stack.enter_context(socket.socket(socket.AF_UNIX))
                asking.connect(self.socket)
                asking.sendall(b"status\n")
            time.sleep(0.5)
            self.assertEqual(self.command(), (1, "", "wigwag: the running Wigwag refused to "
                                                     "come forward\n"))
            self.end(proc, signal.SIGTERM)
            self.assertEqual(asking.recv(100), b"")
        out, err = waiting.communicate(timeout=10)
        self.assertEqual((waiting.returncode, out, err), (1, "", "wigwag: the running Wigwag "
                                                                 "closed the connection without "
                                                                 "an answer\n"))

    # --- the settings file under faults --------------------------------------------------

    def test_settings_files(self):
        # Each folder as it is before the start and after the close; the player presses the
        # start/stop key once, the key the file gave or the default (DELETE either way). (The
        # file service's other cases, a device, links that lead nowhere, modes, a leftover
        # temporary file: text_file_test, on the same file service, and the kills below.)
        cases = [  # name, run as, before, message box at the start / at the close, after
            ("named pipe", "root", {"wigwag.cfg": FIFO}, (True, True), None),
            ("huge file", "root", {"wigwag.cfg": BIG}, (True, False),
             {"wigwag.cfg": "0|1|0|0|31|26|" + FOOTER}),  # its first line applies
            ("link", "root", {"wigwag.cfg": "->synced/settings", "synced/settings": OLD},
             (False, False), {"wigwag.cfg": "->synced/settings", "synced/settings": NEW}),
            ("another owner", "root", {"wigwag.cfg": (OLD, 0o640, "nobody")}, (False, False),
             {"wigwag.cfg": (NEW, 0o640, "nobody")}),
            ("private", "nobody", {"wigwag.cfg": (OLD, 0o600)}, (False, False),
             {"wigwag.cfg": (NEW, 0o600)}),
            ("unreadable", "nobody", {"wigwag.cfg": (OLD, 0o200)}, (True, True), None),
            ("link planted at the temporary name", "root",
             {"wigwag.cfg": OLD, "wigwag.cfg.new": "->victim", "victim": "precious"},
             (False, False), {"wigwag.cfg": NEW, "victim": "precious"}),
        ]
        switched = 0
        for name, user, before, (box_at_start, box_at_close), after in cases:
            with self.subTest(name):
                directory = self.folder(user=user)
                make_files(directory, before, user)
                proc, shown = self.start_timed(directory, user)
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
        self.assertEqual(self.state(), self.keyboard, "keys down, repeat changed")
        self.assertEqual(len(times(self.events(), "0", "press")), switched)

    def test_config_dir(self):
        # As the menu entry starts it: wigwag.cfg in $XDG_CONFIG_HOME/wigwag, a private folder
        # the first start makes; nothing in the folder it starts in.
        home, config = self.folder(), os.path.join(self.folder(), "not made yet")
        env = dict(self.env, HOME=home, XDG_CONFIG_HOME=config)
        for first in (True, False):  # the second start reads the file back: no box
            proc = self.popen([PROGRAM, "--config-dir"], cwd=home, env=env, stderr=subprocess.PIPE)
            if first:
                self.close(CONTINUE)
            self.assertEqual(self.close(MAIN, proc), "")
            self.assertEqual(snapshot(config, folders=True)["wigwag"][1:], (0o700, os.geteuid()))
            self.assertEqual(self.saved(f"{config}/wigwag"), "0|0|0|0|31|26|" + FOOTER)
            self.assertEqual((os.listdir(f"{config}/wigwag"), os.listdir(home)),
                             (["wigwag.cfg"], []))

    def start_timed(self, directory, user=None):
        """Starts the program in the folder as `user`; returns it and the seconds until its
        first window (the main window or a message box) was on the screen."""
        start = time.monotonic()
        proc = self.popen([PROGRAM], user, cwd=directory, stderr=subprocess.DEVNULL)
        self.assertIsNotNone(self.window(f"{MAIN}|{CONTINUE}"), "no window")
        return proc, time.monotonic() - start

    def test_killed_while_saving(self):
        # SIGKILL 0 to 40 ms after the close was sent, around the save: wigwag.cfg holds the
        # old file or the new one, nothing else; a later save clears away a temporary file
        # that a kill left behind.
        found = collections.Counter()
        directory = self.folder()
        path = os.path.join(directory, "wigwag.cfg")
        for run in range(40):
            make_files(directory, {"wigwag.cfg": OLD}, ME)
            proc, _ = self.start_timed(directory)
            closing = self.popen([RECEIVER, "close", self.window(MAIN, wait=10)],
                                 stderr=subprocess.DEVNULL)  # the window may be gone
            time.sleep(run * 0.001)
            proc.kill()
            proc.wait()
            closing.wait()
            with open(path, newline="") as f:
                found[{OLD: "old", NEW: "new"}.get(f.read(), "anything else")] += 1
            found["temporary file left"] += os.path.exists(path + ".new")
        print(f"\nkilled while saving: {dict(found)}", file=sys.stderr)
        self.assertEqual(found["anything else"], 0)
        proc, _ = self.start_timed(directory)
        self.close(MAIN)
        self.assertEqual(proc.wait(timeout=10), 0)
        self.assertEqual(snapshot(directory), {"wigwag.cfg": canonical(NEW, ME)})

    # --- game controllers -----------------------------------------------------------------

    @property
    def bed(self):
        # Made on first use, by the tests that run under umockdev-wrapper.
        if not hasattr(self, "_bed"):
            self._bed = Bed()
            self.env["UMOCKDEV_DIR"] = self._bed.root
        return self._bed

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

        def hold(node):
            bed.button(node, 5, 1)
            for _ in range(15):  # the kernel's repeats of a held button
                time.sleep(0.1)
                bed.button(node, 5, 2)
            bed.button(node, 5, 0)

        def back_in(node=None):  # in again, as a new node
            if node:
                bed.unplug(node)
                time.sleep(0.3)
            moved["box"] = bed.plug(BOX)
            time.sleep(0.3)
            bed.button(moved["box"], 5, 1, hold=0.15)

        def held_and_unplugged():
            bed.button(moved["box"], 5, 1)
            time.sleep(0.3)
            bed.unplug(moved["box"])

        def released_and_pressed():
            bed.button(dropping, 5, 0)
            time.sleep(0.3)
            bed.button(dropping, 5, 1, hold=0.15)

        steps = [  # name, what the player does, switches
            ("press", lambda: bed.button(moved["box"], 5, 1, hold=0.15), 1),
            ("tap shorter than a poll", lambda: bed.button(moved["box"], 5, 1, hold=0.01), 1),
            ("held with repeats", lambda: hold(moved["box"]), 1),
            ("another button", lambda: bed.button(moved["box"], 6, 1, hold=0.15), 0),
            ("the same number on the wheel", lambda: bed.button(wheel, 5, 1, hold=0.15), 0),
            ("button 5 of the 300-button box", lambda: bed.button(big, 5, 1, hold=0.15), 0),
            ("the identical twin", lambda: bed.button(twin, 5, 1, hold=0.15), 1),
            ("plugged in after the start", lambda: bed.button(bed.plug(BOX), 5, 1, hold=0.15), 1),
            ("unplugged and back", lambda: back_in(moved["box"]), 1),
            ("held, then unplugged", held_and_unplugged, 1),
            ("back after that", back_in, 1),
            ("pressed while events were dropped",
             lambda: bed.write(dropping, fj.event(fj.EV_SYN, fj.SYN_DROPPED, 0)), 1),
            ("released and pressed after that", released_and_pressed, 1),
        ]
        err = self.play(NO_EFFECTS + BOX_FIELD + ":5|", steps)
        # Nothing but, on a kernel without EVIOCSMASK (and in the test bed), the one note.
        self.assertRegex(err, r"\A(wigwag: the kernel does not filter [^\n]*\n)?\Z")

    def open_to_nobody(self):
        """The test bed's folders and sockets opened to "nobody", the device nodes not (they
        stay root's, mode 0600, as a seat's devices are to a user not logged in there)."""
        for folder, _, files in os.walk(self.bed.root):
            os.chmod(folder, 0o755)
            for name in files:
                if stat.S_ISSOCK(os.lstat(os.path.join(folder, name)).st_mode):
                    os.chmod(os.path.join(folder, name), 0o777)
        os.chmod(self.bed.root, 0o1777)  # for the sockets of udev monitors

    def test_wheel_list_devices(self):
        bed = self.bed
        listed = lambda user=None: self.command("--list-devices", user=user)  # noqa: E731
        self.assertEqual(listed(), (0, "No game controllers found.\n", ""))
        bed.plug(WHEEL), bed.plug(BOX), bed.plug(BOX)
        bed.plug(fj.Controller(b"Fake Pedals", 0x046D, 0xC26E, [], [0, 1, 2]))
        bed.plug(fj.button_box(BAD_NAME, 0x1234, 0x5678, 300))
        bed.plug(BOX, exists=False)  # gone between finding and opening: not listed
        ids = ["046d:c24f", "16d0:0a4b", "16d0:0a4b", "046d:c26e", "1234:5678"]
        names = ["Fake Racing Wheel", "Fake Button Box", "Fake Button Box", "Fake Pedals"]
        buttons = [24, 32, 32, 0, 300]
        self.assertEqual(listed(), (0, "".join(
            f"{i}  {n}  {b} buttons  readable  (/dev/input/event{10 + k})\n"
            for k, (i, n, b) in enumerate(zip(ids, names + ["Sim|Box \ufffd\ufffd\ufffd("],
                                               buttons))), ""))

        # Not the user's: each named once on standard error, with the hint, and listed.
        self.open_to_nobody()
        names.append("Sim|Box ???(")
        self.assertEqual(listed("nobody"), (0, "".join(
            f"{i}  {n}  0 buttons  cannot be read: Permission denied  (/dev/input/event{10 + k})\n"
            for k, (i, n) in enumerate(zip(ids, names))), "".join(
            f"wigwag: cannot read /dev/input/event{10 + k} ({n}): Permission denied; the desktop "
            "normally gives game controllers to the user logged in at the seat\n"
            for k, n in enumerate(names))))

        # The program as nobody says the same once, however often the node comes up, and
        # runs with the others. Given access (and a "change" from udev, as when a seat's
        # access comes), the wheel is read: its button 5, chosen in the file, switches.
        wheel = "/dev/input/event10"
        directory = self.folder(user="nobody")
        proc = self.start(directory, NO_EFFECTS + f"{WHEEL.vendor:04x}:{WHEEL.product:04x}:5|",
                          "nobody")
        window = self.window(proc=proc)
        bed.bed.uevent(bed.nodes[wheel][0], "add")  # seen again
        time.sleep(0.3)
        bed.button(wheel, 5, 1, hold=0)  # not readable yet: nothing
        time.sleep(0.3)
        self.call("xdotool", "key", "Delete")
        time.sleep(0.3)
        # The node is a pseudo-terminal of the test bed's own.
        os.chmod(os.path.realpath(os.path.join(bed.root, wheel[1:])), 0o666)
        bed.bed.uevent(bed.nodes[wheel][0], "change")
        time.sleep(0.3)
        self.call("xdotool", "keyup", "0", "BackSpace")
        bed.button(wheel, 5, 1, hold=0)
        time.sleep(0.3)
        err = self.close(window, proc)
        self.assertEqual(err.count(f"wigwag: cannot read {wheel} (Fake Racing Wheel)"), 1)
        self.assertEqual(len(times(self.events(), "0", "press")), 2)

    def click(self, name):
        x, y = {"cmdWheel": CMD_WHEEL, "cmdClear": CMD_CLEAR}[name]
        self.call("xdotool", "mousemove", "--window", self.window(MAIN), str(x), str(y), "click",
                  "1")

    def test_wheel_choosing(self):
        # The player clicks the wheel button and presses a button: that press only chooses.
        # The choice switches from then on, it is kept in the file's seventh field, and Clear
        # forgets it. The button: number 300 of a box whose name has a "|", control
        # characters and bytes that are not UTF-8.
        box = self.bed.plug(BOX, False)
        big = self.bed.plug(fj.button_box(BAD_NAME, 0x1234, 0x5678, 300), False)
        chosen = NO_EFFECTS + "1234:5678:300|"

        def press(*buttons):
            return lambda: [self.bed.button(node, number, 1, hold=0.05) for node, number in buttons]

        self.play(NO_EFFECTS, [
            ("clicked", lambda: self.click("cmdWheel"), 0),
            ("chosen", press((big, 300)), 0),
            ("pressed", press((big, 300)), 1),
            ("other buttons", press((box, 5), (big, 299)), 0),
            # Clicked twice: given up, the old button stays. (Apart, and given time, so that
            # a loaded machine cannot take the next press before the second click.)
            ("clicked twice", lambda: (self.click("cmdWheel"), time.sleep(0.3),
                                       self.click("cmdWheel"), time.sleep(0.7)), 0),
            ("pressed again", press((big, 300)), 1)], saved=chosen)
        self.play(chosen, [("cleared", lambda: (self.click("cmdClear"), time.sleep(0.3),
                                                press((big, 300))()), 0)],
                  saved=NO_EFFECTS, counted=False)


SWAY_TOOLS = ("sway", "swaymsg", "wtype", "Xwayland", "xdotool", "setxkbmap")


@unittest.skipIf(any(shutil.which(tool) is None for tool in SWAY_TOOLS),
                 "needs " + ", ".join(SWAY_TOOLS) + " (bash tools/setup-debian.sh test)")
class Sway(Harness):
    """A real Wayland session: headless sway with XWayland. Wigwag and the receiver are X
    clients under XWayland; a sway key binding runs `wigwag --toggle`, and wtype, a Wayland
    client, presses the bound key: how a player switches Wigwag from a desktop shortcut
    where no program may read the keyboard globally."""
    user = "nobody" if os.geteuid() == 0 else ME
    lag, slack, managed = 1.0, 2, ["managed"]

    def open_display(self, runtime):
        global PROGRAM, RECEIVER
        self.addCleanup(globals().update, PROGRAM=BUILT[0], RECEIVER=BUILT[1])
        # The programs, where the session's user may run them whatever the build folder is.
        programs = self.folder()
        PROGRAM, RECEIVER = (shutil.copy(path, programs) for path in (PROGRAM, RECEIVER))
        session, config, binding = (os.path.join(self.folder(), name) for name in
                                    ("session", "config", "binding.sh"))
        self.answers_file = os.path.join(self.folder(), "answers")
        # wtype's virtual keyboard brings a keymap of the one key it types, and XWayland
        # takes it over for its X clients; a real keyboard's keymap has every key. The
        # binding gives XWayland a whole keymap back before it runs the command.
        with open(binding, "w") as f:
            f.write("#!/bin/sh\nsetxkbmap -layout us 2>/dev/null\n"
                    f"exec {PROGRAM} --toggle >>{self.answers_file} 2>&1\n")
        os.chmod(binding, 0o755)
        with open(config, "w") as f:
            f.write(f"xwayland enable\nbindsym F9 exec {binding}\n"
                    f"exec env >{session}.part && mv {session}.part {session}\n")
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": runtime,
               "HOME": self.folder(),
               "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1",
               "WLR_RENDERER": "pixman"}
        sway = self.popen(["sway", "-c", config], env=env)  # its log shown when a test fails
        deadline = time.monotonic() + 20
        while not os.path.exists(session):
            self.assertIsNone(sway.poll(), "sway ended")
            self.assertLess(time.monotonic(), deadline, "sway did not start")
            time.sleep(0.1)
        with open(session) as f:
            variables = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        return dict(env, **{name: variables[name] for name in
                            ("DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK")})

    def focus_receiver(self):
        # sway gives the focus to the newest window; the keys must go to the receiver.
        deadline = time.monotonic() + 10
        while (focus := self.popen(["swaymsg", f"[id={self.receiver_window}] focus"],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)).wait():
            self.assertLess(time.monotonic(), deadline, focus.stdout.read())
            time.sleep(0.1)
        time.sleep(0.2)

    def test_toggle_from_a_sway_key_binding(self):
        press = lambda: self.call("wtype", "-k", "F9")  # noqa: E731
        events = self.check_timeline([(press, 2.5), (press, 0.8)], 0, 1)
        with open(self.answers_file) as f:
            self.assertEqual(f.read(), "Running\nNot Running\n")
        self.assertEqual(times(events, "F9", "press"), [])  # the bound key stays sway's


class Windows(Harness):
    """wigwag.exe under Wine on a private Xvfb. The receiver (tests/win32/receiver.cpp) is
    the window inside Wine that records the keys, and the tests' hands there; xdotool plays
    the player through X, as a keyboard does."""
    runner = ["wine"]
    patience = 60  # a Wine process can take long to start on a loaded machine
    # Wine's QueryPerformanceCounter, the receiver's clock.
    clock = staticmethod(lambda: time.clock_gettime(time.CLOCK_MONOTONIC_RAW))

    def setUp(self):
        super().setUp()
        self.socket = None  # a named pipe, which goes with the program

    def open_display(self, runtime):
        env = super().open_display(runtime)
        # One Wine server for the display; a server left from another display is ended.
        for command in (["wineserver", "-k"], ["wineserver", "-w"]):
            subprocess.run(command, env=env)
        self.addCleanup(subprocess.run, ["wineserver", "-w"], env=env)
        self.addCleanup(subprocess.run, ["wineserver", "-k"], env=env)
        return env

    def state(self):
        return self.call("wine", RECEIVER, "state")

    def other_keyboard(self, key):
        self.call("xdotool", "key", key)

    def focus_receiver(self):
        self.call("wine", RECEIVER, "focus")
        self.call("xdotool", "windowfocus", "--sync", super().window("Wigwag receiver"))
        time.sleep(0.1)

    def window(self, title=None, proc=None, wait=20):
        # Wine's windows are known by their titles; the X window's stands for it.
        return title or MAIN if super().window(title or MAIN, wait=wait) else None

    def ask_close(self, window):
        self.call("wine", RECEIVER, "end", window, "close")

    def click(self, name):
        self.call("wine", RECEIVER, "click", name)

    def let_go(self, *keys):
        pass  # the bursts are counted in the raw events

    def end(self, proc, how=None, window=None):
        # Ends the program by a close, a WM_QUIT to its thread or with the Windows session,
        # which asks, tells and then ends it: no key may be left down.
        if how is None:
            return super().end(proc, None, window or MAIN)
        answer = self.call("wine", RECEIVER, "end", MAIN, how)
        self.assertEqual(answer, "agreed\n" if how == "session" else "")
        code = proc.wait(timeout=10)
        if how == "quit":  # with the session, the system ends it
            self.assertEqual(code, 0)
        self.assertEqual(self.state(), self.keyboard, "keys down")

    def events(self, raw=False):
        # As X shows them, unless raw: a key-down of a key that is down, or a key-up of one
        # that is not, never comes there. (The close is posted, and posted messages overtake
        # input still on its way: the last keys get time to arrive first.)
        time.sleep(0.3)
        self.call("wine", RECEIVER, "end", "Wigwag receiver", "close")
        down, events = set(), []
        for line in self.receiver.stdout.read().splitlines():
            kind, key, sender, us, ms = line.split()
            self.assertNotEqual(sender, "wrong", f"{line}: scan code or extended flag")
            if raw or (kind == "press") != (key in down):
                events.append((kind, key, int(us) / 1e6, float(ms) / 1e3))
            (down.add if kind == "press" else down.discard)(key)
        return events

    test_timeline = Wigwag.test_timeline
    test_timeline_commands = Wigwag.test_timeline_commands
    test_own_keys = Wigwag.test_own_keys

    def test_endings(self):
        # The first start: the load's message box, the window hidden until its OK, then the
        # defaults, saved at the close; unusual values (a greyed box, a list without a choice,
        # the list's last key) written back as they were.
        directory = self.folder()
        proc = self.start(directory)
        self.assertIsNotNone(self.window(CONTINUE))
        self.assertIsNone(self.window(MAIN, wait=0))
        self.close(CONTINUE)
        self.close(self.window(), proc)
        self.assertEqual(self.saved(directory), "0|0|0|0|31|26|" + FOOTER)
        self.run_program("1|2|0|-1|62|9|", [])
        # Running, ended by a WM_QUIT or with the Windows session: the keys let go and the
        # settings saved. The flash key is Insert, an extended key (the receiver checks every
        # own key's scan code and extended flag).
        for how in ("quit", "session"):
            self.run_program("1|1|1|0|3|26|", [("Delete", 1.2)], how)
        events = self.events()
        for key in ("0", "BackSpace", "b"):
            self.assertEqual(len(times(events, key, "press")), 2, key)
            self.assertEqual(len(times(events, key, "release")), 2, key)
        self.assertGreaterEqual(len(times(events, "Insert", "press")), 4)

    def test_layout(self):
        # Every control where the layout table puts it.
        proc = self.start(self.folder(), ALL_ON)
        self.window()
        self.assertRegex(self.call("wine", RECEIVER, "layout"), r"\A\d+ controls\n\Z")
        self.close(MAIN, proc)

    def talk(self, message):
        return subprocess.run(["wine", RECEIVER, "talk"], input=message, capture_output=True,
                              env=self.env, timeout=self.patience).stdout

    def front(self):
        return self.call("wine", RECEIVER, "foreground")[:-1]

    test_one_instance = Wigwag.test_one_instance

    def test_squatted_pipe(self):
        # The pipe's name made first by another owner: the program runs without commands; a
        # command fails without a word to that pipe.
        squatter = self.popen(["wine", RECEIVER, "squat"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE)
        self.assertEqual(squatter.stdout.readline(), "ready\n")
        proc = self.start(self.folder(), ALL_ON)
        self.window()
        self.assertEqual(self.command("--status"),
                         (1, "", "wigwag: the command pipe belongs to another user\n"))
        self.close(MAIN, proc)
        self.assertEqual(squatter.communicate(timeout=self.patience)[0], "0 bytes\n")

    def open_display(self, runtime):
        env = super().open_display(runtime)
        if self._testMethodName == "test_wheel":
            # Wine's bus driver finds the bed's wheels through udev, with its SDL bus off,
            # in a Wine server started inside the bed. The first wheel is there when Wine
            # starts: one announced while Wine looks comes twice, which Wine 8 crashes on.
            self.bed = Bed(wine=True)
            env["UMOCKDEV_DIR"] = self.bed.root
            subprocess.run(["wine", "reg", "add", r"HKLM\System\CurrentControlSet\Services\winebus",
                            "/v", "Enable SDL", "/t", "REG_DWORD", "/d", "0", "/f"], env=env,
                           check=True, stdout=subprocess.DEVNULL)
            for command in (["wineserver", "-k"], ["wineserver", "-w"]):
                subprocess.run(command, env=env)
            self.wheels = [self.bed.plug(RALLY)]
        return env

    def test_wheel(self):
        code, out, err = self.command("--list-devices")
        self.assertEqual((code, err), (0, ""))
        self.assertRegex(out, r"\A046d:c24f  Race & Rally Wheel  24 buttons  readable  \([^\n]*\)\n\Z")
        wheel = lambda n: self.wheels[n - 1]  # noqa: E731
        caption = "Button 18 \u00b7 Race && Rally Wheel"

        def shown():
            return self.call("wine", RECEIVER, "text", "cmdWheel")[:-1]

        def choose(before):
            self.assertEqual(shown(), before)
            self.click("cmdWheel")
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


if __name__ == "__main__":
    BUILT = PROGRAM, RECEIVER = tuple(map(os.path.abspath, sys.argv[1:3]))
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
