#include "e2e/XBell.h"

#include <chrono>

#include <X11/XKBlib.h>
#include <poll.h>

namespace test {

struct XBell::Connection {
    Display* display = nullptr;
    int xkbEvent = 0;
};

XBell::XBell() : connection_(std::make_unique<Connection>()) {
    int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return;
    if (!XkbQueryExtension(display, &opcode, &connection_->xkbEvent, &error, &major, &minor) ||
        !XkbSelectEvents(display, XkbUseCoreKbd, XkbBellNotifyMask, XkbBellNotifyMask)) {
        XCloseDisplay(display);
        return;
    }
    XSync(display, False);
    connection_->display = display;
}

XBell::~XBell() {
    if (connection_->display) XCloseDisplay(connection_->display);
}

bool XBell::isListening() const { return connection_->display != nullptr; }

int XBell::waitForRings(int count, int timeoutMs) {
    Display* display = connection_->display;
    if (!display) return rings_;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != connection_->xkbEvent) continue;
            if (reinterpret_cast<XkbEvent*>(&event)->any.xkb_type == XkbBellNotify) ++rings_;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (rings_ >= count || left.count() <= 0) return rings_;
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left.count()));
    }
}

}  // namespace test
