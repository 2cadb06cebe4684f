"""Fake game controllers for umockdev: the udev description (sysfs attributes, udev
properties, a USB parent with the ids) and the answers to the evdev ioctls that libevdev
asks at open, in umockdev's ioctl text format.

umockdev matches an answer by the whole request code, the buffer size included: each
answer below has the size libevdev asks with (EVIOCGNAME(255), EVIOCGBIT(EV_KEY, 96) ...);
another reader asking with other sizes needs lines of its own. A line that does not parse
silently drops the rest of the file.
"""
import struct
from dataclasses import dataclass, field

EV_SYN, EV_KEY, EV_ABS, EV_MSC = 0, 1, 3, 4
SYN_REPORT, SYN_DROPPED = 0, 3
BTN_MISC, BTN_JOYSTICK, BTN_TRIGGER_HAPPY = 0x100, 0x120, 0x2C0
KEY_CNT, ABS_X, ABS_Y, ABS_Z, ABS_RZ = 0x300, 0, 1, 2, 5
INPUT_EVENT = struct.Struct("llHHi")  # struct input_event on 64-bit Linux


@dataclass
class Controller:
    name: bytes                      # as EVIOCGNAME gives it: any bytes
    vendor: int
    product: int
    buttons: list = field(default_factory=list)  # key codes, in any order
    axes: list = field(default_factory=list)     # ABS codes, 0..65535

    def button_code(self, number):
        """The key code of the 1-based button number, in the kernel's order."""
        return sorted(self.buttons)[number - 1]


# Where wheels and boxes have their buttons: BTN_JOYSTICK.. and BTN_TRIGGER_HAPPY1..
GAME_CODES = [*range(BTN_JOYSTICK, BTN_JOYSTICK + 16), *range(BTN_TRIGGER_HAPPY, KEY_CNT)]


def wheel(name=b"Fake Racing Wheel", vendor=0x046D, product=0xC24F):
    return Controller(name, vendor, product, GAME_CODES[:24], [ABS_X, ABS_Y, ABS_Z, ABS_RZ])


def button_box(name=b"Fake Button Box", vendor=0x16D0, product=0x0A4B, buttons=32):
    # More than those 80 take every code from BTN_MISC up.
    codes = GAME_CODES if buttons <= len(GAME_CODES) else range(BTN_MISC, KEY_CNT)
    return Controller(name, vendor, product, list(codes[:buttons]))


def bits(codes, size):
    out = bytearray(size)
    for code in codes:
        out[code // 8] |= 1 << (code % 8)
    return bytes(out)


def ioctl_text(c):
    types = [EV_SYN] + ([EV_KEY] if c.buttons else []) + ([EV_ABS] if c.axes else [])
    name = c.name[:254]
    lines = [f"EVIOCGBIT(0) 0 {bits(types, 8).hex().upper()}",
             f"EVIOCGNAME 0 {(name + bytes(255 - len(name))).hex().upper()}",
             f"EVIOCGPHYS 0 {bytes(255).hex()}",
             f"EVIOCGUNIQ 0 {bytes(255).hex()}",
             f"EVIOCGID 0 {struct.pack('<HHHH', 3, c.vendor, c.product, 0x111).hex().upper()}",
             "EVIOCGVERSION 0 01000100",
             f"EVIOCGPROP 0 {bytes(8).hex()}"]
    for ev_type, size, codes in ((2, 8, []), (EV_ABS, 8, c.axes), (17, 8, []),
                                 (EV_KEY, KEY_CNT // 8, c.buttons), (5, 8, []), (EV_MSC, 8, []),
                                 (21, 16, []), (18, 8, [])):
        lines.append(f"EVIOCGBIT({ev_type}) 0 {bits(codes, size).hex().upper()}")
    lines += [f"EVIOCGKEY 0 {bytes(KEY_CNT // 8).hex()}",
              f"EVIOCGLED 0 {bytes(8).hex()}",
              f"EVIOCGSW 0 {bytes(8).hex()}"]
    for axis in c.axes:
        lines.append(f"EVIOCGABS({axis}) 0 "
                     f"{struct.pack('<6i', 32768, 0, 65535, 0, 0, 0).hex().upper()}")
    return "\n".join(lines) + "\n"


def pressed_keys_line(codes):
    """An EVIOCGKEY answer with these keys down, for the state read after SYN_DROPPED.
    umockdev looks for the answer to a request from the line after the last one it gave,
    so appended to ioctl_text() this answers the second read of the keys, not the first."""
    return f"EVIOCGKEY 0 {bits(codes, KEY_CNT // 8).hex().upper()}\n"


def udev_text(c, number, port):
    """The event node /dev/input/event<number> on USB port <port>, child first."""
    usb = f"/devices/pci0000:00/0000:00:14.0/usb1/1-{port}"
    interface = f"{usb}/1-{port}:1.0"
    inputdev = f"{interface}/input/input{number}"
    shown = c.name.decode("ascii", "replace").replace("\ufffd", "?")
    return (f"P: {inputdev}/event{number}\nN: input/event{number}\n"
            f"E: DEVNAME=/dev/input/event{number}\nE: ID_INPUT=1\nE: ID_INPUT_JOYSTICK=1\n"
            f"E: MAJOR=13\nE: MINOR={64 + number}\nE: SUBSYSTEM=input\nA: dev=13:{64 + number}\n\n"
            f"P: {inputdev}\nE: ID_INPUT=1\nE: ID_INPUT_JOYSTICK=1\nE: SUBSYSTEM=input\n"
            f"E: PRODUCT=3/{c.vendor:x}/{c.product:x}/111\nA: name={shown}\n\n"
            f"P: {interface}\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\n\n"
            f"P: {usb}\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n"
            f"A: idVendor={c.vendor:04x}\nA: idProduct={c.product:04x}\n\n")


def event(ev_type, code, value):
    return INPUT_EVENT.pack(0, 0, ev_type, code, value)


def button(code, value):
    """One report: a button down (1), up (0) or repeated (2), ended by SYN_REPORT."""
    return event(EV_KEY, code, value) + event(EV_SYN, SYN_REPORT, 0)

