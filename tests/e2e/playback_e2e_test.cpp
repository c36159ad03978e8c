#include "e2e/PlayerRun.h"

#include "Clips.h"

#include <QDateTime>
#include <QDirIterator>
#include <QImage>
#include <QRegularExpression>
#include <QUrl>

#include <gtest/gtest.h>

#include <random>

namespace {

using test::PlayerRun;

class PlaybackE2E : public ::testing::Test {
protected:
    void SetUp() override {
        source = run.root.filePath("source");
        daily = source + "/day";
        QDir().mkpath(daily);
    }

    QStringList args(int count = 3, int loops = 2) const {
        return {"-prefTamrinVideosFolder", source, "-prefDailyDateFormat", "'day'", "-prefRepeatListItemsCount",
                QString::number(count), "-prefNewMovieRepeatLoopCount", QString::number(loops)};
    }

    // A clip in today's folder, modified `secondsAgo` seconds ago.
    void addClip(const QString& name, int secondsAgo, double length = 1.0) {
        addFile(name, test::readAll(test::clip(length)), secondsAgo);
    }
    void addFile(const QString& name, const QByteArray& bytes, int secondsAgo) {
        const QString path = daily + "/" + name;
        test::writeAll(path, bytes);
        QFile f(path);
        f.open(QIODevice::ReadWrite);
        f.setFileTime(QDateTime::currentDateTime().addSecs(-secondsAgo), QFileDevice::FileModificationTime);
    }

    // The names of the files that "Need to play nextItem at" lines announce, in order.
    QStringList nextItems() const {
        QStringList names;
        static const QRegularExpression next(R"(\] Need to play nextItem at: (\S+)$)");
        for (const QString& line : run.log().split('\n')) {
            const auto m = next.match(line);
            if (m.hasMatch()) names += QUrl(m.captured(1)).fileName();
        }
        return names;
    }

    bool waitForNextItems(int count, int timeoutMs = 30000) const {
        QElapsedTimer t;
        t.start();
        while (nextItems().size() < count && t.elapsed() < timeoutMs) QThread::msleep(100);
        return nextItems().size() >= count;
    }

    PlayerRun run;
    QString source;
    QString daily;
};

TEST_F(PlaybackE2E, ANewFileRepeatsThenTheListCyclesAndAFileThatLandsIsNext) {
    addClip("a.mp4", 400);
    addClip("b.mp4", 300);
    addClip("c.mp4", 200);
    addClip("d.mp4", 100);
    run.start(args(3, 2));
    ASSERT_TRUE(waitForNextItems(5)) << run.log().toStdString();
    EXPECT_EQ(nextItems().mid(0, 5), (QStringList{"d.mp4", "c.mp4", "b.mp4", "d.mp4", "c.mp4"}));
    EXPECT_TRUE(run.log().contains("] first av item[PlayerItem] = <PlayerItem: 0x"));

    // A clip lands while it plays: it becomes the next new item and plays twice.
    const int before = nextItems().size();
    addClip("e.mp4", 5);
    ASSERT_TRUE(waitForNextItems(before + 4));
    const QStringList after = nextItems().mid(before);
    const qsizetype firstE = after.indexOf("e.mp4");
    ASSERT_GE(firstE, 0) << after.join(' ').toStdString();
    ASSERT_LE(firstE, 1);  // the item playing when it landed may end first
    EXPECT_EQ(after.value(firstE + 1), "e.mp4");
    EXPECT_EQ(after.value(firstE + 2), "d.mp4");
    EXPECT_TRUE(run.log().contains("] hasNewItem = self.repeatList = (\n"));
    EXPECT_FALSE(run.log().contains("Cannot play"));
    EXPECT_EQ(run.stop(), 0);
}

// Seconds since the epoch of a log line, from either the log's own stamp or the platform's.
double lineTime(const QString& line) {
    static const QRegularExpression own(R"(^\S+ \[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) )");
    static const QRegularExpression platform(R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) )");
    auto m = own.match(line);
    if (m.hasMatch()) return QDateTime::fromString(m.captured(1), "yyyy/MM/dd HH:mm:ss.zzz").toMSecsSinceEpoch() / 1000.0;
    m = platform.match(line);
    if (m.hasMatch()) return QDateTime::fromString(m.captured(1), "yyyy-MM-dd HH:mm:ss.zzz").toMSecsSinceEpoch() / 1000.0;
    return -1;
}

TEST_F(PlaybackE2E, BrokenFilesAmongTheNewestNeverStopThePlayer) {
    addClip("good.mp4", 300);
    std::mt19937 rng(3);
    QByteArray noise(300000, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    addFile("corrupt.mp4", noise, 200);
    addFile("empty.mp4", "", 100);
    run.start(args(3, 1));
    ASSERT_TRUE(waitForNextItems(9, 40000)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);

    const QString log = run.log();
    EXPECT_TRUE(log.contains("Cannot play " + daily + "/corrupt.mp4: ")) << log.toStdString();
    EXPECT_TRUE(log.contains("Cannot play " + daily + "/empty.mp4: "));
    EXPECT_GE(nextItems().count("good.mp4"), 2);
    // After every failure the next item is under way within about a second.
    const QStringList lines = log.split('\n');
    int failures = 0;
    for (int i = 0; i < lines.size(); ++i) {
        if (!lines[i].contains("Cannot play ")) continue;
        const double failedAt = lineTime(lines[i]);
        for (int j = i + 1; j < lines.size(); ++j) {
            if (!lines[j].contains("] Need to play nextItem at: ")) continue;
            EXPECT_LT(lineTime(lines[j]) - failedAt, 1.6) << lines[j].toStdString();
            ++failures;
            break;
        }
    }
    EXPECT_GE(failures, 4);
}

TEST_F(PlaybackE2E, ShellSyntaxInFolderAndFileNamesIsNeverRun) {
    source = run.root.filePath("a\"; rm -rf ~; \"b $(touch pwned) `touch pwned2` \\ $HOME");
    daily = source + "/day";
    QDir().mkpath(daily);
    addClip("$(touch pwned3).mp4", 300, 0.5);
    addClip("quote \" and 'single' `touch pwned4`.mp4", 200, 0.5);
    addClip("-dash; ls.mp4", 100, 0.5);
    run.start(args(3, 1));
    ASSERT_TRUE(waitForNextItems(4)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);
    EXPECT_EQ(nextItems().mid(0, 3),
              (QStringList{"quote \" and 'single' `touch pwned4`.mp4", "$(touch pwned3).mp4", "-dash; ls.mp4"}));
    EXPECT_FALSE(run.log().contains("Cannot play"));
    // Nothing was run: no file of those names appeared anywhere, and the home folder is there.
    QDirIterator it(run.root.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    int entries = 0;
    while (it.hasNext()) {
        it.next();
        ++entries;
        EXPECT_FALSE(QStringList({"pwned", "pwned2", "pwned3", "pwned4"}).contains(it.fileName())) << it.filePath().toStdString();
    }
    EXPECT_GT(entries, 5);
    EXPECT_TRUE(QFileInfo::exists(run.root.filePath("home/Library/Logs/Vorn/VornPlayer.log")));
}

TEST_F(PlaybackE2E, ThePollingLoopWaitsForTheFirstFileAndThenHandsItOver) {
    run.start(args());
    QElapsedTimer t;
    t.start();
    while (run.log().count("] start polling....\n") < 3 && t.elapsed() < 15000) QThread::msleep(100);
    ASSERT_GE(run.log().count("] start polling....\n"), 3);
    EXPECT_FALSE(run.log().contains("first av item"));
    addClip("late.mp4", 3);
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]", 10000));
    ASSERT_TRUE(waitForNextItems(1));
    EXPECT_EQ(nextItems().first(), "late.mp4");
    EXPECT_EQ(run.stop(), 0);
    EXPECT_TRUE(test::readAll(run.settingsPath()).contains("prefAppVersionString=Version: 1."));
}

// Under X: the window covers the whole screen with no title bar, and shows the video.
class ScreenE2E : public PlaybackE2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(ScreenE2E, TheVideoFillsTheScreenWithoutATitleBar) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    addFile("pattern.mp4", test::readAll(test::clip(6.0, true, "320x240")), 100);
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.env.insert("VORNPLAYER_RENDER", GetParam());
    run.env.remove("VORNPLAYER_VIDEO_OUTPUT");
    run.start(args() << "-prefDoShowMenuBar" << "NO");
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]"));
    QThread::msleep(2500);

    QProcess info;
    info.start("xwininfo", {"-name", "VornPlayer"});
    info.waitForFinished(5000);
    const QString geometry = QString::fromUtf8(info.readAllStandardOutput());
    EXPECT_TRUE(geometry.contains("Absolute upper-left X:  0")) << geometry.toStdString();
    EXPECT_TRUE(geometry.contains("Absolute upper-left Y:  0"));
    EXPECT_TRUE(geometry.contains("Width: 1280"));
    EXPECT_TRUE(geometry.contains("Height: 720"));

    const QString shot = QString(VORN_TEST_HELPERS "/screenshot-%1.png").arg(GetParam());
    QProcess grab;
    grab.start("ffmpeg", {"-loglevel", "error", "-y", "-f", "x11grab", "-video_size", "1280x720", "-i",
                          qgetenv("DISPLAY"), "-frames:v", "1", shot});
    grab.waitForFinished(20000);
    const QImage image(shot);
    ASSERT_FALSE(image.isNull());
    // 4:3 video on a 16:9 screen: black bars left and right, the test pattern between them,
    // from the very top row (no title bar, no menu bar) to the bottom.
    EXPECT_EQ(image.pixelColor(40, 360), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(1240, 360), QColor(Qt::black));
    int coloured = 0;
    for (int x = 200; x < 1080; x += 40) {
        for (int y : {2, 360, 717}) {
            const QColor c = image.pixelColor(x, y);
            if (c.value() > 60) ++coloured;
        }
    }
    EXPECT_GT(coloured, 50) << shot.toStdString();
    EXPECT_EQ(run.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Renderers, ScreenE2E, ::testing::Values("software", "opengl"));

}  // namespace
