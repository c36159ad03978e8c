#pragma once

// Stand-ins for xdg-open and xdg-email, put first on PATH: each records the arguments it was
// given (NUL-separated) in a file beside it and prints one line, as the real ones may.
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace test {

class DesktopStandIns {
public:
    DesktopStandIns() {
        for (const char* name : {"xdg-open", "xdg-email"}) {
            const QString script = dir.filePath(name);
            writeAll(script, QByteArray("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done >> \"$0.args\"\n"
                                        "printf '\\n' >> \"$0.calls\"\necho \"") + name + " was here\"\n");
            QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }
    // PATH with the stand-ins first.
    QString path() const { return dir.path() + ":" + QString::fromLocal8Bit(qgetenv("PATH")); }
    void putFirstOnPath() const { qputenv("PATH", QFile::encodeName(path())); }

    int calls(const char* name) const { return readAll(dir.filePath(QString(name) + ".calls")).count('\n'); }
    // The arguments of all calls so far, one after the other.
    QStringList arguments(const char* name) const {
        QByteArray bytes = readAll(dir.filePath(QString(name) + ".args"));
        if (bytes.endsWith('\0')) bytes.chop(1);
        QStringList out;
        if (bytes.isEmpty()) return out;
        for (const QByteArray& a : bytes.split('\0')) out += QString::fromUtf8(a);
        return out;
    }
    bool waitForCalls(const char* name, int count, int timeoutMs = 10000) const {
        return waitUntil([&] { return calls(name) >= count; }, timeoutMs, 20);
    }

    QTemporaryDir dir;
};

}  // namespace test
