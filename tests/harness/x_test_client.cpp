#include "x_test_client.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>

namespace harness {

bool XTestClient::open(const std::string& display) {
    close();
    dpy_ = XOpenDisplay(display.c_str());
    return dpy_ != nullptr;
}

void XTestClient::close() {
    if (dpy_) XCloseDisplay(dpy_);
    dpy_ = nullptr;
}

Window XTestClient::createWindow(const std::vector<std::pair<std::string, PropertyValue>>& properties,
                                 bool map) {
    const Window w = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 200, 100, 0, 0, 0);
    for (const auto& [name, value] : properties)
        setProperty(w, name, value);
    if (map) XMapWindow(dpy_, w);
    XSync(dpy_, False);
    return w;
}

void XTestClient::setProperty(Window w, const std::string& name, const PropertyValue& value) {
    const Atom property = XInternAtom(dpy_, name.c_str(), False);
    const Atom type = XInternAtom(dpy_, value.type.c_str(), False);
    if (value.format == 8) {
        XChangeProperty(dpy_, w, property, type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(value.bytes.data()), int(value.bytes.size()));
    } else if (value.format == 16) {
        std::vector<short> shorts(value.numbers.begin(), value.numbers.end());
        XChangeProperty(dpy_, w, property, type, 16, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(shorts.data()), int(shorts.size()));
    } else {
        XChangeProperty(dpy_, w, property, type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(value.numbers.data()),
                        int(value.numbers.size()));
    }
    XSync(dpy_, False);
}

void XTestClient::destroyWindow(Window w) {
    XDestroyWindow(dpy_, w);
    XSync(dpy_, False);
}

void XTestClient::setActiveWindow(Window w) {
    setProperty(DefaultRootWindow(dpy_), "_NET_ACTIVE_WINDOW", {"WINDOW", 32, {}, {long(w)}});
}

bool XTestClient::lockGroup(unsigned group) {
    const bool locked = XkbLockGroup(dpy_, XkbUseCoreKbd, group);
    XSync(dpy_, False);
    return locked;
}

void XTestClient::putPixels(int x, int y, int width, int height, const std::vector<unsigned long>& pixels) {
    const int screen = DefaultScreen(dpy_);
    XImage* img = XCreateImage(dpy_, DefaultVisual(dpy_, screen), unsigned(DefaultDepth(dpy_, screen)),
                               ZPixmap, 0, nullptr, unsigned(width), unsigned(height), 32, 0);
    img->data = static_cast<char*>(calloc(size_t(img->bytes_per_line) * size_t(height), 1));
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col)
            XPutPixel(img, col, row, pixels[size_t(row) * size_t(width) + size_t(col)]);
    XPutImage(dpy_, DefaultRootWindow(dpy_), DefaultGC(dpy_, screen), img, 0, 0, x, y, unsigned(width),
              unsigned(height));
    XDestroyImage(img);
    XSync(dpy_, False);
}

} // namespace harness
