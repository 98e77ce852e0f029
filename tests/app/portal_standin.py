#!/usr/bin/python3
# A stand-in for the desktop portal's ProxyResolver on the bus at argv[1]: "answer URI..." answers
# every Lookup with the URIs, "silent" takes the call and never answers.
import sys

import dbus
import dbus.bus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
address, mode, answer = sys.argv[1], sys.argv[2], sys.argv[3:]


class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.ProxyResolver", in_signature="s",
                         out_signature="as", async_callbacks=("reply", "error"))
    def Lookup(self, uri, reply, error):
        if mode == "answer":
            reply(dbus.Array(answer, signature="s"))


bus = dbus.bus.BusConnection(address)
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
Portal(bus, "/org/freedesktop/portal/desktop")
GLib.MainLoop().run()
