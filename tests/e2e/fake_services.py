"""Small D-Bus services standing in for the desktop's, on the test's private session bus.

    fake_services.py session-manager
    fake_services.py tray (true|false|string)
    fake_services.py keyring

Each prints "ready" once it owns its name, then one JSON line per call it receives."""

import json
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib


def report(event, *args):
    print(json.dumps({"event": event, "args": list(args), "time": time.monotonic()}),
          flush=True)


SM_NAME = "org.gnome.SessionManager"
SM_PATH = "/org/gnome/SessionManager"
CLIENT_PATH = "/org/gnome/SessionManager/Client1"
CLIENT_INTERFACE = "org.gnome.SessionManager.ClientPrivate"
CONTROL_INTERFACE = "org.wrenpad.Test"


class SessionClient(dbus.service.Object):
    @dbus.service.signal(CLIENT_INTERFACE, signature="u")
    def QueryEndSession(self, flags):
        pass

    @dbus.service.method(CLIENT_INTERFACE, in_signature="bs")
    def EndSessionResponse(self, is_ok, reason):
        report("EndSessionResponse", bool(is_ok), str(reason))


class SessionManager(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, SM_PATH)
        self.client = None
        self.bus = bus
        self.next_cookie = 42

    @dbus.service.method(SM_NAME, in_signature="ss", out_signature="o")
    def RegisterClient(self, app_id, startup_id):
        report("RegisterClient", str(app_id), str(startup_id))
        if self.client is None:
            self.client = SessionClient(self.bus, CLIENT_PATH)
        return dbus.ObjectPath(CLIENT_PATH)

    @dbus.service.method(SM_NAME, in_signature="o")
    def UnregisterClient(self, path):
        report("UnregisterClient", str(path))

    @dbus.service.method(SM_NAME, in_signature="susu", out_signature="u")
    def Inhibit(self, app_id, toplevel_xid, reason, flags):
        cookie = self.next_cookie
        self.next_cookie += 1
        report("Inhibit", str(app_id), int(toplevel_xid), str(reason), int(flags), cookie)
        return dbus.UInt32(cookie)

    @dbus.service.method(SM_NAME, in_signature="u")
    def Uninhibit(self, cookie):
        report("Uninhibit", int(cookie))

    @dbus.service.method(SM_NAME, in_signature="u", out_signature="b")
    def IsInhibited(self, flags):
        return False

    @dbus.service.method(CONTROL_INTERFACE)
    def QueryEnd(self):
        """Asks the registered client whether the session may end."""
        report("QueryEnd", self.client is not None)
        if self.client is not None:
            self.client.QueryEndSession(dbus.UInt32(0))


class TrayWatcher(dbus.service.Object):
    def __init__(self, bus, answer):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.answer = answer

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss",
                         out_signature="v")
    def Get(self, interface, prop):
        report("Get", str(interface), str(prop))
        if self.answer == "string":
            return dbus.String("yes", variant_level=1)
        return dbus.Boolean(self.answer == "true", variant_level=1)


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    kind = sys.argv[1]
    if kind == "session-manager":
        service = SessionManager(bus)
        name = dbus.service.BusName(SM_NAME, bus)
    elif kind == "tray":
        service = TrayWatcher(bus, sys.argv[2])
        name = dbus.service.BusName("org.kde.StatusNotifierWatcher", bus)
    elif kind == "keyring":
        service = None
        name = dbus.service.BusName("org.freedesktop.secrets", bus)
    else:
        sys.exit("unknown service " + kind)
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
