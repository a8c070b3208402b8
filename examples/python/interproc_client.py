#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
"""A party on the InterProc bus contract in Python, with nothing but D-Bus.

    interproc_client.py list
    interproc_client.py send PREFIX [--number N] [--text TEXT] [--caption CAPTION]
    interproc_client.py join CAPTION

list   prints each window on the session bus: handle, a tab, caption.
send   sends one payload to every window whose caption begins with PREFIX,
       as a party of its own, and prints each window's acknowledgement.
join   joins the bus with CAPTION and prints "joined <handle>", then each
       payload that arrives as one JSON object a line, and acknowledges it
       as a CalvornTest window does; ends on Ctrl+C.

The contract is messaging/org.calvorn.InterProc.xml; it needs python3-dbus
and python3-gi (the GLib main loop). Status 0 when all went well, 1 when no
window matched, a delivery failed or there is no session bus, 2 for a
mistake on the command line.
"""

import argparse
import collections
import fcntl
import json
import os
import random
import sys

try:
    import dbus
    import dbus.service
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib
except ImportError as missing:
    sys.exit(f"interproc_client.py: {missing.name} is missing: "
             "apt-get install python3-dbus python3-gi")

INTERFACE = "org.calvorn.InterProc"
PATH = "/org/calvorn/InterProc"
WINDOW_PREFIX = "org.calvorn.InterProc.Window.H"
ACK_PREFIX = "OK from "
MAX_TEXT_BYTES = 128 * 1024 * 1024   # the largest text a window sends or takes
MAX_WAITING = 4096                   # arrivals queued for printing, at most
TIMEOUT_S = 25                       # how long a window may take a payload

PROGRAM = "interproc_client.py"


class ContractError(dbus.DBusException):
    def __init__(self, name, message):
        super().__init__(message)
        self._dbus_error_name = name


def fail(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr)
    return 1


def windows(bus):
    """(handle, caption) of every window on the bus, by handle."""
    found = []
    for name in bus.list_names():
        if not name.startswith(WINDOW_PREFIX):
            continue
        try:
            handle, caption = bus.get_object(name, PATH, introspect=False).Describe(
                dbus_interface=INTERFACE, timeout=2)
        except dbus.DBusException:
            # Busy, stopped, or gone since the list was made: known by handle alone.
            handle, caption = int(name[len(WINDOW_PREFIX):]), ""
        found.append((int(handle), str(caption)))
    return sorted(found)


class Party(dbus.service.Object):
    """This program as a window: owns org.calvorn.InterProc.Window.H<handle>
    and exports the interface at /org/calvorn/InterProc (Describe, Deliver,
    DeliverUtf8, DeliverSealed, OpenDirectChannel, the properties Handle and
    Caption, the signal CaptionChanged)."""

    def __init__(self, bus, caption, on_arrival):
        self.bus = bus
        self.caption = caption
        self.on_arrival = on_arrival
        self.arrivals = collections.deque()
        self.pending = 0   # our own calls still on their way
        self.failures = 0
        self.handle = self._claim_handle()
        super().__init__(bus, PATH)
        self.CaptionChanged(self.handle, self.caption)

    def _claim_handle(self):
        # The bus gives a name to one connection only, so the name makes the
        # handle unique on the bus; a taken one is simply tried again.
        for _ in range(64):
            handle = random.randint(1, 2**31 - 1)
            reply = self.bus.request_name(f"{WINDOW_PREFIX}{handle}",
                                          dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
            if reply == dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
                return handle
        raise ContractError("org.freedesktop.DBus.Error.LimitsExceeded",
                            "No free window handle on the bus")

    # -- the contract: what windows call on us ---------------------------------

    @dbus.service.method(INTERFACE, out_signature="is")
    def Describe(self):
        return self.handle, self.caption

    @dbus.service.method(INTERFACE, in_signature="isis", sender_keyword="sender")
    def Deliver(self, sender_handle, sender_name, long_data, string_data, sender=None):
        if len(string_data) > MAX_TEXT_BYTES // 4 and len(string_data.encode()) > MAX_TEXT_BYTES:
            raise ContractError("org.calvorn.InterProc.Error.TooLarge", "Text too large")
        self._take(sender, sender_handle, sender_name, long_data, str(string_data))

    @dbus.service.method(INTERFACE, in_signature="isiay", sender_keyword="sender",
                         byte_arrays=True)
    def DeliverUtf8(self, sender_handle, sender_name, long_data, utf8, sender=None):
        if len(utf8) > MAX_TEXT_BYTES:
            raise ContractError("org.calvorn.InterProc.Error.TooLarge", "Text too large")
        try:
            text = bytes(utf8).decode("utf-8")
        except UnicodeDecodeError:
            raise ContractError("org.calvorn.InterProc.Error.InvalidText", "Not UTF-8") from None
        self._take(sender, sender_handle, sender_name, long_data, text)

    @dbus.service.method(INTERFACE, in_signature="isiht", sender_keyword="sender")
    def DeliverSealed(self, sender_handle, sender_name, long_data, unix_fd, size, sender=None):
        # Larger texts come in a memfd that the sender can no longer change.
        fd = unix_fd.take()
        try:
            if size > MAX_TEXT_BYTES:
                raise ContractError("org.calvorn.InterProc.Error.TooLarge", "Text too large")
            needed = fcntl.F_SEAL_WRITE | fcntl.F_SEAL_SHRINK
            if (fcntl.fcntl(fd, fcntl.F_GET_SEALS) & needed != needed
                    or os.fstat(fd).st_size != size):
                raise ContractError("org.calvorn.InterProc.Error.BadDescriptor",
                                    "Not a sealed memfd of the declared size")
            utf8 = os.pread(fd, size, 0)
        except OSError as error:
            raise ContractError("org.calvorn.InterProc.Error.BadDescriptor", str(error)) from None
        finally:
            os.close(fd)
        self.DeliverUtf8(sender_handle, sender_name, long_data, utf8, sender=sender)

    @dbus.service.method(INTERFACE, out_signature="say")
    def OpenDirectChannel(self):
        return "", dbus.ByteArray(b"")   # this party offers no direct channel

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != INTERFACE:
            raise ContractError("org.freedesktop.DBus.Error.UnknownInterface", interface)
        return {"Handle": dbus.Int32(self.handle), "Caption": dbus.String(self.caption)}

    @dbus.service.signal(INTERFACE, signature="is")
    def CaptionChanged(self, handle, caption):
        pass

    def _take(self, sender, sender_handle, sender_name, long_data, text):
        # A payload names its sender by a handle whose name the calling
        # connection owns, or by 0; nobody may speak for another window.
        if sender_handle != 0:
            try:
                owner = self.bus.get_name_owner(f"{WINDOW_PREFIX}{sender_handle}")
            except dbus.DBusException:
                owner = None
            if owner != sender:
                raise ContractError("org.calvorn.InterProc.Error.SenderMismatch",
                                    f"The caller does not own window {sender_handle}")
        if len(self.arrivals) >= MAX_WAITING:
            raise ContractError("org.freedesktop.DBus.Error.LimitsExceeded",
                                "Too many payloads waiting")
        # Answered now, handled from the main loop: one at a time, in order.
        self.arrivals.append((int(sender_handle), str(sender_name), int(long_data), text))
        if len(self.arrivals) == 1:
            GLib.idle_add(self._next_arrival)

    def _next_arrival(self):
        arrival = self.arrivals.popleft()
        self.on_arrival(*arrival)
        sender_handle, _, _, text = arrival
        # The window's rule: answer every payload but an acknowledgement, so
        # two parties never answer each other without end. Handle 0 is a
        # sender without a window, which no answer reaches.
        if not text.startswith(ACK_PREFIX) and sender_handle != 0:
            self.deliver(sender_handle, 0, f'{ACK_PREFIX}"{self.caption}"')
        return bool(self.arrivals)

    # -- what we call on windows ----------------------------------------------

    def deliver(self, handle, long_data, text, on_done=None):
        """Hands one payload to window `handle`; reports failure on stderr."""
        def done(error=None):
            self.pending -= 1
            if error is not None:
                self.failures += 1
                fail(f"window {handle} did not take the payload: {error.get_dbus_message()}")
            if on_done:
                on_done(error is None)

        self.pending += 1
        self.bus.get_object(f"{WINDOW_PREFIX}{handle}", PATH, introspect=False).Deliver(
            dbus.Int32(self.handle), self.caption, dbus.Int32(long_data), text,
            dbus_interface=INTERFACE, timeout=TIMEOUT_S,
            reply_handler=done, error_handler=done)


def run_list(bus, _):
    for handle, caption in windows(bus):
        print(f"{handle}\t{caption}", flush=True)
    return 0


def run_send(bus, args):
    loop = GLib.MainLoop()
    waiting = {}   # handle -> caption of each window that has not acknowledged yet

    def arrival(sender_handle, sender_name, _, text):
        if text.startswith(ACK_PREFIX) and sender_handle in waiting:
            print(f"acknowledged by {sender_name}: {text}", flush=True)
            del waiting[sender_handle]
            finish_when_done()

    def finish_when_done():
        if not waiting and party.pending == 0:
            loop.quit()

    def delivered(handle, ok):
        if not ok:
            waiting.pop(handle, None)
        finish_when_done()

    party = Party(bus, args.caption, arrival)
    targets = [(h, c) for h, c in windows(bus)
               if c.startswith(args.prefix) and h != party.handle]
    if not targets:
        return fail(f"No window's caption begins with \"{args.prefix}\".")
    for handle, caption in targets:
        waiting[handle] = caption
        party.deliver(handle, args.number, args.text,
                      lambda ok, handle=handle: delivered(handle, ok))

    def too_late():
        for handle, caption in waiting.items():
            fail(f"window {handle} ({caption}) sent no acknowledgement")
        party.failures += len(waiting)
        loop.quit()

    GLib.timeout_add_seconds(TIMEOUT_S, too_late)
    loop.run()
    return 1 if party.failures else 0


def run_join(bus, args):
    def arrival(sender_handle, sender_name, long_data, text):
        print(json.dumps({"senderHandle": sender_handle, "senderName": sender_name,
                          "longData": long_data, "stringData": text}), flush=True)

    party = Party(bus, args.caption, arrival)
    print(f"joined {party.handle}", flush=True)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 2, loop.quit)    # SIGINT
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)   # SIGTERM
    loop.run()
    return 0


def int32(text):
    value = int(text)
    if not -2**31 <= value < 2**31:
        raise argparse.ArgumentTypeError(f"not a 32-bit whole number: {text}")
    return value


def main():
    parser = argparse.ArgumentParser(prog=PROGRAM, description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("list", help="the windows on the bus")
    send = commands.add_parser("send", help="one payload to windows by caption prefix")
    send.add_argument("prefix")
    send.add_argument("--number", type=int32, default=0, help="LongData (default 0)")
    send.add_argument("--text", default="", help="StringData (default empty)")
    send.add_argument("--caption", default="Python client",
                      help="the caption this party joins with")
    join = commands.add_parser("join", help="join the bus and acknowledge what arrives")
    join.add_argument("caption")
    args = parser.parse_args()   # a mistake: a message and status 2
    if args.command == "send" and len(args.text.encode("utf-8")) > MAX_TEXT_BYTES:
        parser.error("--text is larger than 128 MiB")

    DBusGMainLoop(set_as_default=True)
    try:
        bus = dbus.SessionBus()
    except dbus.DBusException as error:
        return fail(f"Cannot connect to the D-Bus session bus: {error.get_dbus_message()}")
    try:
        return {"list": run_list, "send": run_send, "join": run_join}[args.command](bus, args)
    except dbus.DBusException as error:
        return fail(error.get_dbus_message())


if __name__ == "__main__":
    sys.exit(main())
