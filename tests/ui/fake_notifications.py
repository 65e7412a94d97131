#!/usr/bin/python3
# A desktop notification service for tests, run on a private session bus (dbus-run-session): it owns
# org.freedesktop.Notifications, answers Notify and appends each call to the file named by its argument as
# one line: the summary, the body and when it came (the monotonic clock's nanoseconds), separated by tabs.
# It prints the bus address once the name is its own, and ends when its standard input closes.
import os
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

INTERFACE = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus, record):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.record = record
        self.last_id = 0

    @dbus.service.method(INTERFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last_id += 1
        with open(self.record, "a", encoding="utf-8") as out:
            out.write(f"{summary}\t{body}\t{time.monotonic_ns()}\n")
        return self.last_id

    @dbus.service.method(INTERFACE, out_signature="as")
    def GetCapabilities(self):
        return ["body"]


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
service = Notifications(bus, sys.argv[1])
name = dbus.service.BusName(INTERFACE, bus, do_not_queue=True)
loop = GLib.MainLoop()
GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, lambda *_: loop.quit())
print(os.environ["DBUS_SESSION_BUS_ADDRESS"], flush=True)
loop.run()
