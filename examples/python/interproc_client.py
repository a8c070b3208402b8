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

What other parties say (captions, names, errors) is printed with control
and bidirectional formatting characters escaped as in JSON, so that it can
neither act on the terminal nor forge a line. The contract is
messaging/org.calvorn.InterProc.xml; it needs GDBus through PyGObject
(Debian's python3-gi). Status 0 when all went well, 1 when no window
matched, a delivery failed or there is no session bus, 2 for a mistake on
the command line.
"""

import argparse
import collections
import fcntl
import json
import os
import random
import re
import sys

PROGRAM = "interproc_client.py"

try:
    import gi
    gi.require_version("Gio", "2.0")
    from gi.repository import Gio, GLib
except (ImportError, ValueError):
    # Another python3 than the system's (a virtual environment, pyenv) does
    # not see Debian's packages.
    sys.exit(f"{PROGRAM}: {sys.executable} cannot import PyGObject (gi): run this program with "
             "Debian's /usr/bin/python3 after apt-get install python3-gi, or install PyGObject "
             "for this interpreter")

INTERFACE = "org.calvorn.InterProc"
PATH = "/org/calvorn/InterProc"
WINDOW_PREFIX = "org.calvorn.InterProc.Window.H"
ACK_PREFIX = "OK from "
MAX_TEXT_BYTES = 128 * 1024 * 1024   # the largest text a window sends or takes
MAX_WAITING = 4096                   # arrivals queued for printing, at most
TIMEOUT_MS = 25000                   # how long a window may take a payload
DESCRIBE_TIMEOUT_MS = 2000           # how long a window may take to describe itself
MAX_QUESTIONS = 128                  # Describe calls on their way at once

BUS = "org.freedesktop.DBus"
BUS_PATH = "/org/freedesktop/DBus"
NO_FLAGS = Gio.DBusCallFlags.NONE

# What a party exports; the same members as messaging/org.calvorn.InterProc.xml.
PARTY_XML = f"""<node><interface name="{INTERFACE}">
  <method name="Describe"><arg type="i" direction="out"/><arg type="s" direction="out"/></method>
  <method name="Deliver"><arg type="i" direction="in"/><arg type="s" direction="in"/>
    <arg type="i" direction="in"/><arg type="s" direction="in"/></method>
  <method name="DeliverUtf8"><arg type="i" direction="in"/><arg type="s" direction="in"/>
    <arg type="i" direction="in"/><arg type="ay" direction="in"/></method>
  <method name="DeliverSealed"><arg type="i" direction="in"/><arg type="s" direction="in"/>
    <arg type="i" direction="in"/><arg type="h" direction="in"/><arg type="t" direction="in"/>
  </method>
  <method name="OpenDirectChannel"><arg type="s" direction="out"/>
    <arg type="ay" direction="out"/></method>
  <property name="Handle" type="i" access="read"/>
  <property name="Caption" type="s" access="read"/>
  <signal name="CaptionChanged"><arg type="i"/><arg type="s"/></signal>
</interface></node>"""

# Controls (C0, DEL, C1), line and paragraph separators and bidirectional
# formatting characters: as interproc escapes them.
UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069\\\\]")
SHORT = {"\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def shown(text):
    """text as it may reach a terminal: what could act on it escaped."""
    return UNSAFE.sub(lambda m: SHORT.get(m.group(), f"\\u{ord(m.group()):04x}"), text)


class ContractError(Exception):
    def __init__(self, name, message):
        super().__init__(message)
        self.name = name


def fail(message):
    print(f"{PROGRAM}: {shown(message)}", file=sys.stderr, flush=True)
    return 1


def error_text(error):
    """A D-Bus error's message without the name GDBus puts before it."""
    name = Gio.DBusError.get_remote_error(error)
    prefix = f"GDBus.Error:{name}: "
    return error.message[len(prefix):] if name and error.message.startswith(prefix) else error.message


def bus_call(bus, method, args=None, reply="()"):
    return bus.call_sync(BUS, BUS_PATH, BUS, method, args, GLib.VariantType(reply), NO_FLAGS,
                         -1, None).unpack()


def windows(bus):
    """(handle, caption) of every window on the bus, by handle. Asks them all
    at once, a bounded number at a time; one that does not answer within
    DESCRIBE_TIMEOUT_MS is listed by handle alone."""
    names = [n for n in bus_call(bus, "ListNames", reply="(as)")[0]
             if n.startswith(WINDOW_PREFIX) and n[len(WINDOW_PREFIX):].isdigit()]
    found = {}
    loop = GLib.MainLoop()
    waiting = collections.deque(names)
    asked = 0

    def described(_, result, name):
        nonlocal asked
        handle = int(name[len(WINDOW_PREFIX):])
        try:
            _, caption = bus.call_finish(result).unpack()
        except GLib.Error:
            caption = ""   # busy, stopped, or gone since the list was made
        found[handle] = caption
        asked -= 1
        ask_more()

    def ask_more():
        nonlocal asked
        while waiting and asked < MAX_QUESTIONS:
            name = waiting.popleft()
            asked += 1
            bus.call(name, PATH, INTERFACE, "Describe", None, GLib.VariantType("(is)"), NO_FLAGS,
                     DESCRIBE_TIMEOUT_MS, None, described, name)
        if not waiting and asked == 0:
            loop.quit()

    ask_more()
    if asked:
        loop.run()
    return sorted(found.items())


class Party:
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
        interface = Gio.DBusNodeInfo.new_for_xml(PARTY_XML).interfaces[0]
        # Exported before the name is taken: whoever sees the name can call.
        bus.register_object(PATH, interface, self._method_call, self._get_property, None)
        self.handle = self._claim_handle()
        bus.emit_signal(None, PATH, INTERFACE, "CaptionChanged",
                        GLib.Variant("(is)", (self.handle, self.caption)))

    def _claim_handle(self):
        # The bus gives a name to one connection only, so the name makes the
        # handle unique on the bus; a taken one is simply tried again.
        for _ in range(64):
            handle = random.randint(1, 2**31 - 1)
            reply, = bus_call(self.bus, "RequestName",
                              GLib.Variant("(su)", (f"{WINDOW_PREFIX}{handle}", 4)),  # DO_NOT_QUEUE
                              "(u)")
            if reply == 1:   # the primary owner
                return handle
        raise ContractError("org.freedesktop.DBus.Error.LimitsExceeded",
                            "No free window handle on the bus")

    # -- the contract: what windows call on us ---------------------------------

    def _method_call(self, _bus, sender, _path, _interface, method, parameters, invocation):
        try:
            if method == "Describe":
                invocation.return_value(GLib.Variant("(is)", (self.handle, self.caption)))
                return
            if method == "OpenDirectChannel":
                # This party offers no direct channel.
                invocation.return_value(GLib.Variant("(say)", ("", b"")))
                return
            sender_handle = parameters.get_child_value(0).get_int32()
            sender_name = parameters.get_child_value(1).get_string()
            long_data = parameters.get_child_value(2).get_int32()
            if method == "Deliver":
                text = parameters.get_child_value(3).get_string()
                if len(text) > MAX_TEXT_BYTES // 4 and len(text.encode()) > MAX_TEXT_BYTES:
                    raise ContractError("org.calvorn.InterProc.Error.TooLarge", "Text too large")
            elif method == "DeliverUtf8":
                text = self._decode(parameters.get_child_value(3).get_data_as_bytes().get_data())
            else:   # DeliverSealed
                index = parameters.get_child_value(3).get_handle()
                size = parameters.get_child_value(4).get_uint64()
                fds = invocation.get_message().get_unix_fd_list()
                text = self._decode(self._read_sealed(fds.get(index) if fds else -1, size))
            self._take(sender, sender_handle, sender_name, long_data, text)
            invocation.return_value(None)
        except ContractError as error:
            invocation.return_dbus_error(error.name, str(error))

    def _get_property(self, _bus, _sender, _path, _interface, name):
        return GLib.Variant("i", self.handle) if name == "Handle" else GLib.Variant(
            "s", self.caption)

    @staticmethod
    def _decode(utf8):
        if len(utf8) > MAX_TEXT_BYTES:
            raise ContractError("org.calvorn.InterProc.Error.TooLarge", "Text too large")
        try:
            return bytes(utf8).decode("utf-8")
        except UnicodeDecodeError:
            raise ContractError("org.calvorn.InterProc.Error.InvalidText", "Not UTF-8") from None

    @staticmethod
    def _read_sealed(fd, size):
        # Larger texts come in a memfd that the sender can no longer change.
        try:
            if fd < 0:
                raise OSError("no file descriptor came with the call")
            if size > MAX_TEXT_BYTES:
                raise ContractError("org.calvorn.InterProc.Error.TooLarge", "Text too large")
            needed = fcntl.F_SEAL_WRITE | fcntl.F_SEAL_SHRINK
            if (fcntl.fcntl(fd, fcntl.F_GET_SEALS) & needed != needed
                    or os.fstat(fd).st_size != size):
                raise ContractError("org.calvorn.InterProc.Error.BadDescriptor",
                                    "Not a sealed memfd of the declared size")
            return os.pread(fd, size, 0)
        except OSError as error:
            raise ContractError("org.calvorn.InterProc.Error.BadDescriptor", str(error)) from None
        finally:
            if fd >= 0:
                os.close(fd)

    def _take(self, sender, sender_handle, sender_name, long_data, text):
        # A payload names its sender by a handle whose name the calling
        # connection owns, or by 0; nobody may speak for another window.
        if sender_handle != 0:
            try:
                owner, = bus_call(self.bus, "GetNameOwner",
                                  GLib.Variant("(s)", (f"{WINDOW_PREFIX}{sender_handle}",)), "(s)")
            except GLib.Error:
                owner = None
            if owner != sender:
                raise ContractError("org.calvorn.InterProc.Error.SenderMismatch",
                                    f"The caller does not own window {sender_handle}")
        if len(self.arrivals) >= MAX_WAITING:
            raise ContractError("org.freedesktop.DBus.Error.LimitsExceeded",
                                "Too many payloads waiting")
        # Answered now, handled from the main loop: one at a time, in order.
        self.arrivals.append((sender_handle, sender_name, long_data, text))
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
        def done(bus, result, _):
            self.pending -= 1
            try:
                bus.call_finish(result)
                ok = True
            except GLib.Error as error:
                ok = False
                self.failures += 1
                fail(f"window {handle} did not take the payload: {error_text(error)}")
            if on_done:
                on_done(ok)

        self.pending += 1
        self.bus.call(f"{WINDOW_PREFIX}{handle}", PATH, INTERFACE, "Deliver",
                      GLib.Variant("(isis)", (self.handle, self.caption, long_data, text)),
                      None, NO_FLAGS, TIMEOUT_MS, None, done, None)


def run_list(bus, _):
    for handle, caption in windows(bus):
        print(f"{handle}\t{shown(caption)}", flush=True)
    return 0


def run_send(bus, args):
    loop = GLib.MainLoop()
    waiting = {}   # handle -> caption of each window that has not acknowledged yet

    def arrival(sender_handle, sender_name, _, text):
        if text.startswith(ACK_PREFIX) and sender_handle in waiting:
            print(f"acknowledged by {shown(sender_name)}: {shown(text)}", flush=True)
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

    GLib.timeout_add(TIMEOUT_MS, too_late)
    loop.run()
    return 1 if party.failures else 0


def run_join(bus, args):
    def arrival(sender_handle, sender_name, long_data, text):
        # json.dumps escapes every control and non-ASCII character.
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

    try:
        bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    except GLib.Error as error:
        return fail(f"Cannot connect to the D-Bus session bus: {error.message}")
    try:
        return {"list": run_list, "send": run_send, "join": run_join}[args.command](bus, args)
    except (GLib.Error, ContractError) as error:
        return fail(error_text(error) if isinstance(error, GLib.Error) else str(error))


if __name__ == "__main__":
    sys.exit(main())
