#pragma once

// An X client of the test's own, in the test process, for what real programs rarely do: windows with
// exact property contents (or none), root properties set as a window manager would, and screen content
// of known pixel values.

#include <string>
#include <vector>

#include <X11/Xlib.h>

namespace harness {

struct PropertyValue {
    std::string type;          // "UTF8_STRING", "STRING", "CARDINAL"...
    int format = 8;            // 8, 16 or 32
    std::string bytes;         // format 8
    std::vector<long> numbers; // formats 16 and 32
};

class XTestClient {
  public:
    XTestClient() = default;
    XTestClient(const XTestClient&) = delete;
    XTestClient& operator=(const XTestClient&) = delete;
    ~XTestClient() { close(); }

    bool open(const std::string& display);
    void close();
    Display* display() const { return dpy_; }

    // A top-level window with exactly these properties; mapped windows are managed by a window
    // manager when one runs.
    Window createWindow(const std::vector<std::pair<std::string, PropertyValue>>& properties,
                        bool map = false);
    void setProperty(Window w, const std::string& name, const PropertyValue& value);
    void destroyWindow(Window w);
    // What a window manager announces on the root.
    void setActiveWindow(Window w);
    // Locks the keyboard's group (layout) `group` of the server's keymap, as a desktop's layout switch
    // does; returns once the server has done it.
    bool lockGroup(unsigned group);
    // Pixels of the server's own format (depth and byte order), row after row, put on the root at (x, y).
    void putPixels(int x, int y, int width, int height, const std::vector<unsigned long>& pixels);

  private:
    Display* dpy_ = nullptr;
};

inline PropertyValue text(const std::string& bytes, const std::string& type = "UTF8_STRING") {
    return {type, 8, bytes, {}};
}
inline PropertyValue cardinal(long value, int format = 32) {
    return {"CARDINAL", format, {}, {value}};
}

} // namespace harness
