#!/usr/bin/python3
# Drives the GNOME Shell of a test over the session bus and, with --keyboard, holds a remote-desktop
# session for its whole life: headless mutter has no keyboard on its seat until such a session exists,
# and without one the clients never hear that their window got the focus. The session ends when this
# process's bus connection closes.
# Commands on standard input, one JSON array a line; each is answered with one JSON array a line:
#   ["eval", JS]                  -> ["eval", OK, TEXT]   org.gnome.Shell.Eval (TEXT: the JSON result)
#   ["permission", TABLE, ID, APP, VALUE]
#                                 -> ["permission", OK, ERROR]   the portals' permission store
#   ["keysym", KEYSYM, PRESSED]   -> ["keysym", OK, ERROR]   typed through the remote-desktop session
#   ["owner", NAME]               -> ["owner", OK, PID]   the process owning a name on the session bus
#   ["unsafe", ON]                -> ["unsafe", OK, TEXT]  the shell's unsafe mode switched at run time:
#                                    off, its screenshot service refuses other programs as a default GNOME does
# "ready" (or "failed REASON") once connected. End of input ends it.
import json, sys
from gi.repository import Gio, GLib

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)


def call(name, path, interface, method, args, reply=None):
    return bus.call_sync(name, path, interface, method, args,
                         GLib.VariantType(reply) if reply else None, Gio.DBusCallFlags.NONE, 60000, None)


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


# Eval refuses everything once unsafe mode is off: this Eval, installed first, does not ask. It
# evaluates in the scope of the shell's Eval, so Main and the rest stay in reach.
UNSAFE_JS = ("Main.shellDBusService.Eval = function (code) { try { const v = JSON.stringify(eval(code)); "
             "return [true, v === undefined ? '' : v]; } catch (e) { return [false, `${e}`]; } }; "
             "global.context.unsafe_mode = %s; global.context.unsafe_mode")

session = None
if "--keyboard" in sys.argv[1:]:
    try:
        (session,) = call("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                          "org.gnome.Mutter.RemoteDesktop", "CreateSession", None, "(o)").unpack()
        call("org.gnome.Mutter.RemoteDesktop", session, "org.gnome.Mutter.RemoteDesktop.Session", "Start", None)
        # Mutter puts the session's keyboard on the seat only with its first key event: a Shift tap.
        for pressed in (True, False):
            call("org.gnome.Mutter.RemoteDesktop", session, "org.gnome.Mutter.RemoteDesktop.Session",
                 "NotifyKeyboardKeysym", GLib.Variant("(ub)", (0xffe1, pressed)))
    except GLib.Error as e:
        say("failed remote-desktop session: " + e.message)
        sys.exit(1)
say("ready")


def handle(command):
    kind = command[0]
    if kind == "eval":
        ok, text = call("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "Eval",
                        GLib.Variant("(s)", (command[1],)), "(bs)").unpack()
        return [kind, ok, text]
    if kind == "permission":
        table, ident, app, value = command[1:5]
        call("org.freedesktop.impl.portal.PermissionStore", "/org/freedesktop/impl/portal/PermissionStore",
             "org.freedesktop.impl.portal.PermissionStore", "SetPermission",
             GLib.Variant("(sbssas)", (table, True, ident, app, [value])))
        return [kind, True, ""]
    if kind == "keysym" and session:
        call("org.gnome.Mutter.RemoteDesktop", session, "org.gnome.Mutter.RemoteDesktop.Session",
             "NotifyKeyboardKeysym", GLib.Variant("(ub)", (command[1], command[2])))
        return [kind, True, ""]
    if kind == "unsafe":
        flag = "true" if command[1] else "false"
        ok, text = call("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "Eval",
                        GLib.Variant("(s)", (UNSAFE_JS % flag,)), "(bs)").unpack()
        return [kind, ok and text == flag, text]
    if kind == "owner":
        (pid,) = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "GetConnectionUnixProcessID", GLib.Variant("(s)", (command[1],)), "(u)").unpack()
        return [kind, True, pid]
    return [kind, False, "unknown command or no keyboard"]


for line in sys.stdin:
    try:
        command = json.loads(line)
    except ValueError:
        say(json.dumps(["error", False, "not a JSON array"]))
        continue
    try:
        say(json.dumps(handle(command)))
    except GLib.Error as e:
        say(json.dumps([command[0], False, e.message]))
