#include "platform/core/UserDefaults.h"

#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath("Vorn/VornPlayer.conf"); }
};

TEST_F(UserDefaultsTest, ArgumentsHideUserValuesWhichHideFactoryDefaults) {
    UserDefaults store(path());
    store.registerDefaults({{"prefNewMovieRepeatLoopCount", 3}, {"prefDailyDateFormat", "yyyyMMdd"}});
    EXPECT_EQ(store.integerForKey("prefNewMovieRepeatLoopCount"), 3);

    store.setInteger(5, "prefNewMovieRepeatLoopCount");
    EXPECT_EQ(store.integerForKey("prefNewMovieRepeatLoopCount"), 5);

    store.setArgumentDomain({{"prefNewMovieRepeatLoopCount", "7"}});
    EXPECT_EQ(store.integerForKey("prefNewMovieRepeatLoopCount"), 7);
    EXPECT_EQ(store.stringForKey("prefDailyDateFormat"), "yyyyMMdd");

    store.setArgumentDomain({});
    store.removeObjectForKey("prefNewMovieRepeatLoopCount");
    EXPECT_EQ(store.integerForKey("prefNewMovieRepeatLoopCount"), 3);

    // Absent everywhere: none, false, 0.
    EXPECT_FALSE(store.objectForKey("prefTamrinVideosFolder").isValid());
    EXPECT_TRUE(store.stringForKey("prefTamrinVideosFolder").isNull());
    EXPECT_FALSE(store.boolForKey("prefDoShowMenuBar"));
    EXPECT_EQ(store.integerForKey("prefRepeatListItemsCount"), 0);
    EXPECT_TRUE(store.dataForKey("prefTamrinVideosFolderAliasData").isNull());
}

TEST_F(UserDefaultsTest, TypedReadsConvertLikeThePlatformStore) {
    UserDefaults store(path());
    store.setObject(QString("12 files"), "count");
    EXPECT_EQ(store.integerForKey("count"), 12);
    store.setObject(QString("  -3"), "count");
    EXPECT_EQ(store.integerForKey("count"), -3);
    store.setObject(QString("none"), "count");
    EXPECT_EQ(store.integerForKey("count"), 0);
    store.setObject(QString("99999999999999999999999"), "count");
    EXPECT_EQ(store.integerForKey("count"), std::numeric_limits<qint64>::max());
    store.setInteger(42, "count");
    EXPECT_EQ(store.stringForKey("count"), "42");

    for (const char* yes : {"YES", "true", "T", "1", "007", "+9"}) {
        store.setObject(QString(yes), "flag");
        EXPECT_TRUE(store.boolForKey("flag")) << yes;
    }
    for (const char* no : {"NO", "false", "0", "", "maybe", "-0"}) {
        store.setObject(QString(no), "flag");
        EXPECT_FALSE(store.boolForKey("flag")) << no;
    }
    store.setBool(true, "flag");
    EXPECT_EQ(store.integerForKey("flag"), 1);
    store.setObject(QStringList{"/v/a.mp4"}, "list");
    EXPECT_EQ(store.stringArrayForKey("list"), QStringList{"/v/a.mp4"});
    EXPECT_TRUE(store.stringForKey("list").isNull());
}

TEST_F(UserDefaultsTest, ValuesSurviveANewStoreOnTheSameFile) {
    const QByteArray reference("\x00\x01\xfe\xff reference", 15);
    const QStringList paths{"/v/a, b.mp4", "/v/\"quoted\" $HOME `x`.mp4", "/v/ünïcödé.mov"};
    {
        UserDefaults store(path());
        store.setObject(QString("/srv/videos"), "prefTamrinVideosFolder");
        store.setBool(true, "prefTamrinVideosFolderIsValid");
        store.setInteger(4, "prefRepeatListItemsCount");
        store.setObject(reference, "prefTamrinVideosFolderAliasData");
        store.setObject(paths, "prefArrayOfPathsOfLastItems");
        store.setObject(QStringList{"/v/one.mp4"}, "single");
    }
    UserDefaults again(path());
    again.registerDefaults({{"prefTamrinVideosFolder", "/factory"}});
    EXPECT_EQ(again.stringForKey("prefTamrinVideosFolder"), "/srv/videos");
    EXPECT_TRUE(again.boolForKey("prefTamrinVideosFolderIsValid"));
    EXPECT_EQ(again.integerForKey("prefRepeatListItemsCount"), 4);
    EXPECT_EQ(again.dataForKey("prefTamrinVideosFolderAliasData"), reference);
    EXPECT_EQ(again.stringArrayForKey("prefArrayOfPathsOfLastItems"), paths);
    EXPECT_EQ(again.stringArrayForKey("single"), QStringList{"/v/one.mp4"});
    // Keys stand in the [General] group under their own names.
    const QByteArray text = test::readAll(path());
    EXPECT_TRUE(text.startsWith("[General]\n")) << text.constData();
    EXPECT_TRUE(text.contains("\nprefTamrinVideosFolder=/srv/videos\n")) << text.constData();
}

TEST_F(UserDefaultsTest, AWriteReachesTheDiskSoonWithoutSynchronize) {
    UserDefaults store(path());
    store.setObject(QString("soon"), "prefAppVersionString");
    EXPECT_TRUE(test::waitUntil([&] { return test::readAll(path()).contains("prefAppVersionString=soon"); }, 2000, 20));
}

TEST_F(UserDefaultsTest, SynchronizeWritesByReplacingTheFileAndTakesInOtherWriters) {
    UserDefaults store(path());
    store.setObject(QString("a"), "first");
    ASSERT_TRUE(store.synchronize());
    struct stat before {};
    ASSERT_EQ(stat(QFile::encodeName(path()).constData(), &before), 0);

    store.setObject(QString("b"), "second");
    ASSERT_TRUE(store.synchronize());
    struct stat after {};
    ASSERT_EQ(stat(QFile::encodeName(path()).constData(), &after), 0);
    // A new inode: the file was replaced whole, never rewritten in place.
    EXPECT_NE(before.st_ino, after.st_ino);
    // No temporary file is left behind (QSettings keeps its lock file beside the settings).
    QStringList files = QDir(dir.filePath("Vorn")).entryList(QDir::Files | QDir::Hidden);
    files.removeAll("VornPlayer.conf.lock");
    EXPECT_EQ(files, QStringList{"VornPlayer.conf"});

    // Another program edits the file; synchronize brings its change in.
    ASSERT_TRUE(test::writeAll(path(), "[General]\nfirst=a\nsecond=b\nthird=\"from elsewhere, longer\"\n"));
    ASSERT_TRUE(store.synchronize());
    EXPECT_EQ(store.stringForKey("third"), "from elsewhere, longer");
    EXPECT_EQ(store.stringForKey("second"), "b");
}

class CorruptSettingsTest : public UserDefaultsTest, public ::testing::WithParamInterface<QByteArray> {};

TEST_P(CorruptSettingsTest, IsKeptAsideLoggedAndTheStoreRunsOnDefaults) {
    QDir().mkpath(dir.filePath("Vorn"));
    ASSERT_TRUE(test::writeAll(path(), GetParam()));
    const QString errPath = dir.filePath("stderr.txt");
    const int status = test::runInChild([&] {
        const int fd = open(QFile::encodeName(errPath).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        UserDefaults store(path());
        store.registerDefaults({{"prefNewMovieRepeatLoopCount", 3}});
        if (store.integerForKey("prefNewMovieRepeatLoopCount") != 3) return 2;
        store.setObject(QString("/srv/videos"), "prefTamrinVideosFolder");
        return store.synchronize() ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
    const QStringList aside = QDir(dir.filePath("Vorn")).entryList({"VornPlayer.conf.corrupt-*"});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(test::readAll(dir.filePath("Vorn/" + aside.first())), GetParam());
    EXPECT_TRUE(test::readAll(path()).contains("prefTamrinVideosFolder=/srv/videos"));
    const QByteArray err = test::readAll(errPath);
    EXPECT_TRUE(err.contains("is unusable")) << err.constData();
    EXPECT_TRUE(err.contains(QFile::encodeName(dir.filePath("Vorn/" + aside.first())))) << err.constData();
}

INSTANTIATE_TEST_SUITE_P(Garbage, CorruptSettingsTest,
                         ::testing::Values(QByteArray("\x7f\x45\x4c\x46\x02\x01\x01\x00\x00\x00\xff\xfe", 12),
                                           QByteArray("[General]\nprefDoShowMenuBar=true\n\0\0\0\0\n", 38),
                                           QByteArray("\xc3\x28\xa0\xa1=\xe2\x82\n"),
                                           QByteArray("\xff\xfe[\x80\n\xc0=\xc1\n\n")));

// A settings file over 1 MiB, however well formed, is no settings file of this program.
QByteArray wellFormedSettings(qsizetype bytes) {
    QByteArray text = "[General]\nprefDoShowMenuBar=true\n";
    for (int i = 0; text.size() < bytes; ++i) text += "padding" + QByteArray::number(i) + "=" + QByteArray(100, 'x') + "\n";
    text.truncate(bytes - 1);
    return text + "\n";
}

INSTANTIATE_TEST_SUITE_P(TooLarge, CorruptSettingsTest, ::testing::Values(wellFormedSettings(1024 * 1024 + 1)));

TEST_F(UserDefaultsTest, ASettingsFileOfOneMebibyteIsStillRead) {
    QDir().mkpath(dir.filePath("Vorn"));
    const QByteArray text = wellFormedSettings(1024 * 1024);
    ASSERT_EQ(text.size(), 1024 * 1024);
    ASSERT_TRUE(test::writeAll(path(), text));
    UserDefaults store(path());
    EXPECT_TRUE(store.boolForKey("prefDoShowMenuBar"));
    EXPECT_TRUE(QDir(dir.filePath("Vorn")).entryList({"VornPlayer.conf.corrupt-*"}).isEmpty());
}

// A hand edit or a line cut short costs that line only, at load and at every save after it.
TEST_F(UserDefaultsTest, AnUnreadableLineIsDroppedAndReportedAndEveryOtherSettingKept) {
    QDir().mkpath(dir.filePath("Vorn"));
    const QByteArray original =
        "[General]\n"
        "prefTamrinVideosFolder=/srv/videos\n"
        "prefRepeatListItemsCount=4\n"
        "typed by hand without an equals sign\n"
        "prefNewMovieRepeatLoopCount=2\n"
        "prefArrayOfPathsOfLastItems=\"/v/a.mp4\", \"/v/b\n"  // cut short: its open quote would swallow the next line
        "prefDoShowMenuBar=true\n"
        "caf\xc3=\xa9\n";  // not UTF-8
    ASSERT_TRUE(test::writeAll(path(), original));
    const QString errPath = dir.filePath("stderr.txt");
    test::StderrToFile capture(errPath);
    {
        UserDefaults store(path());
        EXPECT_EQ(store.stringForKey("prefTamrinVideosFolder"), "/srv/videos");
        EXPECT_EQ(store.integerForKey("prefRepeatListItemsCount"), 4);
        EXPECT_EQ(store.integerForKey("prefNewMovieRepeatLoopCount"), 2);
        EXPECT_TRUE(store.boolForKey("prefDoShowMenuBar"));
        EXPECT_FALSE(store.objectForKey("prefArrayOfPathsOfLastItems").isValid());
        store.setObject(QString("Version: 1.0"), "prefAppVersionString");
        EXPECT_TRUE(store.synchronize());
    }
    capture.restore();
    const QString err = QString::fromUtf8(test::readAll(errPath));
    for (const int line : {4, 6, 8}) {
        EXPECT_TRUE(err.contains(QStringLiteral("%1: line %2 cannot be read").arg(path()).arg(line))) << err.toStdString();
    }
    EXPECT_FALSE(err.contains("line 5 ")) << err.toStdString();
    const QStringList aside = QDir(dir.filePath("Vorn")).entryList({"VornPlayer.conf.corrupt-*"});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(test::readAll(dir.filePath("Vorn/" + aside.first())), original);

    // The save kept them all, and so does the next start.
    UserDefaults again(path());
    EXPECT_EQ(again.stringForKey("prefTamrinVideosFolder"), "/srv/videos");
    EXPECT_EQ(again.integerForKey("prefRepeatListItemsCount"), 4);
    EXPECT_EQ(again.integerForKey("prefNewMovieRepeatLoopCount"), 2);
    EXPECT_TRUE(again.boolForKey("prefDoShowMenuBar"));
    EXPECT_EQ(again.stringForKey("prefAppVersionString"), "Version: 1.0");
    EXPECT_EQ(QDir(dir.filePath("Vorn")).entryList({"VornPlayer.conf.corrupt-*"}).size(), 1);
}

TEST_F(UserDefaultsTest, ConcurrentReadersAndWritersSeeWholeValues) {
    UserDefaults store(path());
    store.registerDefaults({{"prefDailyDateFormat", "yyyyMMdd"}});
    constexpr int kThreads = 8;
    constexpr int kRounds = 1500;
    std::atomic<int> failures{0};
    std::atomic<bool> writing{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const QString key = QStringLiteral("key%1").arg(t);
            for (int i = 0; i < kRounds; ++i) {
                const QString value = QStringLiteral("thread %1 round %2 ").arg(t).arg(i).repeated(4);
                store.setObject(value, key);
                if (store.stringForKey(key) != value) ++failures;
                // Another thread's key holds one of that thread's whole values, or nothing yet.
                const QString other = store.stringForKey(QStringLiteral("key%1").arg((t + 1) % kThreads));
                if (!other.isNull() && !other.startsWith(QStringLiteral("thread %1 round ").arg((t + 1) % kThreads)))
                    ++failures;
                if (store.stringForKey("prefDailyDateFormat") != "yyyyMMdd") ++failures;
                if (i % 300 == 0) store.synchronize();
            }
        });
    }
    // Meanwhile the file on disk is always a whole file.
    std::thread reader([&] {
        while (writing) {
            const QByteArray text = test::readAll(path());
            if (!text.isEmpty() && (!text.startsWith("[General]\n") || !text.endsWith("\n"))) ++failures;
        }
    });
    for (auto& t : threads) t.join();
    writing = false;
    reader.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(store.synchronize());

    QSettings onDisk(path(), QSettings::IniFormat);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(onDisk.value(QStringLiteral("key%1").arg(t)).toString(),
                  QStringLiteral("thread %1 round %2 ").arg(t).arg(kRounds - 1).repeated(4));
    }
}

TEST_F(UserDefaultsTest, AValueTheFileAlreadyHoldsLeavesTheFileAsItIs) {
    QDir().mkpath(dir.filePath("Vorn"));
    // Typed by hand: a comment, an order of its own, a boolean and a number as the INI form has them.
    const QByteArray typed = "; the screen in the hall\n[General]\nprefTamrinVideosFolder=/srv/videos\n"
                             "prefTamrinVideosFolderIsValid=true\nprefRepeatListItemsCount=4\nprefAppVersionString=1.0\n";
    test::writeAll(path(), typed);
    const QDateTime written = QDateTime::currentDateTime().addSecs(-3600);
    {
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(written, QFileDevice::FileModificationTime));
    }
    {
        UserDefaults store(path());
        store.setObject(QString("/srv/videos"), "prefTamrinVideosFolder");
        store.setBool(true, "prefTamrinVideosFolderIsValid");
        store.setInteger(4, "prefRepeatListItemsCount");
        store.setObject(QString("1.0"), "prefAppVersionString");
        store.removeObjectForKey("prefNotThere");
        EXPECT_TRUE(store.synchronize());
    }
    EXPECT_EQ(test::readAll(path()), typed);
    EXPECT_EQ(QFileInfo(path()).lastModified(), written);

    // A value that changes is written, and one changed and changed back is written as it ends.
    {
        UserDefaults store(path());
        store.setObject(QString("2.0"), "prefAppVersionString");
        store.setInteger(5, "prefRepeatListItemsCount");
        store.setInteger(4, "prefRepeatListItemsCount");
        EXPECT_TRUE(store.synchronize());
    }
    QSettings onDisk(path(), QSettings::IniFormat);
    EXPECT_EQ(onDisk.value("prefAppVersionString").toString(), "2.0");
    EXPECT_EQ(onDisk.value("prefRepeatListItemsCount").toInt(), 4);
}

TEST_F(UserDefaultsTest, SystemFilesLieBelowTheUsersAndAreNeverWritten) {
    const QString fleet = dir.filePath("etc/Vorn/VornPlayer.conf");
    const QString site = dir.filePath("site/Vorn/VornPlayer.conf");
    QDir().mkpath(dir.filePath("etc/Vorn"));
    QDir().mkpath(dir.filePath("site/Vorn"));
    const QByteArray fleetText = "[General]\nprefTamrinVideosFolder=/srv/fleet\nprefRepeatListItemsCount=6\n"
                                 "prefDailyDateFormat=yyyy-MM-dd\nbroken line\n";
    test::writeAll(fleet, fleetText);
    test::writeAll(site, "[General]\nprefRepeatListItemsCount=8\n");
    UserDefaults store(path(), {site, fleet});
    store.registerDefaults({{"prefDailyDateFormat", "yyyyMMdd"}, {"prefNewMovieRepeatLoopCount", 3}});
    // The first file listed wins over the later ones; a system file wins over the factory values.
    EXPECT_EQ(store.stringForKey("prefTamrinVideosFolder"), "/srv/fleet");
    EXPECT_EQ(store.integerForKey("prefRepeatListItemsCount"), 8);
    EXPECT_EQ(store.stringForKey("prefDailyDateFormat"), "yyyy-MM-dd");
    EXPECT_EQ(store.integerForKey("prefNewMovieRepeatLoopCount"), 3);
    // The user's own value wins over the fleet's, and goes into the user's file only.
    store.setObject(QString("/home/screen/videos"), "prefTamrinVideosFolder");
    EXPECT_EQ(store.stringForKey("prefTamrinVideosFolder"), "/home/screen/videos");
    ASSERT_TRUE(store.synchronize());
    EXPECT_EQ(test::readAll(fleet), fleetText) << "a line it cannot read is left in the administrator's file";
    QSettings onDisk(path(), QSettings::IniFormat);
    EXPECT_EQ(onDisk.allKeys(), QStringList{"prefTamrinVideosFolder"});
    store.removeObjectForKey("prefTamrinVideosFolder");
    EXPECT_EQ(store.stringForKey("prefTamrinVideosFolder"), "/srv/fleet");
}

TEST(UserDefaultsSystemFiles, FollowXdgConfigDirsWithEtcXdgByDefault) {
    const QByteArray saved = qgetenv("XDG_CONFIG_DIRS");
    qputenv("XDG_CONFIG_DIRS", "/opt/site:relative/ignored::/etc/xdg");
    const QStringList listed = UserDefaults::systemFilePaths();
    qunsetenv("XDG_CONFIG_DIRS");
    const QStringList byDefault = UserDefaults::systemFilePaths();
    if (saved.isNull()) qunsetenv("XDG_CONFIG_DIRS"); else qputenv("XDG_CONFIG_DIRS", saved);
    ASSERT_EQ(listed.size(), 2);
    EXPECT_TRUE(listed[0].startsWith("/opt/site/Vorn/") && listed[0].endsWith(".conf")) << listed[0].toStdString();
    EXPECT_TRUE(listed[1].startsWith("/etc/xdg/Vorn/"));
    ASSERT_EQ(byDefault.size(), 1);
    EXPECT_EQ(byDefault[0], listed[1]);
}

TEST(UserDefaultsArguments, PairsOfDashKeyAndValue) {
    const QVariantMap args = UserDefaults::argumentDomainFromArguments(
        {"vornplayer", "-prefTamrinVideosFolder", "/srv/my videos", "--verbose", "x", "-5", "-prefDoShowMenuBar", "NO",
         "-dangling"});
    EXPECT_EQ(args.value("prefTamrinVideosFolder").toString(), "/srv/my videos");
    EXPECT_EQ(args.value("prefDoShowMenuBar").toString(), "NO");
    EXPECT_FALSE(args.contains("dangling"));
    EXPECT_EQ(args.size(), 2);
}

}  // namespace
