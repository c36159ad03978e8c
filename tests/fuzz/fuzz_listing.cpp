// What the newest-files script prints, as the scan reads it: the text, its lines, and the path
// each line names in today's folder.
#include "app/Listing.h"
#include "platform/core/PathUtilities.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString daily = QStringLiteral("/srv/videos/20261208");
    for (const QString& line : Listing::lines(Listing::textOfOutput(bytes))) {
        Path::lastPathComponent(Listing::fullPath(daily, line));
    }
    return 0;
}
