#!/usr/bin/python3
# A real GTK client for the tests: one top-level window per title given, all of this one process.
import sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import Gtk

for title in sys.argv[1:]:
    window = Gtk.Window(title=title)
    window.set_default_size(200, 100)
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
Gtk.main()
