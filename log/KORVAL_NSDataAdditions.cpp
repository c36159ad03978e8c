#include "log/KORVAL_NSDataAdditions.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"

namespace KORVAL_NSDataAdditions {

QString hexdump(const QByteArray& data, qsizetype location, qsizetype length) {
    if (location < 0 || length < 0 || location > data.size() || length > data.size() - location) return QString();
    QString out(QLatin1String(""));  // an empty range dumps as an empty text, not as none
    QString previous;
    unsigned repeats = 0;
    for (qsizetype offset = 0; offset < length; offset += 16) {
        const qsizetype count = std::min<qsizetype>(16, length - offset);
        const QString body = KORVAL_Log::hexDumpBody(data.constData() + location + offset, count, false);
        if (offset > 0 && body == previous) {
            ++repeats;
            continue;
        }
        if (repeats) {
            out += fmt("* last line repeated %u times\n", repeats);
            repeats = 0;
        }
        out += fmt("%.8x  %@\n", static_cast<unsigned long long>(offset), body);
        previous = body;
    }
    // A run that goes on to the end is reported too: a dump must not hide its last lines.
    if (repeats) out += fmt("* last line repeated %u times\n", repeats);
    return out;
}

}  // namespace KORVAL_NSDataAdditions
