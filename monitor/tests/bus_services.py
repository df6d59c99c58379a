#!/usr/bin/python3
"""Stand-ins for the two system-bus services an alarm talks to.

  --user NAME          offer get_current_user, answering NAME
  --user-reply KIND    string (default), int, error: what get_current_user answers
  --transmit KIND      ok, error, empty, int: what log_transmit answers
                       (no --transmit: the log-transmission service is absent)
  --record FILE        append every text received by log_transmit to FILE,
                       one JSON-encoded string per line

Connects to the bus named by DBUS_SYSTEM_BUS_ADDRESS and prints "ready" once
every requested name is owned.
"""

import argparse
import json
import os
import signal
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

USER_NAME = "com.zantor.quorvane.pellionclient"
USER_PATH = "/quorvane/pellionclient"
TRANSMIT_NAME = "org.log.sys_transmit"
TRANSMIT_PATH = "/org/log/sys_transmit"
TRANSMIT_IFACE = "org.log.transmit"


class Failure(dbus.exceptions.DBusException):
    _dbus_error_name = "org.ferrow.Test.Failed"


def make_user_service(kind, name):
    if kind == "int":
        class UserService(dbus.service.Object):
            @dbus.service.method(USER_NAME, in_signature="", out_signature="i")
            def get_current_user(self):
                return 7
    elif kind == "error":
        class UserService(dbus.service.Object):
            @dbus.service.method(USER_NAME, in_signature="", out_signature="s")
            def get_current_user(self):
                raise Failure("no user")
    else:
        class UserService(dbus.service.Object):
            @dbus.service.method(USER_NAME, in_signature="", out_signature="s")
            def get_current_user(self):
                return name
    return UserService


def make_transmit_service(kind, record):
    def remember(text):
        if record:
            with open(record, "a", encoding="utf-8") as f:
                f.write(json.dumps(str(text)) + "\n")

    if kind == "error":
        class TransmitService(dbus.service.Object):
            @dbus.service.method(TRANSMIT_IFACE, in_signature="s", out_signature="s")
            def log_transmit(self, text):
                remember(text)
                raise Failure("refused")
    elif kind == "empty":
        class TransmitService(dbus.service.Object):
            @dbus.service.method(TRANSMIT_IFACE, in_signature="s", out_signature="")
            def log_transmit(self, text):
                remember(text)
    elif kind == "int":
        class TransmitService(dbus.service.Object):
            @dbus.service.method(TRANSMIT_IFACE, in_signature="s", out_signature="i")
            def log_transmit(self, text):
                remember(text)
                return 0
    else:
        class TransmitService(dbus.service.Object):
            @dbus.service.method(TRANSMIT_IFACE, in_signature="s", out_signature="s")
            def log_transmit(self, text):
                remember(text)
                return "ok"
    return TransmitService


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--user")
    parser.add_argument("--user-reply", default="string")
    parser.add_argument("--transmit")
    parser.add_argument("--record")
    args = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
    keep = []
    if args.user is not None:
        keep.append(dbus.service.BusName(USER_NAME, bus))
        keep.append(make_user_service(args.user_reply, args.user)(bus, USER_PATH))
    if args.transmit is not None:
        keep.append(dbus.service.BusName(TRANSMIT_NAME, bus))
        keep.append(make_transmit_service(args.transmit, args.record)(bus, TRANSMIT_PATH))

    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("ready", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
