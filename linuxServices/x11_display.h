#pragma once

// What every X connection of the process shares. Xlib keeps one error handler and one I/O-error
// handler per process, and by default either ends the whole process: on a protocol error (a window
// that vanished between two requests) and when the server goes away. Neither may end a service that
// serves Velloran over pipes, so every connection is opened here, and the rules are installed once:
//  - protocol errors are ignored; the failed request leaves its caller's default;
//  - a server that goes away ends only that connection: x11_connectionLost() turns true, every later
//    request on it fails at once, and its owner closes it (and may open a new one).
// A connection is used by one thread only; the rules themselves are safe from any thread.

#include <cstdint>
#include <string>

#include <X11/Xlib.h>

// XOpenDisplay(nullptr), that is the display named by DISPLAY, under the rules above; nullptr when it
// cannot be opened, or when its server has not answered the connection's set-up within 5 seconds
// (then `unanswered`, when given, is set; an open given up that way keeps every further open failing
// at once, unanswered, until its server answers or goes).
Display* x11_openDisplay(bool* unanswered = nullptr);

// x11_openDisplay for a request that Velloran waits on: when the display cannot be opened, one line on
// standard error says so, naming the display, after `refusal` ("Cannot list ..."), and whether it
// cannot be opened or does not answer.
Display* x11_openDisplayFor(const char* refusal);

// True once the server of `dpy` has gone away.
bool x11_connectionLost(Display* dpy);

// Closes a connection opened by x11_openDisplay, lost or not. Null is ignored.
void x11_closeDisplay(Display* dpy);

// One window property as XGetWindowProperty returned it; the data is freed with the record.
struct X11Property {
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned char* data = nullptr;

    X11Property() = default;
    X11Property(const X11Property&) = delete;
    X11Property& operator=(const X11Property&) = delete;
    ~X11Property() { reset(); }
    void reset();
    // Item `i` read at its own width (8, 16 or 32 bits): the property's format, not the caller's
    // expectation, says how large the buffer is. 0 past the end.
    unsigned long value(unsigned long i) const;
};

// Reads `length` 32-bit units from offset 0 without deleting; `length` -1 reads the whole property.
// True when the request succeeded and returned data (also 0 items of another type than `type`).
bool x11_readProperty(Display* dpy, Window w, Atom property, long length, Atom type, X11Property& out);

// What a window says about itself, read by one rule for every report that names a window (the focus
// reports and the list), so that a window is never named one way in one and another way in the other.
// Both create the atoms they need if missing (Xlib then caches them per connection).

// The first item of _NET_WM_PID, taken when the property is a CARDINAL of format 32 (what the window
// manager conventions define: anything else is a client's mistake, not a pid), its low 32 bits; -1
// when there is no such property or the value is no usable process id (0 or negative).
int32_t x11_windowPid(Display* dpy, Window w);

// The window's title: _NET_WM_NAME when it is UTF8_STRING text (format 8) and not empty, else the bytes
// of WM_NAME (text of format 8, any encoding: the outgoing message replaces what is not UTF-8). NUL
// bytes at the end are removed, as clients that count the terminator leave one there; embedded ones stay. An
// empty _NET_WM_NAME names nothing, so it does not hide a WM_NAME that does. False, with `out` empty,
// when neither yields a non-empty title; a title of any length is returned whole.
bool x11_windowTitle(Display* dpy, Window w, std::string& out);
