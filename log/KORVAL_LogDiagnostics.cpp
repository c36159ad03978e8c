// The log's own system information, e-mail check and hex dumps.
#include "log/KORVAL_Log.h"

#include "platform/core/Format.h"

#include <QRegularExpression>

namespace {

void reportToLog(const QString& message) { KORVAL_Log::debug(message); }

// The general e-mail expression after RFC 5322, for lower-case letters only.
const char* const kEmailExpression =
    R"((?:[a-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[a-z0-9!#$%&'*+/=?^_`{|}~-]+)*|"(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")@(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|\[(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))";

}  // namespace

QString KORVAL_Log::safeTempFile(int* descriptor) { return safeTempFileReporting(descriptor, &reportToLog); }

bool KORVAL_Log::validateEmailAddress(const QString& address) {
    debug(fmt("Passed emailAddress=[%@] with length=[%i]...", address, static_cast<int>(address.size())));
    static const QRegularExpression whole(QStringLiteral("\\A(?:%1)\\z").arg(QString::fromLatin1(kEmailExpression)));
    return whole.match(address.toLower()).hasMatch();
}

QString KORVAL_Log::hexDumpBody(const char* bytes, qsizetype count, bool doublePercent) {
    QString hex;
    QString text;
    for (int slot = 0; slot < 16; ++slot) {
        if (slot < count) {
            const unsigned char b = static_cast<unsigned char>(bytes[slot]);
            hex += fmt("%.2x ", static_cast<unsigned>(b));
            if (b == 0x25) {
                text += doublePercent ? QStringLiteral("%%") : QStringLiteral("%");
            } else if (b >= 0x20 && b <= 0x7e) {
                text += QLatin1Char(static_cast<char>(b));
            } else {
                text += QLatin1Char('.');
            }
        } else {
            hex += QStringLiteral("   ");
        }
        if (slot == 7) hex += QLatin1Char(' ');
    }
    return hex + QStringLiteral(" |") + text + QLatin1Char('|');
}

void KORVAL_Log::logData(const QByteArray& data) {
    for (qsizetype offset = 0; offset < data.size(); offset += 16) {
        const qsizetype count = std::min<qsizetype>(16, data.size() - offset);
        debug(fmt("%.8x  ", static_cast<unsigned long long>(offset)) + hexDumpBody(data.constData() + offset, count, true));
    }
}
