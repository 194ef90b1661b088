#!/usr/bin/python3
# Listens on the accessibility bus as a screen reader does: it registers for
# the object and window events, so the front-end sends them, and counts what
# arrives. process_bench starts it; SIGUSR1 prints the counts so far, one
# line: "events N" followed by the ten commonest members.
#
#   access_listener.py A11Y_BUS_ADDRESS
import collections
import signal
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

counts = collections.Counter()


def on_signal(*args, **kwargs):
    counts[kwargs.get("interface", "?").rsplit(".", 1)[-1] + ":" + kwargs.get("member", "?")] += 1


def report(*_):
    top = " ".join(f"{k}={v}" for k, v in counts.most_common(10))
    print(f"events {sum(counts.values())} {top}", flush=True)
    return True


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(sys.argv[1])
    registry = bus.get_object("org.a11y.atspi.Registry", "/org/a11y/atspi/registry")
    for event in ("object:", "window:", "focus:"):
        registry.RegisterEvent(event, dbus.Array([], signature="s"), "",
                               dbus_interface="org.a11y.atspi.Registry")
    bus.add_signal_receiver(on_signal, interface_keyword="interface", member_keyword="member",
                            path_keyword="path")
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, report)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("listening", flush=True)
    loop.run()


main()
