#!/usr/bin/python3
# A desktop notification service for tests, run on a private session bus (dbus-run-session): it owns
# org.freedesktop.Notifications, answers Notify and appends each call to the file named by its argument as
# one line: the summary, the body and when it came (the monotonic clock's nanoseconds), separated by tabs.
# It prints the bus address once the name is its own, and ends when its standard input closes.
#
#   fake_notifications.py RECORD                 as above
#   fake_notifications.py --run PROGRAM [ARG...]  runs PROGRAM once the name is its own, with the record's
#                                                 path in SIGNPOSTER_NOTIFY_RECORD, and ends with its status
import os
import subprocess
import sys
import tempfile
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


run = sys.argv[1] == "--run"
record = tempfile.mkstemp()[1] if run else sys.argv[1]
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
service = Notifications(bus, record)
name = dbus.service.BusName(INTERFACE, bus, do_not_queue=True)
loop = GLib.MainLoop()
status = 0
if run:
    program = subprocess.Popen(sys.argv[2:], env=dict(os.environ, SIGNPOSTER_NOTIFY_RECORD=record))

    def ended(pid, code):
        global status
        status = os.waitstatus_to_exitcode(code)
        loop.quit()

    GLib.child_watch_add(GLib.PRIORITY_DEFAULT, program.pid, ended)
else:
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, lambda *_: loop.quit())
    print(os.environ["DBUS_SESSION_BUS_ADDRESS"], flush=True)
loop.run()
if run:
    os.unlink(record)
sys.exit(1 if status else 0)
