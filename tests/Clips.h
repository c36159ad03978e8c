#pragma once

// Real video files for tests, made once per test program with ffmpeg.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <mutex>

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

}  // namespace test
