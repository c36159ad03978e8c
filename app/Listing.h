#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The newest-files script's answer: one name a line, newest first, each relative to today's
// folder (a leading "." as find prints it).
namespace Listing {

// What a command printed, as text: up to the first zero byte, decoded as UTF-8; null when it
// printed nothing or what it printed is not UTF-8, empty (not null) when it began with a zero byte.
QString textOfOutput(const QByteArray& printed);

// The lines of the answer, without the white space around it.
QStringList lines(const QString& output);

// The absolute path of a line's file inside today's folder.
QString fullPath(const QString& dailyFolder, QString line);

}  // namespace Listing
