#pragma once

// For tests that run inside a QApplication.
#include "TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QString>

namespace test {

// The log file of the test program, in its own folder (gone when the program ends).
inline QString guiLogPath() { return isolatedFolder() + "/test.log"; }

// The log lines written since `offset` bytes.
inline QString logSince(qint64 offset) {
    QFile f(guiLogPath());
    if (!f.open(QIODevice::ReadOnly)) return QString();
    f.seek(offset);
    return QString::fromUtf8(f.readAll());
}

inline qint64 logSize() { return QFileInfo(guiLogPath()).size(); }

// Runs the event loop until pred holds or the time is up.
template <typename Pred>
bool processUntil(Pred pred, int timeoutMs = 10000) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < timeoutMs) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return pred();
}

inline void processFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

}  // namespace test
