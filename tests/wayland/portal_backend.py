"""The desktop's side of the portals, for the Wayland tests.

  portal_backend.py backend  for the real xdg-desktop-portal: RemoteDesktop passes keys on to
                             mutter's; GlobalShortcuts binds one shortcut, activated on the
                             test's word and, as a desktop does, when its trigger key goes down
  portal_backend.py portal   a stand-in of the portal, RemoteDesktop version 2 (a consent kept
                             by a restore token); keys are only recorded

Words in: "answer METHOD N" (the response to the next CreateSession, SelectDevices or Start),
"activate", "deactivate", "close" (the desktop ends the remote-desktop session), "stall" (keys
are no longer answered). Lines out: "ready", "portal", "mutter" (each on the bus), "select
k=v ...", "key CODE STATE TIME", "bind TRIGGER", "activated TIME", "deactivated TIME",
"METHOD N" (refused or failed), "closed".
"""
import itertools
import sys
import time

from gi.repository import Gio, GLib

PATH = "/org/freedesktop/portal/desktop"
# A few triggers' keys, as evdev codes.
CODES = {"Delete": 111, "g": 34, "BackSpace": 14, "Shift_L": 42, "F9": 67}
IMPL = "org.freedesktop.impl.portal."
XML = """<node><interface name="{rd}RemoteDesktop">
  <method name="CreateSession">{create}<arg type="a{{sv}}" direction="in"/>{out}</method>
  <method name="SelectDevices">{handles}<arg type="a{{sv}}" direction="in"/>{out}</method>
  <method name="Start">{handles}<arg type="s" direction="in"/><arg type="a{{sv}}" direction="in"/>
    {out}</method>
  <method name="NotifyKeyboardKeycode"><arg type="o" direction="in"/><arg type="a{{sv}}"
    direction="in"/><arg type="i" direction="in"/><arg type="u" direction="in"/></method>
  <property name="AvailableDeviceTypes" type="u" access="read"/>
  <property name="version" type="u" access="read"/></interface>
<interface name="{rd}GlobalShortcuts">
  <method name="CreateSession">{create}<arg type="a{{sv}}" direction="in"/>{out}</method>
  <method name="BindShortcuts"><arg type="o" direction="in"/><arg type="o" direction="in"/>
    <arg type="a(sa{{sv}})" direction="in"/><arg type="s" direction="in"/>
    <arg type="a{{sv}}" direction="in"/>{out}</method>
  <signal name="Activated"><arg type="o"/><arg type="s"/><arg type="t"/><arg type="a{{sv}}"/>
  </signal><signal name="Deactivated"><arg type="o"/><arg type="s"/><arg type="t"/>
  <arg type="a{{sv}}"/></signal><property name="version" type="u" access="read"/></interface>
<interface name="{rd}Session"><method name="Close"/><signal name="Closed">{closed}</signal>
  <property name="version" type="u" access="read"/></interface>
<interface name="org.freedesktop.portal.Request"><method name="Close"/>
  <signal name="Response"><arg type="u"/><arg type="a{{sv}}"/></signal></interface></node>"""


class Desktop:
    def __init__(self, mode):
        self.backend = mode == "backend"
        prefix = IMPL if self.backend else "org.freedesktop.portal."
        self.rd, self.gs, self.session_iface = (prefix + name for name in
                                                ("RemoteDesktop", "GlobalShortcuts", "Session"))
        handles = '<arg type="o" direction="in"/>' * 2 + '<arg type="s" direction="in"/>'
        out = '<arg type="u" direction="out"/><arg type="a{sv}" direction="out"/>'
        create = handles
        if not self.backend:  # the portal takes the session, answers with a request's path
            handles, out = '<arg type="o" direction="in"/>', '<arg type="o" direction="out"/>'
            create = ""
        self.info = Gio.DBusNodeInfo.new_for_xml(XML.format(
            rd=prefix, handles=handles, create=create, out=out, closed="" if self.backend else
            '<arg type="a{sv}"/>'))
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        self.answers, self.tokens = {}, itertools.count(1)
        self.sessions = {}      # session path -> registration ids
        self.mutter = None      # mutter's remote-desktop session, while one runs
        self.remote = None      # our remote-desktop session's path
        self.shortcut = None    # (session path, id, trigger code)
        self.down = set()       # keys down by the program's events
        self.stalled = None     # after "stall", the keys left unanswered
        for name in (self.rd, self.gs) if self.backend else (self.rd,):
            self.register(PATH, name)
        owned = "org.freedesktop.impl.portal.desktop.wigwag" if self.backend else \
            "org.freedesktop.portal.Desktop"
        Gio.bus_own_name_on_connection(self.bus, owned, Gio.BusNameOwnerFlags.NONE,
                                       lambda *_: say("ready"), None)
        if self.backend:  # the portal in front of it, and mutter's remote desktop behind it
            for name, line in (("org.freedesktop.portal.Desktop", "portal"),
                               ("org.gnome.Mutter.RemoteDesktop", "mutter")):
                Gio.bus_watch_name_on_connection(self.bus, name, Gio.BusNameWatcherFlags.NONE,
                                                 lambda *_, line=line: say(line), None)
        GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, self.word)

    def register(self, path, name):
        return self.bus.register_object(path, self.info.lookup_interface(name), self.call,
                                        self.property, None)

    def property(self, _bus, _sender, _path, interface, name):
        version = 1 if self.backend else 2
        return GLib.Variant("u", 1 if name == "AvailableDeviceTypes" else version)

    def call(self, _bus, sender, path, interface, method, args, invocation):
        args = args.unpack()
        if method == "NotifyKeyboardKeycode":
            _, _, code, state = args
            say(f"key {code} {state} {time.monotonic():.6f}")
            if self.mutter:
                self.mutter_call(self.mutter, "NotifyKeyboardKeycode",
                                 GLib.Variant("(ub)", (code, bool(state))))
            if self.shortcut and code == self.shortcut[2] and state != (code in self.down):
                self.emit("Activated" if state else "Deactivated")  # a desktop takes its trigger
            (self.down.add if state else self.down.discard)(code)
            if self.stalled is not None:  # kept, never answered
                return self.stalled.append(invocation)
            return invocation.return_value(None)
        if interface.endswith("Session"):  # Close
            self.close_session(path, tell=False)
            return invocation.return_value(None)
        options = args[-1]
        if self.backend:
            handle, session = args[0], args[1]
        else:
            session = args[0] if method != "CreateSession" else "{}/session/{}/{}".format(
                PATH, sender[1:].replace(".", "_"), options["session_handle_token"])
            handle = "{}/request/{}/{}".format(PATH, sender[1:].replace(".", "_"),
                                               options["handle_token"])
        response, results = self.answers.pop(method, 0), {}
        if response:  # refused or failed
            say(f"{method} {response}")
        elif method == "CreateSession":
            self.sessions[session] = self.register(session, self.session_iface)
            results["session_handle"] = GLib.Variant("s", session)
            results["session_id"] = GLib.Variant("s", session.rsplit("/", 1)[-1])
        elif method == "SelectDevices":
            say("select " + " ".join(f"{k}={v}" for k, v in sorted(options.items())
                                     if k != "handle_token"))
        elif method == "Start":
            self.remote = session
            results["devices"] = GLib.Variant("u", 1)
            if not self.backend:
                results["restore_token"] = GLib.Variant("s", f"token-{next(self.tokens)}")
            elif self.mutter is None:
                self.mutter = self.mutter_call("/org/gnome/Mutter/RemoteDesktop",
                                               "CreateSession", None)[0]
                self.mutter_call(self.mutter, "Start", None)
        elif method == "BindShortcuts":
            shortcut_id, values = args[2][0]
            trigger = values.get("preferred_trigger", "")
            say(f"bind {trigger}")
            self.shortcut = (session, shortcut_id, CODES.get(trigger))
            results["shortcuts"] = GLib.Variant("a(sa{sv})", [(shortcut_id, {
                "description": GLib.Variant("s", values.get("description", "")),
                "trigger_description": GLib.Variant("s", trigger)})])
        if self.backend:
            invocation.return_value(GLib.Variant("(ua{sv})", (response, results)))
        else:  # the answer comes after the call, on the request's own object
            invocation.return_value(GLib.Variant("(o)", (handle,)))
            GLib.idle_add(lambda: self.bus.emit_signal(
                sender, handle, "org.freedesktop.portal.Request", "Response",
                GLib.Variant("(ua{sv})", (response, results))) and False)

    def mutter_call(self, path, method, args):
        interface = "org.gnome.Mutter.RemoteDesktop" + ("" if method == "CreateSession" else
                                                        ".Session")
        return self.bus.call_sync("org.gnome.Mutter.RemoteDesktop", path, interface, method,
                                  args, None, 0, -1, None).unpack()

    def emit(self, signal):
        say(f"{signal.lower()} {time.monotonic():.6f}")
        session, shortcut_id, _ = self.shortcut
        self.bus.emit_signal(None, PATH, self.gs, signal, GLib.Variant(
            "(osta{sv})", (session, shortcut_id, int(time.time() * 1e6), {})))

    def close_session(self, path, tell):
        if path == self.remote and self.mutter:
            self.mutter_call(self.mutter, "Stop", None)
            self.mutter = None
        if tell:
            self.bus.emit_signal(None, path, self.session_iface, "Closed",
                                 GLib.Variant("()" if self.backend else "(a{sv})",
                                              () if self.backend else ({},)))
        if path in self.sessions:
            self.bus.unregister_object(self.sessions.pop(path))
            say("closed")

    def word(self, stream, condition):
        line = stream.readline()
        if not line:
            loop.quit()
            return False
        word, *rest = line.split()
        if word == "answer":
            self.answers[rest[0]] = int(rest[1])
        elif word in ("activate", "deactivate"):
            self.emit(word.capitalize() + "d")
        elif word == "stall":
            self.stalled = []
        elif word == "close" and self.remote:
            self.close_session(self.remote, tell=True)
        return True


def say(line):
    print(line, flush=True)


if __name__ == "__main__":
    loop = GLib.MainLoop()
    Desktop(sys.argv[1])
    loop.run()
