#pragma once

#include <QString>
#include <QVariant>

#include <optional>

// Property lists (XML or binary) as Qt values: dictionaries become QVariantMap, arrays
// QVariantList, strings QString, integers qint64 (quint64 above its range), reals double,
// booleans bool, data QByteArray, dates QDateTime. A value that cannot be read (a string holding
// a NUL byte, nesting deeper than 64) is left out of its dictionary or array with a line on the
// system log; the rest is read.
namespace PropertyList {

std::optional<QVariant> readFile(const QString& path);
std::optional<QVariant> fromData(const QByteArray& bytes);

// The top level read as a dictionary; none when unreadable or of another kind.
std::optional<QVariantMap> dictionaryWithContentsOfFile(const QString& path);

}  // namespace PropertyList
