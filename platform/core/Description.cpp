#include "platform/core/Description.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <QUrl>

namespace Description {

namespace {

const QString kIndentUnit = QStringLiteral("    ");

bool needsQuotes(const QString& s) {
    if (s.isEmpty()) return true;
    for (QChar c : s) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('.') ||
              c == QLatin1Char('/') || c == QLatin1Char('-'))) {
            return true;
        }
    }
    return false;
}

QString quoted(const QString& s) {
    QString out = QStringLiteral("\"");
    for (QChar c : s) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) out += QLatin1Char('\\');
        if (c == QLatin1Char('\n')) {
            out += QLatin1String("\\n");
            continue;
        }
        out += c;
    }
    return out + QLatin1Char('"');
}

QString describeData(const QByteArray& data) {
    const QByteArray shown = data.size() > 24 ? data.left(8).toHex() + " ... " + data.right(8).toHex()
                                              : data.toHex();
    return QStringLiteral("{length = %1, bytes = 0x%2}").arg(data.size()).arg(QString::fromLatin1(shown));
}

QString describeAt(const QVariant& value, const QString& indent, bool inCollection);

QString describeList(const QVariantList& list, const QString& indent) {
    if (list.isEmpty()) return QStringLiteral("(\n%1)").arg(indent);
    QStringList lines;
    for (const QVariant& entry : list) lines += indent + kIndentUnit + describeAt(entry, indent + kIndentUnit, true);
    return QStringLiteral("(\n") + lines.join(QStringLiteral(",\n")) + QLatin1Char('\n') + indent + QLatin1Char(')');
}

QString describeMap(const QVariantMap& map, const QString& indent) {
    QString out = QStringLiteral("{\n");
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const QString key = needsQuotes(it.key()) ? quoted(it.key()) : it.key();
        out += indent + kIndentUnit + key + QLatin1String(" = ") +
               describeAt(it.value(), indent + kIndentUnit, true) + QLatin1String(";\n");
    }
    return out + indent + QLatin1Char('}');
}

QString describeAt(const QVariant& value, const QString& indent, bool inCollection) {
    if (!value.isValid()) return QStringLiteral("(null)");
    switch (value.typeId()) {
        case QMetaType::QString: {
            const QString s = value.toString();
            if (s.isNull() && !inCollection) return QStringLiteral("(null)");
            return inCollection ? quoted(s) : s;
        }
        case QMetaType::Bool:
            return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
        case QMetaType::QByteArray:
            return describeData(value.toByteArray());
        case QMetaType::QStringList:
        case QMetaType::QVariantList:
            return describeList(value.toList(), indent);
        case QMetaType::QVariantMap:
            return describeMap(value.toMap(), indent);
        case QMetaType::QUrl:
            return value.toUrl().toString(QUrl::FullyEncoded);
        case QMetaType::QObjectStar: {
            const QObject* object = value.value<QObject*>();
            return object ? ofObject(object->metaObject()->className(), object) : QStringLiteral("(null)");
        }
        case QMetaType::QDateTime:
            return value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"));
        default:
            return value.toString();
    }
}

}  // namespace

QString describe(const QVariant& value) { return describeAt(value, QString(), false); }

QString ofObject(const char* className, const void* object) {
    return QStringLiteral("<%1: 0x%2>")
        .arg(QString::fromLatin1(className), QString::number(reinterpret_cast<quintptr>(object), 16));
}

}  // namespace Description
