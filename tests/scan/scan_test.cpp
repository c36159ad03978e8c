#include "app/AppDelegate.h"
#include "app/DailyPattern.h"
#include "app/Scan.h"
#include "log/KORVAL_Log.h"
#include "platform/core/Bundle.h"
#include "platform/core/UserDefaults.h"

#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

DateFormatter::Clock::time_point localTime(int y, int mo, int d, int h, int mi) {
    const QDateTime t(QDate(y, mo, d), QTime(h, mi), Qt::LocalTime);
    return DateFormatter::Clock::time_point(std::chrono::milliseconds(t.toMSecsSinceEpoch()));
}

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        original = new Bundle(Bundle::mainBundle());
        store().setArgumentDomain({});
        QDir(root.path()).mkpath("aux");
        QDir(root.path()).mkpath("src");
    }
    void TearDown() override {
        Bundle::setMainBundle(*original);
        delete original;
        store().setArgumentDomain({});
    }
    static UserDefaults& store() { return UserDefaults::standardUserDefaults(); }

    // Installs a stand-in newest-files script with this body.
    void standIn(const QByteArray& body) {
        const QString path = root.filePath("aux/getnewestfiles.sh");
        test::writeAll(path, "#!/bin/sh\n" + body);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        Bundle::setMainBundle(Bundle(root.filePath("res"), root.filePath("aux")));
    }
    void useSource(const QString& source, const QVariant& count = 3) {
        QVariantMap args{{"prefTamrinVideosFolder", source}, {"prefDailyDateFormat", "'day'"}};
        if (count.isValid()) args.insert("prefRepeatListItemsCount", count);
        store().setArgumentDomain(args);
    }
    QString daily() const { return root.filePath("src/day"); }

    Bundle* original = nullptr;
    QTemporaryDir root;
    const std::shared_ptr<AppDelegate> controllerHandle = AppDelegate::create();
    AppDelegate& controller = *controllerHandle;
};

TEST_F(ScanTest, TheDayChangesAtThreeInTheMorning) {
    store().setArgumentDomain({{"prefDailyDateFormat", "yyyyMMdd"}});
    EXPECT_EQ(computeCurrentDaysFolderString2(3, 0, localTime(2026, 12, 7, 2, 59)), "20261206");
    EXPECT_EQ(computeCurrentDaysFolderString2(3, 0, localTime(2026, 12, 7, 3, 0)), "20261207");
    EXPECT_EQ(computeCurrentDaysFolderString2(3, 0, localTime(2027, 1, 1, 2, 30)), "20261231");
    EXPECT_EQ(computeCurrentDaysFolderString2(0, 90, localTime(2026, 12, 7, 1, 29)), "20261206");
}

TEST_F(ScanTest, ABlankPatternMeansYearMonthDay) {
    for (const char* blank : {"", "   ", "\n\t \n"}) {
        store().setArgumentDomain({{"prefDailyDateFormat", blank}});
        EXPECT_EQ(computeCurrentDaysFolderString2(3, 0, localTime(2026, 12, 7, 12, 0)), "20261207") << blank;
    }
    store().setArgumentDomain({});
    EXPECT_EQ(computeCurrentDaysFolderString2(3, 0, localTime(2026, 12, 7, 12, 0)), "20261207");
    store().setArgumentDomain({{"prefDailyDateFormat", "  yyyy/MM/dd \n"}});
    EXPECT_EQ(computeCurrentDaysFolderString2(3, 0, localTime(2026, 12, 7, 12, 0)), "2026/12/07");
}

TEST_F(ScanTest, TheDailyFolderIsMadeUnderTheSourceFolderWithEveryLevel) {
    store().setArgumentDomain({{"prefTamrinVideosFolder", root.filePath("src") + "//./"},
                               {"prefDailyDateFormat", "'videos'/yyyy/MM"}});
    const QString expected = root.filePath("src/videos/") + QDateTime::currentDateTime().addSecs(-3 * 3600).toString("yyyy/MM");
    EXPECT_EQ(controller.getDailyFolderForSourceFolder(), expected);
    EXPECT_TRUE(controller.validateDailyFolder());
    EXPECT_TRUE(QFileInfo(expected).isDir());

    // Something that is not a folder in its place.
    store().setArgumentDomain({{"prefTamrinVideosFolder", root.filePath("src")}, {"prefDailyDateFormat", "'taken'"}});
    test::writeAll(root.filePath("src/taken"), "a file");
    EXPECT_FALSE(controller.validateDailyFolder());
}

// A pattern whose folder would lie outside the source folder (from the settings file or the
// command line, which the preferences window does not check) is refused, named once in the log,
// and today's folder takes the default pattern's name inside the source folder.
TEST_F(ScanTest, APatternThatWouldLeaveTheSourceFolderIsRefusedAndTheDefaultNamesTheFolder) {
    const QString source = root.filePath("src/deep/er");
    ASSERT_TRUE(QDir().mkpath(source));
    store().setArgumentDomain({{"prefTamrinVideosFolder", source}, {"prefDailyDateFormat", " ../../'escape' "}});
    const QString log = root.filePath("scan.log");
    ASSERT_EQ(test::runInChild([&] {
                  KORVAL_Log::setLogFile(log);
                  return controller.validateDailyFolder() && controller.validateDailyFolder() ? 0 : 2;
              }),
              0);
    EXPECT_FALSE(QFileInfo::exists(root.filePath("src/escape")));
    const QString today = QDateTime::currentDateTime().addSecs(-3 * 3600).toString("yyyyMMdd");
    EXPECT_EQ(controller.getDailyFolderForSourceFolder(), source + "/" + today);
    EXPECT_EQ(QDir(source).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{today});
    EXPECT_EQ(QString::fromUtf8(test::readAll(log))
                  .count("] Daily folder pattern ../../'escape' refused: its folder \"../../escape\" would not lie "
                         "inside the source folder; the pattern yyyyMMdd names today's folder instead\n"),
              1)
        << test::readAll(log).toStdString();

    for (const char* outside : {"..", "a/../b", "./..", ".", "/", "//./", ""}) EXPECT_FALSE(liesInsideTheSourceFolder(outside)) << outside;
    for (const char* inside : {"a", "a/b", "./a", "/a", "...", "..a", "a.."}) EXPECT_TRUE(liesInsideTheSourceFolder(inside)) << inside;
}

TEST_F(ScanTest, NoStandInIsMadeForASourceFolderThatIsNotThere) {
    // The source folder lies on a share that is not mounted: nothing may be made in its place.
    store().setArgumentDomain({{"prefTamrinVideosFolder", root.filePath("share/videos")}, {"prefDailyDateFormat", "'day'"}});
    EXPECT_FALSE(controller.validateDailyFolder());
    EXPECT_TRUE(controller.scanFolderForNewItems().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(root.filePath("share")));
    // Nor inside the folder of a removable volume that is not mounted.
    store().setArgumentDomain({{"prefTamrinVideosFolder", "/media/VORN-NOT-MOUNTED"}, {"prefDailyDateFormat", "'day'"}});
    EXPECT_FALSE(controller.validateDailyFolder());
    EXPECT_FALSE(QFileInfo::exists("/media/VORN-NOT-MOUNTED"));
}

// Without a source folder nothing is scanned, and no dated folder appears wherever the player
// happened to start; the log says so once a minute, not at every look.
TEST_F(ScanTest, WithoutASourceFolderNothingIsScannedAndNoFolderIsMade) {
    store().setArgumentDomain({{"prefDailyDateFormat", "'relative-day'"}});
    EXPECT_EQ(controller.getDailyFolderForSourceFolder(), "relative-day");
    standIn("touch \"$(dirname \"$0\")/ran\"; printf 'a.mp4\\n'\n");
    const QString log = root.filePath("scan.log");
    const int status = test::runInChild([&] {
        KORVAL_Log::setLogFile(log);
        if (!QDir::setCurrent(root.path())) return 2;
        for (int look = 0; look < 3; ++look) {
            if (!controller.scanFolderForNewItems().isEmpty()) return 3;
        }
        return controller.validateDailyFolder() ? 4 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(QFileInfo::exists(root.filePath("relative-day")));
    EXPECT_FALSE(QFileInfo::exists(root.filePath("aux/ran")));
    EXPECT_EQ(QString::fromUtf8(test::readAll(log)).count("] No source folder is set: nothing to play\n"), 1);
}

TEST_F(ScanTest, NamesComeBackAsPathsInTheDailyFolder) {
    useSource(root.filePath("src"));
    standIn("printf 'a.mp4\\n.hidden.mp4\\n./sub.mp4\\n..two.mp4\\n'\n");
    EXPECT_EQ(controller.scanFolderForNewItems(),
              (QStringList{daily() + "/a.mp4", daily() + "/hidden.mp4", daily() + "/sub.mp4", daily() + "/.two.mp4"}));

    standIn("printf 'first.mp4\\n\\nsecond.mp4\\n'\n");
    EXPECT_EQ(controller.scanFolderForNewItems(), (QStringList{daily() + "/first.mp4", daily(), daily() + "/second.mp4"}));

    standIn("printf '   \\n \\n'\n");
    EXPECT_EQ(controller.scanFolderForNewItems(), QStringList{daily()});

    standIn("printf 'a.mp4\\n\\000b.mp4\\n'\n");
    EXPECT_EQ(controller.scanFolderForNewItems(), QStringList{daily() + "/a.mp4"});

    standIn("printf '  spaced name.mp4  \\n'\n");
    EXPECT_EQ(controller.scanFolderForNewItems(), QStringList{daily() + "/spaced name.mp4"});
}

TEST_F(ScanTest, NoUsableOutputMeansNoList) {
    useSource(root.filePath("src"));
    standIn("exit 0\n");
    EXPECT_TRUE(controller.scanFolderForNewItems().isEmpty());
    standIn("printf 'ok.mp4\\n\\377\\376.mp4\\n'\n");
    EXPECT_TRUE(controller.scanFolderForNewItems().isEmpty());
    // Only standard output counts, whatever the exit status.
    standIn("echo 'noise' >&2; echo kept.mp4; exit 3\n");
    EXPECT_EQ(controller.scanFolderForNewItems(), QStringList{daily() + "/kept.mp4"});
}

TEST_F(ScanTest, OutputIsReadUpTo512000Bytes) {
    useSource(root.filePath("src"));
    // 99-byte lines: the 5,172nd line is cut short at byte 512,000.
    standIn("i=0; line=$(printf '%094d.mp4' 0); while [ $i -lt 6000 ]; do echo \"$line\"; i=$((i+1)); done\n");
    const QStringList list = controller.scanFolderForNewItems();
    ASSERT_EQ(list.size(), 5172);
    EXPECT_TRUE(list.first().endsWith("/" + QString(94, '0') + ".mp4"));
    EXPECT_EQ(list.last(), daily() + "/" + QString(512000 - 5171 * 99, '0'));

    // A cut through a two-byte character spoils the whole output.
    standIn("printf a; i=0; while [ $i -lt 300000 ]; do printf '\\303\\251'; i=$((i+1)); done\n");
    EXPECT_TRUE(controller.scanFolderForNewItems().isEmpty());
}

TEST_F(ScanTest, TheCommandLineHandsEveryPathOverAsOneArgumentAndRunsNothingElse) {
    const QStringList sources{"a\"; rm -rf ~; \"b", "$(touch pwned) ${HOME}", "`touch pwned` back\\slash \\\" !x",
                              "new\nline", "plain"};
    for (const QString& name : sources) {
        const QString source = root.filePath("src/" + name);
        QDir().mkpath(source);
        useSource(source, "4");
        standIn("for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$(dirname \"$0\")/args\"\n");
        controller.scanFolderForNewItems();
        const QList<QByteArray> args = test::readAll(root.filePath("aux/args")).split('\0');
        ASSERT_GE(args.size(), 3) << name.toStdString();
        EXPECT_EQ(QString::fromUtf8(args[0]), source + "/day") << name.toStdString();
        EXPECT_EQ(args[1], "4");
        EXPECT_FALSE(QFile::exists(root.filePath("pwned")));
        EXPECT_FALSE(QFile::exists("pwned"));
    }
    // No count at all, or a count below 1, would list nothing: 1 goes on the command line.
    for (const QVariant& count : {QVariant(), QVariant(0), QVariant(-5)}) {
        QVariantMap arguments{{"prefTamrinVideosFolder", root.filePath("src/plain")}, {"prefDailyDateFormat", "'day'"}};
        if (count.isValid()) arguments.insert("prefRepeatListItemsCount", count);
        store().setArgumentDomain(arguments);
        controller.scanFolderForNewItems();
        EXPECT_EQ(test::readAll(root.filePath("aux/args")).split('\0').value(1), "1") << count.toString().toStdString();
    }
}

TEST_F(ScanTest, FailuresAreLoggedInTheirOwnWords) {
    useSource(root.filePath("src"));
    test::writeAll(root.filePath("src/day"), "not a folder");
    const QString log = root.filePath("scan.log");
    const int status = test::runInChild([&] {
        KORVAL_Log::setLogFile(log);
        if (!controller.scanFolderForNewItems().isEmpty()) return 2;
        QFile::remove(root.filePath("src/day"));
        Bundle::setMainBundle(Bundle(root.filePath("none"), root.filePath("none")));
        return controller.scanFolderForNewItems().isEmpty() ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
    const QString text = QString::fromUtf8(test::readAll(log));
    EXPECT_TRUE(text.contains("] Inside <AppDelegate: 0x")) << text.toStdString();
    EXPECT_TRUE(text.contains("> => scanFolderForNewItems... VERY BAD....\n"));
    EXPECT_TRUE(text.contains("] runShellScript FAILED => UNABLE to find script named: [getnewestfiles.sh]!\n"));
}

TEST_F(ScanTest, EveryStepOfAScanIsLogged) {
    useSource(root.filePath("src"));
    standIn("printf 'b.mp4\\na.mp4\\n'\n");
    const QString log = root.filePath("scan.log");
    ASSERT_EQ(test::runInChild([&] {
                  KORVAL_Log::setLogFile(log);
                  return controller.scanFolderForNewItems().size() == 2 ? 0 : 2;
              }),
              0);
    const QString text = QString::fromUtf8(test::readAll(log));
    EXPECT_TRUE(text.contains("] Will execute getnewestfiles.sh with param = (\n"));
    EXPECT_TRUE(text.contains("]     \"" + daily() + "\",\n"));
    EXPECT_TRUE(text.contains("]     3,\n"));
    EXPECT_TRUE(text.contains("] runCommand will execute: \"" + root.filePath("aux/getnewestfiles.sh") + "\" \"" + daily() + "\" 3 *\n"));
    EXPECT_TRUE(text.contains("] results is: (\n"));
    EXPECT_TRUE(text.contains("] full path = " + daily() + "/b.mp4\n"));
    EXPECT_TRUE(text.contains("] arrayWithFullPaths = (\n"));
}

TEST(RunShellCommandTest, AHungCommandCountsAsNoOutputAfterThirtySeconds) {
    QTemporaryDir dir;
    const QString log = dir.filePath("hang.log");
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(test::runInChild([&] {
                  KORVAL_Log::setLogFile(log);
                  return runShellCommand("echo partial; sleep 120").isNull() ? 0 : 2;
              }),
              0);
    EXPECT_GE(clock.elapsed(), 29000);
    EXPECT_LT(clock.elapsed(), 40000);
    const QString text = QString::fromUtf8(test::readAll(log));
    EXPECT_EQ(text.count('\n'), 1) << text.toStdString();
    EXPECT_TRUE(text.contains("] runShellCommand: no answer within 30 s, going on without output: echo partial; sleep 120\n"));
}

}  // namespace
