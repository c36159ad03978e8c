#pragma once

#include <QString>
#include <QVariant>

#include <optional>

// Property lists (XML or binary) as Qt values: dictionaries become QVariantMap, arrays
// QVariantList, strings QString, integers qint64 (quint64 above its range), reals double,
// booleans bool, data QByteArray, dates QDateTime. A key or string holding a NUL byte is left out
// of its dictionary or array with a line on the system log, and the rest is read; a list larger
// than 1 MiB or nested deeper than 64 levels is not read at all (a line says so).
namespace PropertyList {

std::optional<QVariant> readFile(const QString& path);
std::optional<QVariant> fromData(const QByteArray& bytes);

// The top level read as a dictionary; none when unreadable or of another kind.
std::optional<QVariantMap> dictionaryWithContentsOfFile(const QString& path);

}  // namespace PropertyList
