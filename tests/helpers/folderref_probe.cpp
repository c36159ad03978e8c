// Makes and resolves folder references from the command line, for tests that run inside a
// private mount namespace.
//   folderref_probe make PATH        prints the reference in hex
//   folderref_probe resolve HEX      prints the path found and "stale" or "fresh", or "unresolved"
#include "folderref/MyBookmarkDataKit.h"

#include <QCoreApplication>
#include <QUrl>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) return 2;
    if (std::strcmp(argv[1], "make") == 0) {
        const QByteArray data = MyBookmarkDataKit::bookmarkForURL(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[2])));
        if (data.isEmpty()) return 1;
        std::printf("%s\n", data.toHex().constData());
        return 0;
    }
    if (std::strcmp(argv[1], "resolve") == 0) {
        QString path;
        bool stale = false;
        if (!MyBookmarkDataKit::resolveAliasFromData(QByteArray::fromHex(argv[2]), &path, stale)) {
            std::printf("unresolved\n");
            return 0;
        }
        std::printf("%s\n%s\n", path.toLocal8Bit().constData(), stale ? "stale" : "fresh");
        return 0;
    }
    return 2;
}
