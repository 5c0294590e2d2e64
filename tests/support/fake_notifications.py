#!/usr/bin/python3
"""A stand-in for the desktop's notification service on a test's own session bus.

Owns org.freedesktop.Notifications and writes each Notify call, one JSON line of its arguments,
to the file named on the command line; creates FILE.ready once it owns the name.
"""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

IFACE = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus, out):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.out = out
        self.last = 0

    @dbus.service.method(IFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last += 1
        with open(self.out, "a", encoding="utf-8") as f:
            f.write(json.dumps({"app": str(app), "icon": str(icon), "summary": str(summary),
                                "body": str(body), "timeout": int(timeout)}) + "\n")
        return dbus.UInt32(self.last)

    @dbus.service.method(IFACE, out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(IFACE, out_signature="ssss")
    def GetServerInformation(self):
        return ("fake", "sonquarry tests", "1", "1.2")


def main():
    out = sys.argv[1]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(IFACE, bus, do_not_queue=True)
    service = Notifications(bus, out)
    open(out + ".ready", "w").close()
    GLib.MainLoop().run()
    del name, service


if __name__ == "__main__":
    main()
