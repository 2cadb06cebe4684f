# Wigwag in a real Wayland session: sway, headless, with XWayland. Wigwag and the receiver
# are X clients under XWayland; a sway key binding runs `wigwag --toggle`, and wtype, a
# Wayland client, presses the bound key. The way a player switches Wigwag from a desktop
# shortcut where no program may read the keyboard globally.
#   sway_test.py WIGWAG X11_RECEIVER
# Run as root, the session and every client run as the user "nobody".
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

# Flash, horn and hazards ticked; start/stop DELETE, flash G, horn B.
ALL_ON = "1|1|1|0|31|26|"
TOOLS = ("sway", "swaymsg", "wtype", "Xwayland", "xdotool", "setxkbmap")


def times(events, key, kind, start=0.0):
    return [t for k, name, t in events if name == key and k == kind and start <= t]


@unittest.skipIf(any(shutil.which(tool) is None for tool in TOOLS),
                 "needs " + ", ".join(TOOLS) + " (bash tools/setup-debian.sh test)")
class Sway(unittest.TestCase):
    def setUp(self):
        self.user = {}
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            self.user = dict(user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[])
        self.dir = tempfile.mkdtemp(prefix="wigwag-sway-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        os.chmod(self.dir, 0o755)
        # The programs, where the session's user may run them whatever the build folder is.
        self.program = shutil.copy(PROGRAM, self.dir)
        self.receiver_program = shutil.copy(RECEIVER, self.dir)
        runtime, self.work = (os.path.join(self.dir, name) for name in ("runtime", "work"))
        for folder, mode in ((runtime, 0o700), (self.work, 0o755)):
            os.mkdir(folder, mode)
            self.own(folder)
        with open(os.path.join(self.work, "wigwag.cfg"), "w", newline="") as f:
            f.write(ALL_ON + "\r\n")
        self.own(os.path.join(self.work, "wigwag.cfg"))
        self.answers = os.path.join(self.work, "answers")
        session = os.path.join(runtime, "session")
        config = os.path.join(self.dir, "config")
        # wtype's virtual keyboard brings a keymap of the one key it types, and XWayland
        # takes it over for its X clients; a real keyboard's keymap has every key. The
        # binding gives XWayland a whole keymap back before it runs the command.
        binding = os.path.join(self.dir, "binding.sh")
        with open(binding, "w") as f:
            f.write("#!/bin/sh\nsetxkbmap -layout us 2>/dev/null\n"
                    f"exec {self.program} --toggle >>{self.answers} 2>&1\n")
        os.chmod(binding, 0o755)
        with open(config, "w") as f:
            f.write(f"xwayland enable\nbindsym F9 exec {binding}\n"
                    f"exec env >{session}.part && mv {session}.part {session}\n")
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.work,
                    "XDG_RUNTIME_DIR": runtime, "WLR_BACKENDS": "headless",
                    "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"}
        # Its log, shown when the test fails.
        self.log = tempfile.TemporaryFile(mode="w+")
        sway = subprocess.Popen(["sway", "-d", "-c", config], env=self.env, stdout=self.log,
                                stderr=subprocess.STDOUT, **self.user)
        self.addCleanup(self.end, sway)
        deadline = time.monotonic() + 20
        while not os.path.exists(session):
            self.assertIsNone(sway.poll(), "sway ended")
            self.assertLess(time.monotonic(), deadline, "sway did not start")
            time.sleep(0.1)
        with open(session) as f:
            variables = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK"):
            self.assertIn(name, variables)
            self.env[name] = variables[name]

    def run(self, result=None):
        self.log = None
        result = super().run(result)
        if self.log:
            if result and (result.failures or result.errors):
                self.log.seek(0)
                sys.stderr.write("sway's log, last lines:\n" + "".join(self.log.readlines()[-60:]))
            self.log.close()
        return result

    def own(self, path):
        if self.user:
            os.chown(path, self.user["user"], self.user["group"])

    def end(self, proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def call(self, *command):
        return subprocess.run(command, env=self.env, check=True, capture_output=True, text=True,
                              timeout=20, **self.user).stdout

    def test_toggle_from_a_sway_key_binding(self):
        wigwag = subprocess.Popen([self.program], cwd=self.work, env=self.env,
                                  stderr=subprocess.PIPE, text=True, **self.user)
        self.addCleanup(self.end, wigwag)
        self.call("xdotool", "search", "--sync", "--onlyvisible", "--pid", str(wigwag.pid))
        receiver = subprocess.Popen([self.receiver_program, "record"], env=self.env, text=True,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, **self.user)
        self.addCleanup(self.end, receiver)
        ready = receiver.stdout.readline().split()
        self.assertEqual(ready[0], "ready")
        # sway gives the focus to the newest window; the keys must go to the receiver.
        deadline = time.monotonic() + 10
        while (focus := subprocess.run(["swaymsg", f"[id={ready[1]}] focus"], env=self.env,
                                       capture_output=True, text=True, **self.user)).returncode:
            self.assertLess(time.monotonic(), deadline, focus.stdout + focus.stderr)
            time.sleep(0.1)
        time.sleep(0.5)

        t_on = time.monotonic()
        self.call("wtype", "-k", "F9")
        time.sleep(2.5)
        t_off = time.monotonic()
        self.call("wtype", "-k", "F9")
        time.sleep(0.8)
        self.assertEqual(self.call(self.program, "--status"), "Not Running\n")
        wigwag.terminate()
        _, err = wigwag.communicate(timeout=10)
        self.assertEqual(wigwag.returncode, 0, err)
        receiver.stdin.close()
        events = [(kind, key, int(us) / 1e6) for kind, key, _, us, _ in
                  map(str.split, receiver.stdout.read().splitlines())]

        with open(self.answers) as f:
            self.assertEqual(f.read(), "Running\nNot Running\n")
        # The burst, then the horn held, the headlights and the hazards until the second
        # press; the bound key itself never reaches the receiver.
        self.assertEqual(times(events, "F9", "press"), [])
        t0 = times(events, "0", "press")[0]
        self.assertTrue(t_on < t0 < t_on + 1.0, t0 - t_on)
        self.assertAlmostEqual(times(events, "b", "press")[0] - t0, 0.1, delta=0.08)
        self.assertAlmostEqual(times(events, "g", "press")[0] - t0, 0.4, delta=0.15)
        self.assertAlmostEqual(times(events, "9", "press")[0] - t0, 1.0, delta=0.15)
        self.assertGreaterEqual(len(times(events, "g", "press")), 8)
        b_up = times(events, "b", "release")[0]
        self.assertTrue(t_off < b_up < t_off + 1.0, b_up - t_off)
        for key in ("g", "9"):
            self.assertEqual(times(events, key, "press", start=b_up + 0.35), [], key)


if __name__ == "__main__":
    PROGRAM, RECEIVER = (os.path.abspath(path) for path in sys.argv[1:3])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
