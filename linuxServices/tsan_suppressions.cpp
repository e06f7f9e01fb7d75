// Built into the service only under ThreadSanitizer (one list for the whole process: TSan reads a single
// __tsan_default_suppressions).
//
// libX11 1.8 unlocks a display once in _XIOError, before it calls the exit handler, and once more in
// the request that met the lost connection, on return. The second unlock of a lock no other thread
// takes (a connection is used by one thread only) is harmless with glibc's default mutexes, but
// ThreadSanitizer reports it, and ends the service, whenever an X server goes away.
//
// GLib and the libraries built on it are not instrumented: TSan sees the memory they touch through the
// C library (memset, malloc, memcpy) but not the futex-based locks and queues that order those accesses
// between their worker threads (GDBus's, the accessibility loop's), and reports their own bookkeeping
// as races. Calls these libraries make into the C library are left unchecked: all of them, since a
// GLib mutex locked inside GLib is often unlocked by a tail call from its user (gdk-pixbuf's module
// lock). Every access of our own code is still checked.
extern "C" const char* __tsan_default_suppressions() {
    return "mutex:libX11.so.6\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libgmodule-2.0.so.0\n"
           "called_from_lib:libgdk_pixbuf-2.0.so.0\n"
           "called_from_lib:libatspi.so.0\n"
           "called_from_lib:libdbus-1.so.3\n";
}
