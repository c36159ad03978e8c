#pragma once

// Hears the X server's bell: counts the keyboard bell notifications (XKB) of the display in
// DISPLAY from the moment it is made, as an operator at the screen would hear the beeps.
#include <memory>

namespace test {

class XBell {
public:
    XBell();
    ~XBell();
    XBell(const XBell&) = delete;
    XBell& operator=(const XBell&) = delete;

    bool isListening() const;
    // Waits until the bell has rung `count` times in all, or the time is up; returns the rings heard.
    int waitForRings(int count, int timeoutMs);

private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
    int rings_ = 0;
};

}  // namespace test
