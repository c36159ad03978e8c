#pragma once

#include <QList>
#include <QRect>
#include <QString>

// The screens of the desktop in the system's order, each with its whole frame.
struct Screen {
    QString name;
    QRect frame;
};

QList<Screen> screens();
