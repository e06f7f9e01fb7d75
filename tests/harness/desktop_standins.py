# Stand-ins for desktop services the tests cannot run here, on the session bus the environment names.
#   shell   org.gnome.Shell.Screenshot: ScreenshotArea(iiiibs) writes a PNG of the rectangle to the path
#   portal  org.freedesktop.portal.Desktop: Screenshot(sa{sv}) answers on a Request object with the URI
#           of a PNG of the whole screen (1920x1080) saved in the save directory (default /tmp)
#   a11y    org.a11y.Bus whose GetAddress names a bus nobody listens on
# Standard input: "mode MODE" (acknowledged with the same line), "savedir DIR"; end of input ends it.
# Modes: ok; shell: error, denied, empty, delete, hang; portal: refuse, silent.
# Standard output: "ready", then per call "call ..." with its arguments and "took SECONDS" (own time).
import os, sys, time
import dbus, dbus.service, dbus.mainloop.glib
import gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib

SCREEN = (1920, 1080)
state = {"mode": "ok", "savedir": "/tmp", "hung": [], "shots": 0}
images = {}


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def write_png(path, x, y, w, h):
    if (x, y, w, h) not in images:
        images[(x, y, w, h)] = paint(x, y, w, h)
    with open(path, "wb") as f:
        f.write(images[(x, y, w, h)])


def paint(x, y, w, h):
    # Pixel (i, j) shows screen point (x+i, y+j): red = X % 256, green = Y % 256, blue = X // 256.
    xs = range(x, x + w)
    red = bytes(v % 256 for v in xs)
    blue = bytes((v // 256) % 256 for v in xs)
    data = bytearray(3 * w * h)
    for j in range(h):
        row = 3 * w * j
        data[row:row + 3 * w:3] = red
        data[row + 1:row + 3 * w:3] = bytes([(y + j) % 256]) * w
        data[row + 2:row + 3 * w:3] = blue
    pixbuf = GdkPixbuf.Pixbuf.new_from_bytes(GLib.Bytes.new(bytes(data)), GdkPixbuf.Colorspace.RGB, False, 8, w, h,
                                             3 * w)
    return pixbuf.save_to_bufferv("png", [], [])[1]


class Shell(dbus.service.Object):
    @dbus.service.method("org.gnome.Shell.Screenshot", in_signature="iiiibs", out_signature="bs",
                         async_callbacks=("reply", "fail"))
    def ScreenshotArea(self, x, y, w, h, flash, path, reply, fail):
        start = time.monotonic()
        say("call shell %d %d %d %d %s %s" % (x, y, w, h, "true" if flash else "false", path))
        mode = state["mode"]
        if mode == "hang":
            state["hung"].append(reply)
            return
        if mode == "error":
            fail(dbus.exceptions.DBusException("no screen", name="org.freedesktop.DBus.Error.Failed"))
        elif mode == "denied":
            fail(dbus.exceptions.DBusException("ScreenshotArea is not allowed",
                                               name="org.freedesktop.DBus.Error.AccessDenied"))
        else:
            if mode == "ok":
                write_png(path, x, y, w, h)
            elif mode == "empty":
                open(path, "wb").close()
            elif mode == "delete":
                os.unlink(path)
            reply(True, path)
        say("took %.6f" % (time.monotonic() - start))


class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Screenshot", in_signature="sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def Screenshot(self, parent, options, sender):
        start = time.monotonic()
        token = str(options.get("handle_token", "t"))
        say("call portal %s interactive=%s" % (token, "true" if options.get("interactive") else "false"))
        handle = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"), token)
        mode = state["mode"]
        if mode != "silent":
            uri = ""
            if mode == "ok":
                state["shots"] += 1
                path = os.path.join(state["savedir"], "Screenshot-%d-%d.png" % (os.getpid(), state["shots"]))
                write_png(path, 0, 0, *SCREEN)
                uri = "file://" + path
            GLib.idle_add(respond, handle, 0 if mode == "ok" else 1, uri, start)
        return dbus.ObjectPath(handle)


def respond(handle, code, uri, start):
    signal = dbus.lowlevel.SignalMessage(handle, "org.freedesktop.portal.Request", "Response")
    results = {"uri": uri} if uri else {}
    signal.append(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"), signature="ua{sv}")
    bus.send_message(signal)
    say("took %.6f" % (time.monotonic() - start))
    return False


class A11yBus(dbus.service.Object):
    @dbus.service.method("org.a11y.Bus", out_signature="s")
    def GetAddress(self):
        return "unix:path=/nonexistent/at-spi-bus"


def on_input(source, condition):
    line = sys.stdin.readline()
    if not line:
        loop.quit()
        return False
    command, _, value = line.strip().partition(" ")
    state[command] = value
    if command == "mode":
        say(line.strip())
    return True


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
kind = sys.argv[1]
name, path, cls = {"shell": ("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot", Shell),
                   "portal": ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", Portal),
                   "a11y": ("org.a11y.Bus", "/org/a11y/bus", A11yBus)}[kind]
owner = dbus.service.BusName(name, bus, do_not_queue=True)
service = cls(bus, path)
loop = GLib.MainLoop()
GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, on_input)
say("ready")
loop.run()
