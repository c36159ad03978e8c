#include "platform/core/PathUtilities.h"

#include <QStringList>

#include <pwd.h>
#include <unistd.h>

namespace Path {

namespace {

QString homeOfUser(const QString& user) {
    if (user.isEmpty()) return homeDirectory();
    const QByteArray name = user.toLocal8Bit();
    if (const passwd* pw = getpwnam(name.constData())) return QString::fromLocal8Bit(pw->pw_dir);
    return QString();
}

QString expandTilde(const QString& path) {
    if (!path.startsWith(QLatin1Char('~'))) return path;
    const qsizetype slash = path.indexOf(QLatin1Char('/'));
    const QString user = path.mid(1, slash < 0 ? -1 : slash - 1);
    const QString home = homeOfUser(user);
    if (home.isEmpty()) return path;
    return slash < 0 ? home : home + path.mid(slash);
}

// Collapses runs of separators and drops a trailing one (the root keeps its slash).
QString tidySeparators(const QString& path) {
    QString out;
    out.reserve(path.size());
    for (QChar c : path) {
        if (c == QLatin1Char('/') && out.endsWith(QLatin1Char('/'))) continue;
        out += c;
    }
    if (out.size() > 1 && out.endsWith(QLatin1Char('/'))) out.chop(1);
    return out;
}

}  // namespace

QString homeDirectory() {
    const QByteArray env = qgetenv("HOME");
    if (!env.isEmpty()) return tidySeparators(QString::fromLocal8Bit(env));
    if (const passwd* pw = getpwuid(getuid())) return QString::fromLocal8Bit(pw->pw_dir);
    return QStringLiteral("/");
}

QString expandingTildeInPath(const QString& path) { return expandTilde(path); }

QString standardize(const QString& path) {
    if (path.isEmpty()) return path;
    const QString expanded = expandTilde(path);
    const bool absolute = expanded.startsWith(QLatin1Char('/'));
    QStringList kept;
    for (const QString& part : expanded.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".")) continue;
        if (part == QLatin1String("..")) {
            if (!kept.isEmpty() && kept.last() != QLatin1String("..")) {
                kept.removeLast();
                continue;
            }
            if (absolute) continue;  // nothing above the root
        }
        kept += part;
    }
    const QString joined = kept.join(QLatin1Char('/'));
    if (absolute) return QLatin1Char('/') + joined;
    return joined.isEmpty() ? QStringLiteral(".") : joined;
}

QString appendingPathComponent(const QString& path, const QString& component) {
    if (path.isEmpty()) return tidySeparators(component);
    if (component.isEmpty()) return tidySeparators(path);
    return tidySeparators(path + QLatin1Char('/') + component);
}

QString lastPathComponent(const QString& path) {
    const QString tidy = tidySeparators(path);
    if (tidy == QLatin1String("/")) return tidy;
    return tidy.mid(tidy.lastIndexOf(QLatin1Char('/')) + 1);
}

QString deletingLastPathComponent(const QString& path) {
    const QString tidy = tidySeparators(path);
    const qsizetype slash = tidy.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) return QString(QLatin1String(""));
    if (slash == 0) return QStringLiteral("/");
    return tidy.left(slash);
}

QString pathExtension(const QString& path) {
    const QString last = lastPathComponent(path);
    const qsizetype dot = last.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0) return QString(QLatin1String(""));
    return last.mid(dot + 1);
}

QString deletingPathExtension(const QString& path) {
    const QString tidy = tidySeparators(path);
    const QString ext = pathExtension(tidy);
    const QString last = lastPathComponent(tidy);
    if (ext.isEmpty() && !last.endsWith(QLatin1Char('.'))) return tidy;
    if (last.lastIndexOf(QLatin1Char('.')) <= 0) return tidy;
    return tidy.left(tidy.size() - ext.size() - 1);
}

}  // namespace Path
