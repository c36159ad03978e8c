#pragma once

// Real video files for tests, made once per test program with ffmpeg.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <QtEndian>

#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>

namespace test {

// Removed with its clips when the test program ends.
inline QTemporaryDir& clipFolder() {
    static QTemporaryDir dir;
    return dir;
}

// A test-pattern clip of the given length (H.264, 160x120, 25 fps), with a tone when asked.
// The same arguments give the same cached file.
inline QString clip(double seconds, bool audio = true, const QString& size = "160x120") {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    const QString path = clipFolder().filePath(
        QString("clip-%1-%2-%3.mp4").arg(seconds).arg(audio ? "a" : "v").arg(size));
    if (QFile::exists(path)) return path;
    QStringList args{"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                     QString("testsrc=duration=%1:size=%2:rate=25").arg(seconds).arg(size)};
    if (audio) args << "-f" << "lavfi" << "-i" << QString("sine=frequency=440:duration=%1").arg(seconds);
    args << "-c:v" << "libx264" << "-preset" << "ultrafast" << "-pix_fmt" << "yuv420p";
    if (audio) args << "-c:a" << "aac" << "-shortest";
    args << path;
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", args);
    ffmpeg.waitForFinished(60000);
    return QFile::exists(path) ? path : QString();
}

// A clip of one colour all over (an ffmpeg colour name), without sound; cached like clip().
inline QString solidClip(const QString& colour, double seconds, const QString& size = "160x120") {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    const QString path = clipFolder().filePath(QString("solid-%1-%2-%3.mp4").arg(colour).arg(seconds).arg(size));
    if (QFile::exists(path)) return path;
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                            QString("color=c=%1:size=%2:rate=25:duration=%3").arg(colour, size).arg(seconds),
                            "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", path});
    ffmpeg.waitForFinished(60000);
    return QFile::exists(path) ? path : QString();
}

// A copy of a clip under another name and folder.
inline QString copyClip(const QString& clipPath, const QString& to) {
    QDir().mkpath(QFileInfo(to).absolutePath());
    QFile::remove(to);
    QFile::copy(clipPath, to);
    return to;
}

// Overwrites bytes in the middle of an MP4's media data in place and puts its times back: its
// boxes, size and modification time stay as they were, only its content differs. False when the
// file has no media data large enough, or could not be written.
inline bool damageInsideMediaData(const QString& path) {
    struct stat before {};
    if (stat(QFile::encodeName(path).constData(), &before) != 0) return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) return false;
    const QByteArray bytes = file.readAll();
    const qsizetype mdat = bytes.indexOf("mdat");
    if (mdat < 4) return false;
    const qint64 boxSize = qFromBigEndian<quint32>(bytes.constData() + mdat - 4);
    if (boxSize < 16 * 1024 || mdat - 4 + boxSize > bytes.size()) return false;
    if (!file.seek(mdat - 4 + boxSize / 2) || file.write(QByteArray(4096, '\x5a')) != 4096) return false;
    file.close();
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

}  // namespace test
