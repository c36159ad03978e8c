// The local copies' index and kept listing, as a start-up takes them in. The input is the index,
// then a line "--listing--", then the listing; a copy named in the seeds lies in the folder.
#include "app/LocalCopies.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArray separator("\n--listing--\n");
    const qsizetype at = bytes.indexOf(separator);
    const QByteArray index = at < 0 ? bytes : bytes.left(at);
    const QByteArray listing = at < 0 ? QByteArray() : bytes.mid(at + separator.size());
    QTemporaryDir dir;
    const auto write = [&](const QString& name, const QByteArray& content) {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    };
    if (!write("copies.json", index) || !write("listing.json", listing) ||
        !write("0123456789abcdef0123456789abcdef01234567.mp4", "four")) {
        return 0;
    }
    auto copies = LocalCopies::create({dir.path(), qint64(1) << 30, 0});
    copies->keptListing();
    copies->stats();
    copies->hasPlayableCopy("/srv/videos/day/a.mp4");
    copies->stop();
    return 0;
}
