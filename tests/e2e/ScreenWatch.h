#pragma once

// A screen of the test's own and a watch on what it shows: how long the picture stood still.
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QImage>
#include <QRect>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace test {

// The middle third of a screen of that size.
inline QRect centreThird(const QSize& screen) {
    return QRect(screen.width() / 3, screen.height() / 3, screen.width() / 3, screen.height() / 3);
}

// The share of samples of the middle third of a grab that are the test pattern's colours (a
// panel or an alert there is grey or white).
inline double colouredShareOfCentre(const QImage& shot) {
    int coloured = 0, samples = 0;
    const QRect centre = centreThird(shot.size());
    for (int y = centre.top(); y < centre.bottom(); y += 8) {
        for (int x = centre.left(); x < centre.right(); x += 8, ++samples) {
            if (shot.pixelColor(x, y).saturation() > 80) ++coloured;
        }
    }
    return samples ? double(coloured) / samples : 0;
}

// An X server of the test's own (Xvfb), so that keys typed into the player's window reach it
// alone, and what it shows is the player's alone, whatever else runs beside the test.
class OwnXServer {
public:
    explicit OwnXServer(const QString& size = "800x600") : size(size) {
        QFile displayFile(dir.filePath("display"));
        if (!displayFile.open(QIODevice::WriteOnly)) return;
        xvfb.setStandardOutputFile(QProcess::nullDevice());
        xvfb.setStandardErrorFile(QProcess::nullDevice());
        // Descriptor 3 of Xvfb is the file; should the file be 3 already, it only loses its close-on-exec.
        xvfb.setChildProcessModifier([fd = displayFile.handle()] {
            if (fd == 3) {
                fcntl(3, F_SETFD, 0);
            } else {
                dup2(fd, 3);
            }
        });
        xvfb.start("Xvfb", {"-displayfd", "3", "-screen", "0", size + "x24", "-nolisten", "tcp"});
        if (!xvfb.waitForStarted(5000)) return;
        waitUntil([&] { return !readAll(dir.filePath("display")).trimmed().isEmpty(); }, 10000, 20);
        const QByteArray number = readAll(dir.filePath("display")).trimmed();
        if (!number.isEmpty()) display = ":" + QString::fromLatin1(number);
    }
    ~OwnXServer() {
        xvfb.terminate();
        if (!xvfb.waitForFinished(5000)) xvfb.kill();
        xvfb.waitForFinished();
    }
    // Types the keys into the window named VornPlayer; false when there is none.
    bool typeKeys(const QString& keys) const {
        QProcess find;
        find.setProcessEnvironment(environment());
        find.start("xdotool", {"search", "--onlyvisible", "--name", "^VornPlayer$"});
        find.waitForFinished(5000);
        const QString id = QString::fromUtf8(find.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts).value(0);
        if (id.isEmpty()) return false;
        QProcess type;
        type.setProcessEnvironment(environment());
        type.start("sh", {"-c", "xdotool windowfocus --sync \"$1\" && xdotool key --clearmodifiers \"$2\"", "sh", id, keys});
        return type.waitForFinished(5000) && type.exitCode() == 0;
    }
    // What the screen shows now (ffmpeg's x11grab); a null image when it could not be taken.
    QImage grab() const {
        const QString shot = dir.filePath("grab.png");
        QFile::remove(shot);
        QProcess ffmpeg;
        ffmpeg.setProcessEnvironment(environment());
        ffmpeg.start("ffmpeg", {"-loglevel", "error", "-y", "-f", "x11grab", "-video_size", size, "-i", display,
                                "-frames:v", "1", shot});
        ffmpeg.waitForFinished(20000);
        QImage image(shot);
        QFile::remove(shot);
        return image;
    }
    // Where the viewable top-level windows named `name` stand on the screen.
    QList<QRect> windowsNamed(const QString& name) const {
        QProcess info;
        info.setProcessEnvironment(environment());
        info.start("xwininfo", {"-root", "-children"});
        info.waitForFinished(5000);
        // 0x600007 "VornPlayer": ("vornplayer" "vornplayer")  420x110+16+16  +16+16
        static const QRegularExpression line(R"re(^\s*0x[0-9a-f]+ "(.*)":.*\s(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$)re");
        QList<QRect> found;
        for (const QString& text : QString::fromUtf8(info.readAllStandardOutput()).split('\n')) {
            const auto m = line.match(text);
            if (!m.hasMatch() || m.captured(1) != name) continue;
            QProcess state;
            state.setProcessEnvironment(environment());
            state.start("xwininfo", {"-id", text.trimmed().section(' ', 0, 0)});
            state.waitForFinished(5000);
            if (!state.readAllStandardOutput().contains("Map State: IsViewable")) continue;
            found += QRect(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
        }
        return found;
    }
    // The player started with `env` draws its pictures here, in a real X window, as on a wall.
    void showPlayerHere(QProcessEnvironment& env) const {
        env.insert("DISPLAY", display);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.remove("VORNPLAYER_VIDEO_OUTPUT");
    }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        return env;
    }

    const QString size;
    QTemporaryDir dir;
    QProcess xvfb;
    QString display;  // empty: no server
};

// A screen of the test's own whose pictures can be watched; none where Xvfb or ffmpeg is
// missing or the server did not start.
inline std::unique_ptr<OwnXServer> watchableScreen(const QString& size = "640x480") {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty() || QStandardPaths::findExecutable("ffmpeg").isEmpty()) {
        return nullptr;
    }
    auto screen = std::make_unique<OwnXServer>(size);
    if (screen->display.isEmpty()) screen.reset();
    return screen;
}

// Grabs the X screen ten times a second (ffmpeg's x11grab) and finds where the picture stood still
// (ffmpeg's freezedetect: no change beyond noise for 0.3 s or longer). Real pixels of what the
// screen shows, whatever the player believes it plays.
class StillPictureWatch {
public:
    explicit StillPictureWatch(const OwnXServer& x) {
        grab.setProcessEnvironment(x.environment());
        grab.setStandardOutputFile(QProcess::nullDevice());
        grab.start("ffmpeg", {"-hide_banner", "-nostats", "-loglevel", "info", "-f", "x11grab", "-framerate", "10",
                              "-video_size", x.size, "-i", x.display, "-vf", "freezedetect=n=0.003:d=0.3", "-f", "null",
                              "-"});
        started.start();
    }
    ~StillPictureWatch() { stop(); }

    // Ends the watch; the longest time the picture stood still, in ms (-1: the grab did not run).
    qint64 stop() {
        if (grab.state() != QProcess::NotRunning) {
            const qint64 atEnd = started.elapsed();
            ::kill(static_cast<pid_t>(grab.processId()), SIGINT);
            if (!grab.waitForFinished(10000)) grab.kill();
            grab.waitForFinished();
            longest_ = stillTimes(atEnd).longest;
        }
        return longest_;
    }
    // How long the picture has stood still now, in ms (0: it moves).
    qint64 stillNow() { return stillTimes(started.elapsed()).now; }

private:
    struct Still {
        qint64 longest = -1;
        qint64 now = 0;
    };
    // A still picture that has begun but not ended lasts until `endMs`.
    Still stillTimes(qint64 endMs) {
        grab.waitForReadyRead(0);
        log += QString::fromUtf8(grab.readAllStandardError());
        static const QRegularExpression line(R"(lavfi\.freezedetect\.freeze_(start|duration|end): ([0-9.]+))");
        Still still;
        if (!log.contains("Output #0")) return still;
        still.longest = 0;
        double openStart = -1;
        for (auto it = line.globalMatch(log); it.hasNext();) {
            const auto m = it.next();
            const double seconds = m.captured(2).toDouble();
            if (m.captured(1) == "start") openStart = seconds;
            if (m.captured(1) == "duration") still.longest = std::max(still.longest, static_cast<qint64>(seconds * 1000));
            if (m.captured(1) == "end") openStart = -1;
        }
        if (openStart >= 0) {
            still.now = endMs - static_cast<qint64>(openStart * 1000);
            still.longest = std::max(still.longest, still.now);
        }
        return still;
    }

    QProcess grab;
    QElapsedTimer started;
    QString log;
    qint64 longest_ = -1;
};

}  // namespace test
