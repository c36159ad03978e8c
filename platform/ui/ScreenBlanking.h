#pragma once

// Keeps the screen from blanking while the player runs, with what the display server offers
// beyond the session's org.freedesktop.ScreenSaver service (see ProcessInfo): under X, the
// server's own screen saver and its display power management (DPMS).
class ScreenBlanking {
public:
    // Suspends the X screen saver and turns DPMS off where it was on, and says in the log which
    // means hold the screen awake (or that this display has none). Main thread, once the window
    // is shown.
    static void holdOff();
    // Gives back what holdOff() changed: the screen saver resumes, DPMS is on again if it was.
    // Main thread, at quit, while the application still exists.
    static void restore();
};
