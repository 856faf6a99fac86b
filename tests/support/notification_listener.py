#!/usr/bin/python3
"""Stands in for a desktop's notification service on a private D-Bus session bus.

Owns org.freedesktop.Notifications on the bus named by DBUS_SESSION_BUS_ADDRESS,
answers the calls a notification client makes, and appends one JSON line per
Notify call (app name, summary, body) to the file given as the only argument.
Prints "ready" on standard output once the name is owned.
"""
import json
import sys

from gi.repository import Gio, GLib

INTERFACE = """
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  </interface>
</node>
"""


def main():
    record_path = sys.argv[1]
    loop = GLib.MainLoop()
    counter = [0]

    def on_call(connection, sender, path, interface, method, params, invocation):
        if method == "Notify":
            app, _replaces, _icon, summary, body, _actions, _hints, _timeout = params.unpack()
            with open(record_path, "a", encoding="utf-8") as out:
                out.write(json.dumps({"app": app, "summary": summary, "body": body}) + "\n")
            counter[0] += 1
            invocation.return_value(GLib.Variant("(u)", (counter[0],)))
        elif method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (["body"],)))
        elif method == "GetServerInformation":
            invocation.return_value(GLib.Variant("(ssss)", ("listener", "tarnel-tests", "1", "1.2")))
        else:
            invocation.return_value(None)

    def on_bus(connection, _name):
        node = Gio.DBusNodeInfo.new_for_xml(INTERFACE)
        connection.register_object("/org/freedesktop/Notifications", node.interfaces[0], on_call, None, None)

    def on_name(_connection, _name):
        print("ready", flush=True)

    def on_lost(_connection, _name):
        loop.quit()

    Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.Notifications",
                     Gio.BusNameOwnerFlags.DO_NOT_QUEUE, on_bus, on_name, on_lost)
    loop.run()
    return 1


if __name__ == "__main__":
    sys.exit(main())
