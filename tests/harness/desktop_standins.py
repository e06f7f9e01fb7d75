# Stand-ins for desktop services the tests cannot run here, on the session bus the environment names.
#   shell   org.gnome.Shell.Screenshot: ScreenshotArea(iiiibs) writes a PNG of the rectangle to the path
#   portal  org.freedesktop.portal.Desktop: Screenshot(sa{sv}) answers on a Request object with the URI
#           of a PNG of the whole screen (1920x1080) saved in the save directory (default /tmp) under the
#           name given (default a new one per answer)
#   a11y    org.a11y.Bus whose GetAddress names a bus nobody listens on
#   app     an application on the accessibility bus whose objects' parents may lead in a circle (TREE)
# Standard input, each command acknowledged with the same line: "mode MODE", "savedir DIR", "name FILE"
# ("" for a new name per answer), "uri FORMAT" (the portal's answer names the saved file's path through
# this, "%s" standing for it; default "file://%s"), "delay MS" (the shell acts that much later), for app
# "activate NODE" (an activation of that object of TREE); end of input ends it.
# Modes: ok; shell: error, denied, empty, delete, hang; portal: refuse, silent (no Response), hang (no
# reply to the call), and saved files that are not the portal's own of this request: stale (back-dated an
# hour), foreign (given to nobody), linked (a second hard link ".also"); coarse: the portal's new file
# stamped in whole seconds, as some file systems keep time; bomb: the portal's file a PNG of a few hundred
# bytes that claims 30000x30000 pixels; opaque, translucent: the portal's image RGBA, as GNOME's is, all
# opaque or with pixel (5, 5) transparent.
# Standard output: "ready", then per call "call ..." with its arguments and "took SECONDS" (own time).
import os, struct, sys, time, zlib
import dbus, dbus.service, dbus.mainloop.glib
import gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib

SCREEN = (1920, 1080)
state = {"mode": "ok", "savedir": "/tmp", "name": "", "uri": "file://%s", "delay": "0", "hung": [], "shots": 0}
images = {}


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def write_png(path, x, y, w, h, kind="rgb"):
    if (x, y, w, h, kind) not in images:
        images[(x, y, w, h, kind)] = paint(x, y, w, h, kind)
    with open(path, "wb") as f:
        f.write(images[(x, y, w, h, kind)])


def bomb():
    # The start of a 30000x30000 RGB image: rows of zeros, compressed a thousandfold.
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", 30000, 30000, 8, 2, 0, 0, 0)
    rows = zlib.compress(bytes(300000), 9)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", rows) + chunk(b"IEND", b"")


def paint(x, y, w, h, kind="rgb"):
    # Pixel (i, j) shows screen point (x+i, y+j): red = X % 256, green = Y % 256, blue = X // 256.
    n = 3 if kind == "rgb" else 4
    xs = range(x, x + w)
    red = bytes(v % 256 for v in xs)
    blue = bytes((v // 256) % 256 for v in xs)
    data = bytearray(b"\xff" * (n * w * h))
    for j in range(h):
        row = n * w * j
        data[row:row + n * w:n] = red
        data[row + 1:row + n * w:n] = bytes([(y + j) % 256]) * w
        data[row + 2:row + n * w:n] = blue
    if kind == "translucent":
        data[n * (5 * w + 5) + 3] = 0
    pixbuf = GdkPixbuf.Pixbuf.new_from_bytes(GLib.Bytes.new(bytes(data)), GdkPixbuf.Colorspace.RGB, n == 4, 8, w, h,
                                             n * w)
    return pixbuf.save_to_bufferv("png", [], [])[1]


class Shell(dbus.service.Object):
    @dbus.service.method("org.gnome.Shell.Screenshot", in_signature="iiiibs", out_signature="bs",
                         async_callbacks=("reply", "fail"))
    def ScreenshotArea(self, x, y, w, h, flash, path, reply, fail):
        say("call shell %d %d %d %d %s %s" % (x, y, w, h, "true" if flash else "false", path))
        GLib.timeout_add(int(state["delay"]), self.act, x, y, w, h, path, reply, fail)

    def act(self, x, y, w, h, path, reply, fail):
        start = time.monotonic()
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
        return False


class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Screenshot", in_signature="sa{sv}", out_signature="o",
                         sender_keyword="sender", async_callbacks=("reply", "fail"))
    def Screenshot(self, parent, options, sender, reply, fail):
        start = time.monotonic()
        token = str(options.get("handle_token", "t"))
        say("call portal %s interactive=%s" % (token, "true" if options.get("interactive") else "false"))
        handle = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"), token)
        mode = state["mode"]
        if mode == "hang":
            state["hung"].append(reply)
            return
        if mode not in ("silent", "refuse"):
            state["shots"] += 1
            name = state["name"] or "Screenshot-%d-%d.png" % (os.getpid(), state["shots"])
            path = os.path.join(state["savedir"], name)
            # through a link planted at the path, as the real portal does
            write_png(path, 0, 0, *SCREEN, mode if mode in ("opaque", "translucent") else "rgb")
            if mode == "bomb":
                with open(path, "wb") as f:
                    f.write(bomb())
            elif mode == "stale":
                os.utime(path, (time.time() - 3600,) * 2)
            elif mode == "foreign":
                os.chown(path, 65534, 65534)
            elif mode == "linked":
                os.link(path, path + ".also")
            elif mode == "coarse":
                os.utime(path, ns=(time.time_ns(), int(time.time()) * 10**9))
            GLib.idle_add(respond, handle, 0, state["uri"].replace("%s", path), start)
        elif mode == "refuse":
            GLib.idle_add(respond, handle, 1, "", start)
        reply(dbus.ObjectPath(handle))


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


# name: (role, accessible name, parent). "loop" is its own parent; "a" and "b" are each other's, above
# the frame "Circled"; "plain" and "other" are ordinary frames of the application.
ATSPI = "/org/a11y/atspi/accessible/"
NULL = "/org/a11y/atspi/null"
TREE = {"root": (75, "circles", NULL), "plain": (23, "Plain", ATSPI + "root"),
        "other": (23, "Other", ATSPI + "root"), "loop": (39, "", ATSPI + "loop"),
        "circled": (23, "Circled", ATSPI + "a"), "a": (39, "", ATSPI + "b"), "b": (39, "", ATSPI + "a")}


class AccessibleApp(dbus.service.FallbackObject):
    def node(self, path):
        return TREE.get(path.rsplit("/", 1)[-1], (39, "", NULL))

    @dbus.service.method("org.a11y.atspi.Accessible", out_signature="u", rel_path_keyword="path")
    def GetRole(self, path):
        return self.node(path)[0]

    @dbus.service.method("org.a11y.atspi.Accessible", out_signature="au", rel_path_keyword="path")
    def GetState(self, path):
        return [1 << 1, 0]  # active

    @dbus.service.method("org.a11y.atspi.Accessible", out_signature="as", rel_path_keyword="path")
    def GetInterfaces(self, path):
        return ["org.a11y.atspi.Accessible"]

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v",
                         rel_path_keyword="path")
    def Get(self, interface, name, path):
        role, text, parent = self.node(path)
        if name == "Parent":
            owner = bus.get_unique_name() if parent != NULL else ""
            return dbus.Struct((owner, dbus.ObjectPath(parent)), signature="so", variant_level=1)
        if name == "Name":
            return dbus.String(text, variant_level=1)
        return dbus.Int32(0, variant_level=1) if name == "ChildCount" else dbus.String("", variant_level=1)


def activate(node):
    signal = dbus.lowlevel.SignalMessage(ATSPI + node, "org.a11y.atspi.Event.Object", "StateChanged")
    signal.append("active", dbus.Int32(1), dbus.Int32(0), dbus.Int32(0, variant_level=1),
                  dbus.Dictionary({}, signature="sv"), signature="siiva{sv}")
    bus.send_message(signal)


def on_input(source, condition):
    line = sys.stdin.readline()
    if not line:
        loop.quit()
        return False
    command, _, value = line.strip().partition(" ")
    state[command] = value
    if command == "activate":
        activate(value)
    say(line.strip())
    return True


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
kind = sys.argv[1]
if kind == "app":
    address = bus.get_object("org.a11y.Bus", "/org/a11y/bus").GetAddress(dbus_interface="org.a11y.Bus")
    bus = dbus.bus.BusConnection(str(address))
    service = AccessibleApp(bus, "/org/a11y/atspi")
else:
    name, path, cls = {"shell": ("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot", Shell),
                       "portal": ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", Portal),
                       "a11y": ("org.a11y.Bus", "/org/a11y/bus", A11yBus)}[kind]
    owner = dbus.service.BusName(name, bus, do_not_queue=True)
    service = cls(bus, path)
loop = GLib.MainLoop()
GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, on_input)
say("ready")
loop.run()
