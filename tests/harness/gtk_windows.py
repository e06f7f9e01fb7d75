#!/usr/bin/python3
# A real GTK client for the tests: one top-level window per title given, all of this one process.
# GTK 3, or GTK 4 with --gtk4 (first argument).
# With --commands it also reads standard input, one command a line, and tells on standard output what
# happened:
#   window TITLE  -> "window TITLE XID" once the window is mapped
#   dialog TITLE  -> the same for a dialog (transient for the first window) with nested widgets
#   popover      -> "popover" once a popover (and, in GTK 3, a popup menu) opened over the first window
#   inner        -> "inner" once the first window's button has said on the accessibility bus that it
#                   became active (GTK 3), as an inner object of some toolkits does
#   whenever one of its windows becomes active: "active TITLE SECONDS" (CLOCK_MONOTONIC)
# End of input ends it.
import sys, time
import gi
GTK4 = sys.argv[1:2] == ["--gtk4"]
gi.require_version("Gtk", "4.0" if GTK4 else "3.0")
from gi.repository import GLib, Gtk
if not GTK4:
    gi.require_version("Atk", "1.0")
    from gi.repository import Atk

windows = []
buttons = []
loop = GLib.MainLoop()


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def on_active(window, _):
    if window.is_active():
        say("active %s %.6f" % (window.get_title(), time.monotonic()))


def on_mapped(window, *_):
    surface = window.get_surface() if GTK4 else window.get_window()
    say("window %s %d" % (window.get_title(), surface.get_xid() if hasattr(surface, "get_xid") else 0))
    return False


def put(container, child):
    (container.append if GTK4 else container.add)(child)


def open_inner(kind):
    if not buttons:
        buttons.append(Gtk.Button(label="Open"))
        (windows[0].set_child if GTK4 else windows[0].add)(buttons[0])
        if not GTK4:
            buttons[0].show()
    button = buttons[0]
    if kind == "popover":
        popover = Gtk.Popover()
        if GTK4:
            popover.set_parent(button)
        else:
            popover.set_relative_to(button)
        put(popover, Gtk.Label(label="inside"))
        (popover.popup if GTK4 else popover.show_all)()
        if not GTK4:
            menu = Gtk.Menu()
            menu.append(Gtk.MenuItem(label="item"))
            menu.show_all()
            menu.popup_at_widget(button, 1, 1, None)
    else:
        button.get_accessible().notify_state_change(Atk.StateType.ACTIVE, True)
    say(kind)


def open_window(kind, title):
    if kind == "dialog":
        window = Gtk.Dialog(title=title, transient_for=windows[0] if windows else None)
        inner = Gtk.Box()
        put(inner, Gtk.Button(label="OK"))
        put(window.get_content_area(), inner)
    else:
        window = Gtk.Window(title=title)
        window.connect("destroy", lambda *_: loop.quit())
    window.set_default_size(200, 100)
    window.connect("notify::is-active", on_active)
    window.connect("map" if GTK4 else "map-event", on_mapped)
    windows.append(window)
    (window.present if GTK4 else window.show_all)()


def on_input(*_):
    line = sys.stdin.readline()
    if not line:
        loop.quit()
        return False
    kind, _, title = line.rstrip("\n").partition(" ")
    if kind in ("window", "dialog"):
        open_window(kind, title)
    elif kind in ("popover", "inner"):
        open_inner(kind)
    return True


args = sys.argv[2:] if GTK4 else sys.argv[1:]
if args[:1] == ["--commands"]:
    args = args[1:]
    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.IO_IN | GLib.IO_HUP, on_input)
for title in args:
    open_window("window", title)
say("ready")
loop.run()
