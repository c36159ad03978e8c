#include "app/Listing.h"

#include "platform/core/PathUtilities.h"

#include <QStringDecoder>

namespace Listing {

QString textOfOutput(const QByteArray& printed) {
    if (printed.isEmpty()) return QString();
    const qsizetype zero = printed.indexOf('\0');
    const QByteArray text = zero < 0 ? printed : printed.left(zero);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(text);
    if (utf8.hasError()) return QString();
    if (decoded.isNull()) decoded = QString(QLatin1String(""));  // a leading zero byte: read, but empty
    return decoded;
}

QStringList lines(const QString& output) { return output.isNull() ? QStringList() : output.trimmed().split(QLatin1Char('\n')); }

QString fullPath(const QString& dailyFolder, QString line) {
    if (line.startsWith(QLatin1Char('.'))) line.remove(0, 1);
    return Path::appendingPathComponent(dailyFolder, line);
}

}  // namespace Listing
