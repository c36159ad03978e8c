#pragma once

// For tests that run inside a QApplication.
#include "TestSupport.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QString>

namespace test {

// The log file of the test program, in its own folder (gone when the program ends).
inline QString guiLogPath() { return isolatedFolder() + "/test.log"; }

// The log rolls while the tests run: its old file and then the log itself make one text that
// only grows, as long as it stays below the old file's cap of 10 MiB. The log is read first, so
// that a roll in between shows a line twice rather than not at all.
inline QString oldGuiLogPath() { return QFileInfo(guiLogPath()).path() + QStringLiteral("/test_old.log"); }

// The log lines written since `offset` bytes.
inline QString logSince(qint64 offset) {
    const QByteArray log = readAll(guiLogPath());
    return QString::fromUtf8((readAll(oldGuiLogPath()) + log).mid(offset));
}

inline qint64 logSize() { return QFileInfo(guiLogPath()).size() + QFileInfo(oldGuiLogPath()).size(); }

}  // namespace test
