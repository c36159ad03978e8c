#include "app/OddNames.h"

#include <QFile>
#include <QStringDecoder>

#include <dirent.h>
#include <sys/stat.h>

namespace {

// The script's video files: mp4 mov m4v mkv webm avi mpg mpeg ts mts, in any letter case.
bool isVideoName(const QByteArray& name) {
    const qsizetype dot = name.lastIndexOf('.');
    if (dot <= 0) return false;
    static const QList<QByteArray> kinds{"mp4", "mov", "m4v", "mkv", "webm", "avi", "mpg", "mpeg", "ts", "mts"};
    return kinds.contains(name.mid(dot + 1).toLower());
}

bool isUtf8(const QByteArray& name) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(name);  // decoding happens on the conversion
    return !utf8.hasError();
}

}  // namespace

QList<QByteArray> OddNames::in(const QString& folder) {
    QList<QByteArray> odd;
    const QByteArray path = QFile::encodeName(folder);
    DIR* dir = opendir(path.constData());
    if (!dir) return odd;
    while (const dirent* entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.') || !isVideoName(name) || (!name.contains('\n') && isUtf8(name))) continue;
        struct stat st {};
        if (stat((path + '/' + name).constData(), &st) == 0 && S_ISREG(st.st_mode)) odd += name;
    }
    closedir(dir);
    return odd;
}

QString OddNames::readable(const QByteArray& name) {
    QString out;
    for (qsizetype i = 0; i < name.size();) {
        // The longest run that decodes cleanly is kept as text; each byte that does not is shown.
        qsizetype end = i;
        while (end < name.size() && name.at(end) != '\n') ++end;
        for (; end > i; --end) {
            QStringDecoder part(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString text = part.decode(name.mid(i, end - i));
            if (!part.hasError()) {
                out += text;
                break;
            }
        }
        if (end > i) {
            i = end;
            continue;
        }
        out += name.at(i) == '\n' ? QStringLiteral("\\n")
                                  : QStringLiteral("\\x%1").arg(static_cast<unsigned char>(name.at(i)), 2, 16, QLatin1Char('0'));
        ++i;
    }
    return out;
}

QList<QByteArray> OddNames::notNamedYet(const QString& folder, const QList<QByteArray>& names) {
    if (folder != folder_) {
        folder_ = folder;
        named_.clear();
    }
    QList<QByteArray> fresh;
    for (const QByteArray& name : names) {
        if (named_.contains(name) || named_.size() >= kMostRemembered) continue;
        named_.insert(name);
        fresh += name;
    }
    return fresh;
}
