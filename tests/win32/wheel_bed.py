#!/usr/bin/env python3
"""Fake USB wheels for wigwag.exe under Wine, on a umockdev test bed, driven by the program
it starts: umockdev-wrapper python3 wheel_bed.py <command> [args...]

Starts the command (the end-to-end driver under Wine) inside the test bed and reads its
standard output: "bed plug N", "bed unplug N", "bed down N B", "bed up N B" plug in wheel N
(a new device node each time), unplug it, press or release its button B; every other line
is passed through. Wheel 1 is plugged in from the start. Wine's bus driver reads the wheels
through udev and evdev as it reads real ones (tests/devices/fake_joysticks.py's wheel).
"""
import os
import subprocess
import sys
import tempfile

import gi

sys.dont_write_bytecode = True  # nothing left beside the tests

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "devices"))
import fake_joysticks  # noqa: E402

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

VENDOR, PRODUCT = 0x046D, 0xC24F
NAME = "Race & Rally Wheel"
WHEEL = fake_joysticks.wheel(NAME.encode(), VENDOR, PRODUCT)  # 24 buttons, 4 axes
# Wine's bus driver asks with buffer sizes of its own, and takes a name only from an answer
# that gives its length: the names here, the event types and relative axes in 4 and 2 bytes.
WHEEL.name_sizes = ()
WINE_IOCTLS = "".join(
    f"EVIOCGNAME {len(NAME) + 1} {NAME.encode().ljust(size, bytes(1)).hex().upper()}\n"
    for size in (64, 80, 128, 255, 256, 259, 1024)) + (
    f"EVIOCGBIT(0) 4 {fake_joysticks.bits([0, 1, 3], 4).hex().upper()}\nEVIOCGBIT(2) 2 0000\n")


class Bed:
    def __init__(self):
        self.testbed = UMockdev.Testbed.new()
        self.dir = tempfile.mkdtemp(prefix="wheel-bed-")
        self.ioctl = os.path.join(self.dir, "wheel.ioctl")
        with open(self.ioctl, "w") as f:
            f.write(WINE_IOCTLS + fake_joysticks.ioctl_text(WHEEL))
        self.nodes = {}

    def plug(self, n):
        node, text = f"/dev/input/event{n}", fake_joysticks.udev_text(WHEEL, n, n)
        # The ioctl answers first: adding a device announces it at once ("add" uevents, parents
        # first), and Wine reads it then.
        if not self.testbed.load_ioctl(node, self.ioctl):
            raise RuntimeError("the ioctl file was not taken")
        self.testbed.add_from_string(text)
        self.nodes[n] = (text.split("\n")[0][3:], self.testbed.get_dev_fd(node))

    def unplug(self, n):
        # Only the node's "remove": Wine 8's bus driver does not survive the whole removal.
        event, _ = self.nodes.pop(n)
        self.testbed.uevent("/sys" + event, "remove")

    def button(self, n, number, down):
        os.write(self.nodes[n][1], fake_joysticks.button(WHEEL.button_code(number), int(down)))


def wine_setting():
    """Wine's bus driver sees umockdev's devices only through udev, with its SDL bus off; the
    wineserver is started afresh inside the test bed."""
    subprocess.run(["wineserver", "-k"], check=False)
    subprocess.run(["wineserver", "-w"], check=False)
    subprocess.run(["wine", "reg", "add", r"HKLM\System\CurrentControlSet\Services\winebus",
                    "/v", "Enable SDL", "/t", "REG_DWORD", "/d", "0", "/f"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-k"], check=False)
    subprocess.run(["wineserver", "-w"], check=False)


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    bed = Bed()
    wine_setting()
    # Wheel 1 is there when Wine starts, and found by its first look: a wheel announced
    # while Wine looks makes a duplicate, which Wine 8's bus driver crashes on.
    bed.plug(1)
    program = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, bufsize=0)
    for raw in program.stdout:
        line = raw.decode(errors="replace").rstrip("\r\n")
        words = line.split()
        if words[:1] != ["bed"]:
            print(line, flush=True)
        elif words[1] == "plug":
            bed.plug(int(words[2]))
        elif words[1] == "unplug":
            bed.unplug(int(words[2]))
        elif words[1] in ("down", "up"):
            bed.button(int(words[2]), int(words[3]), words[1] == "down")
    code = program.wait()
    subprocess.run(["wineserver", "-k"], check=False)
    return code


if __name__ == "__main__":
    sys.exit(main())
