#!/usr/bin/env python3
"""A fake game controller for wigwag.exe under Wine: a 20-button USB wheel on a umockdev
test bed, driven by the program it starts.

    umockdev-wrapper python3 wheel_bed.py <command> [args...]

Starts the command (the end-to-end driver under Wine) inside the test bed and reads its
standard output. Wheel 1 is plugged in from the start. Lines "bed plug N", "bed unplug N", "bed down N B", "bed up N B" plug in
wheel N (each plug a new device node), unplug it, press or release its button B (1 to 20)
at once; every other line is passed through. Wine's bus driver reads the wheel through
udev and evdev, as it reads a real one: the device's udev properties and sysfs attributes
are written here, and its evdev ioctls answered from a generated ioctl file.
"""
import os
import struct
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

VENDOR, PRODUCT, VERSION = 0x046D, 0xC24F, 0x0111
NAME = "Race & Rally Wheel"
# The 20 buttons' key codes, in the order Wine numbers them: BTN_TRIGGER to BTN_DEAD, then
# BTN_TRIGGER_HAPPY1 to 4.
BUTTONS = list(range(0x120, 0x130)) + list(range(0x2C0, 0x2C4))
AXES = (0, 1, 2)  # ABS_X (the wheel), ABS_Y and ABS_Z (pedals)
EV_SYN, EV_KEY, EV_ABS = 0, 1, 3


def bits(numbers, size):
    data = bytearray(size)
    for n in numbers:
        data[n // 8] |= 1 << (n % 8)
    return bytes(data)


def ioctl_text():
    """The wheel's evdev answers; each buffer size a caller asks with is a line of its own."""
    name = NAME.encode() + b"\0"
    lines = ["EVIOCGID 0 " + struct.pack("<HHHH", 3, VENDOR, PRODUCT, VERSION).hex().upper()]
    for size in (64, 80, 128, 255, 256, 259, 1024):
        lines.append(f"EVIOCGNAME {len(name)} " + name.ljust(size, b"\0").hex().upper())
    for size in (4, 8):
        lines.append(f"EVIOCGBIT(0) {size} " + bits((EV_SYN, EV_KEY, EV_ABS), size).hex().upper())
    lines.append("EVIOCGBIT(1) 96 " + bits(BUTTONS, 96).hex().upper())
    lines.append("EVIOCGBIT(2) 2 " + bytes(2).hex().upper())
    lines.append("EVIOCGBIT(3) 8 " + bits(AXES, 8).hex().upper())
    lines.append("EVIOCGBIT(21) 16 " + bytes(16).hex().upper())
    lines.append("EVIOCGKEY 96 " + bytes(96).hex().upper())
    for axis in AXES:
        absinfo = struct.pack("<6i", 32768, 0, 65535, 0, 0, 0)
        lines.append(f"EVIOCGABS({axis}) 0 " + absinfo.hex().upper())
    return "\n".join(lines) + "\n"


class Bed:
    def __init__(self):
        self.testbed = UMockdev.Testbed.new()
        self.dir = tempfile.mkdtemp(prefix="wheel-bed-")
        self.ioctl = os.path.join(self.dir, "wheel.ioctl")
        with open(self.ioctl, "w") as f:
            f.write(ioctl_text())
        self.nodes = {}

    def plug(self, n):
        usb = f"/devices/pci0000:00/0000:00:14.0/usb3/3-{n}"
        interface = f"{usb}/3-{n}:1.0"
        input_dev = f"{interface}/0003:{VENDOR:04X}:{PRODUCT:04X}.{n:04X}/input/input{n}"
        event = f"{input_dev}/event{n}"
        ids = f"{VENDOR:x}/{PRODUCT:x}/{VERSION:x}"
        node = f"/dev/input/event{n}"
        # The ioctl answers first: adding a device announces it at once ("add" uevents, parents
        # first), and Wine reads it then. No joystick (js) node, which has no buttons.
        if not self.testbed.load_ioctl(node, self.ioctl):
            raise RuntimeError("the ioctl file was not taken")
        self.testbed.add_from_string(
            f"P: {usb}\nN: bus/usb/003/{n + 1:03d}\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
            f"E: PRODUCT={ids}\nE: BUSNUM=003\nE: DEVNUM={n + 1:03d}\n"
            f"A: idVendor={VENDOR:04x}\nA: idProduct={PRODUCT:04x}\nA: bcdDevice={VERSION:04x}\n"
            f"A: manufacturer=Wigwag Tests\nA: product={NAME}\nA: serial=W{n:04d}\n\n"
            f"P: {interface}\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: INTERFACE=3/0/0\n\n"
            f"P: {input_dev}\nE: SUBSYSTEM=input\nE: PRODUCT=3/{ids}\nE: NAME=\"{NAME}\"\n"
            f"E: PHYS=\"usb-0000:00:14.0-{n}/input0\"\nE: ID_INPUT=1\nE: ID_INPUT_JOYSTICK=1\n"
            f"A: name={NAME}\nA: phys=usb-0000:00:14.0-{n}/input0\n"
            f"A: id/bustype=0003\nA: id/vendor={VENDOR:04x}\nA: id/product={PRODUCT:04x}\n"
            f"A: id/version={VERSION:04x}\n\n"
            f"P: {event}\nN: input/event{n}\nE: SUBSYSTEM=input\nE: DEVNAME=/dev/input/event{n}\n"
            f"E: MAJOR=13\nE: MINOR={64 + n}\nE: ID_INPUT=1\nE: ID_INPUT_JOYSTICK=1\n"
            f"A: dev=13:{64 + n}\n"
        )
        self.nodes[n] = (event, self.testbed.get_dev_fd(node))

    def unplug(self, n):
        # Only the node's "remove": Wine 8's bus driver does not survive the whole removal.
        event, _ = self.nodes.pop(n)
        self.testbed.uevent("/sys" + event, "remove")

    def button(self, n, number, down):
        _, fd = self.nodes[n]
        now = time.time()
        sec, usec = int(now), int((now % 1) * 1e6)
        os.write(fd, struct.pack("<qqHHi", sec, usec, EV_KEY, BUTTONS[number - 1], int(down)) +
                 struct.pack("<qqHHi", sec, usec, EV_SYN, 0, 0))


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
