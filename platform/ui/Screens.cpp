#include "platform/ui/Screens.h"

#include <QGuiApplication>
#include <QScreen>

QList<Screen> screens() {
    QList<Screen> out;
    for (const QScreen* s : QGuiApplication::screens()) out += Screen{s->name(), s->geometry()};
    return out;
}
