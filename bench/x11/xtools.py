"""A private X server and the clients the benchmark drives."""

import os
import subprocess
import tempfile
import time
from dataclasses import dataclass


class Xvfb:
    """An Xvfb on a free display number, for one test."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    raise RuntimeError("Xvfb did not start")
                number += chunk
        self.display = ":" + number.decode().strip()
        # A runtime folder of its own: the program's socket for commands lives there.
        self.runtime = tempfile.TemporaryDirectory(prefix="wigwag-run-")
        os.chmod(self.runtime.name, 0o700)
        self.env = dict(os.environ, DISPLAY=self.display, XDG_RUNTIME_DIR=self.runtime.name)
        self.env.pop("WAYLAND_DISPLAY", None)

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.runtime.cleanup()


@dataclass
class KeyEvent:
    kind: str      # "press" or "release"
    key: str       # keysym name
    keycode: int
    t: float       # seconds, monotonic clock of this machine
    server: int    # milliseconds, the X server's time stamp


class Receiver:
    """The focused window that records every key event it gets."""

    def __init__(self, tool, env):
        self.tool = tool
        self.env = env
        self.proc = subprocess.Popen([tool, "record"], env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        if not line or line[0] != "ready":
            raise RuntimeError("the receiver did not start")
        self.window = line[1]

    def finish(self):
        """Stops recording and returns the events in the order they came."""
        self.proc.stdin.close()
        out = self.proc.stdout.read()
        self.proc.stdout.close()
        self.proc.wait(timeout=10)
        events = []
        for line in out.splitlines():
            kind, key, keycode, micros, server = line.split()
            events.append(KeyEvent(kind, key, int(keycode), int(micros) / 1e6, int(server)))
        return events

    def state(self):
        """(keycodes down now, auto-repeat settings) of the X server."""
        out = subprocess.run([self.tool, "state"], env=self.env, capture_output=True,
                             text=True, check=True).stdout.splitlines()
        down = [int(k) for k in out[0].split()[1:]]
        return down, out[1]

    def close_window(self, window):
        subprocess.run([self.tool, "close", window], env=self.env, check=True)


def now():
    return time.clock_gettime(time.CLOCK_MONOTONIC)


def xdotool(env, *args):
    """Runs xdotool and returns the monotonic time just before it was started."""
    t = now()
    subprocess.run(["xdotool", *args], env=env, check=True, capture_output=True)
    return t


def settings_file(directory, line):
    with open(os.path.join(directory, "wigwag.cfg"), "wb") as f:
        f.write((line + "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n")
                .encode("ascii"))


class Wigwag:
    """The program, started in its own directory, with its window found."""

    def __init__(self, program, env, settings_line):
        self.dir = tempfile.mkdtemp(prefix="wigwag-")
        if settings_line is not None:
            settings_file(self.dir, settings_line)
        self.proc = subprocess.Popen([program], cwd=self.dir, env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name",
                                "^Wigwag v1.1$"], env=env, capture_output=True, text=True,
                               timeout=20)
        self.window = found.stdout.split()[0]

    def wait(self, timeout=10):
        out, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, err

    def settings(self):
        with open(os.path.join(self.dir, "wigwag.cfg"), "rb") as f:
            return f.read().decode("ascii").split("\r\n")[0]

    def cpu_seconds(self):
        """User plus system CPU time of the running program."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
