#include "platform/ui/ScreenBlanking.h"

#include "platform/core/SystemLog.h"
#include "platform/core/ThreadContract.h"

#include <QGuiApplication>
#include <QStringList>

// Xlib's macros (None, Bool, Status...) clash with Qt's names: its headers come last.
#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

namespace {

// What holdOff() changed, to be given back; the display belongs to Qt and outlives both calls.
Display* gDisplay = nullptr;
bool gSaverSuspended = false;
bool gDpmsTurnedOff = false;

Display* x11Display() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

QStringList holdOffX11(Display* display) {
    QStringList held;
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    // Suspending needs version 1.1 of the extension; the suspension also ends with our connection.
    if (XScreenSaverQueryExtension(display, &event, &error) && XScreenSaverQueryVersion(display, &major, &minor) &&
        (major > 1 || (major == 1 && minor >= 1))) {
        XScreenSaverSuspend(display, True);
        gSaverSuspended = true;
        held += QStringLiteral("X screen saver suspended");
    }
    CARD16 level = 0;
    BOOL enabled = False;
    if (DPMSQueryExtension(display, &event, &error) && DPMSCapable(display) && DPMSInfo(display, &level, &enabled)) {
        if (enabled) {
            DPMSDisable(display);
            gDpmsTurnedOff = true;
            held += QStringLiteral("X display power management turned off until quit");
        } else {
            held += QStringLiteral("X display power management already off");
        }
    }
    XFlush(display);
    return held;
}

}  // namespace

void ScreenBlanking::holdOff() {
    VORN_ASSERT_MAIN_THREAD();
    if (gDisplay) return;
    const QString platform = QGuiApplication::platformName();
    QStringList held;
    if (Display* display = x11Display()) {
        gDisplay = display;
        held = holdOffX11(display);
    }
    if (platform == QLatin1String("wayland")) {
        systemLog(QStringLiteral("Screen blanking: Qt %1 gives no access to Wayland's idle-inhibit protocol; "
                                 "nothing on this display holds blanking off")
                      .arg(QLatin1String(qVersion())));
        return;
    }
    if (held.isEmpty()) {
        systemLog(QStringLiteral("Screen blanking: nothing on display platform \"%1\" holds blanking off").arg(platform));
        return;
    }
    systemLog(QStringLiteral("Screen blanking held off: %1").arg(held.join(QStringLiteral(", "))));
}

void ScreenBlanking::restore() {
    VORN_ASSERT_MAIN_THREAD();
    if (!gDisplay) return;
    if (gDpmsTurnedOff) DPMSEnable(gDisplay);
    if (gSaverSuspended) XScreenSaverSuspend(gDisplay, False);
    XFlush(gDisplay);
    gDpmsTurnedOff = false;
    gSaverSuspended = false;
    gDisplay = nullptr;
}
