#include "app/AppDelegate.h"
#include "app/Settings.h"
#include "log/KORVAL_Log.h"
#include "platform/core/Bundle.h"
#include "platform/core/PropertyList.h"
#include "platform/core/UserDefaults.h"

#include "TestSupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(VersionStringTest, PrefersTheShortVersionThenTheGetInfoString) {
    EXPECT_EQ(AppDelegate::versionStringFromInfo(
                  {{"CFBundleShortVersionString", "2.1"}, {"DTXcode", "123"}, {"DTSDKName", "abc1.0"},
                   {"CFBundleGetInfoString", "ignored"}}),
              "Version: 2.1 xc-123 sdk-abc1.0");
    EXPECT_EQ(AppDelegate::versionStringFromInfo({{"CFBundleGetInfoString", "Demo 2.1, (c) Vorn"}, {"DTXcode", "9"}}),
              "Demo 2.1, (c) Vorn xc-9 sdk-(null)");
    EXPECT_EQ(AppDelegate::versionStringFromInfo({}), "Unknown Version xc-(null) sdk-(null)");
}

TEST(StartupTest, TheLogFileLivesInTheUsersLibraryLogs) {
    setenv("HOME", "/home/operator", 1);
    EXPECT_EQ(AppDelegate::logFilePath(), "/home/operator/Library/Logs/Vorn/VornPlayer.log");
}

class FactoryDefaultsTest : public ::testing::Test {
protected:
    // Runs setupFactoryDefaults in a child with a log file and an empty store of its own.
    int runSetup(const Bundle& bundle, const std::function<int()>& check) {
        return test::runInChild([&] {
            setenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("config")).constData(), 1);
            Bundle::setMainBundle(bundle);
            KORVAL_Log::setLogFile(dir.filePath("test.log"));
            AppDelegate::setupFactoryDefaults();
            return check();
        });
    }
    QString log() const { return QString::fromUtf8(test::readAll(dir.filePath("test.log"))); }
    QTemporaryDir dir;
};

TEST_F(FactoryDefaultsTest, TheShippedDefaultsAreRegisteredAndLogged) {
    const int status = runSetup(Bundle::mainBundle(), [] {
        UserDefaults& store = UserDefaults::standardUserDefaults();
        if (store.stringForKey("prefDailyDateFormat") != "yyyyMMdd") return 2;
        if (store.integerForKey("prefRepeatListItemsCount") <= 0) return 3;
        if (store.integerForKey("prefNewMovieRepeatLoopCount") <= 0) return 4;
        if (store.objectForKey("prefTamrinVideosFolder").isValid()) return 5;
        return 0;
    });
    EXPECT_EQ(status, 0);
    const QString text = log();
    EXPECT_TRUE(text.contains("] setupFactoryDefaults\n"));
    EXPECT_TRUE(text.contains("] userDefaultsValuesPath = [" + Bundle::mainBundle().pathForResource("FactoryDefault", "plist") + "]\n"));
    EXPECT_TRUE(text.contains("] About to register factory default dictionary:\nD ["));
    EXPECT_TRUE(text.contains("]     prefDailyDateFormat = \"yyyyMMdd\";\n"));
    EXPECT_FALSE(text.contains(" left out: "));
    // Nothing registered is written to disk.
    EXPECT_FALSE(QFile::exists(dir.filePath("config/Vorn/VornPlayer.conf")));
}

TEST_F(FactoryDefaultsTest, WithoutTheResourceEverySettingReadsAsAbsent) {
    QTemporaryDir empty;
    const int status = runSetup(Bundle(empty.path(), empty.path()), [] {
        UserDefaults& store = UserDefaults::standardUserDefaults();
        if (store.boolForKey("prefDoShowMenuBar")) return 2;
        if (store.boolForKey("prefDoAttemptToCreateFolderIfMissing")) return 3;
        if (store.integerForKey("prefRepeatListItemsCount") != 0) return 4;
        if (!store.stringForKey("prefDailyDateFormat").isNull()) return 5;
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(log().contains("] userDefaultsValuesPath = [(null)]\n"));
    EXPECT_TRUE(log().contains("] userDefaultsValuesDict == NIL!!!!\n"));
}

TEST_F(FactoryDefaultsTest, AResourceThatIsNotADictionaryRegistersNothing) {
    QTemporaryDir res;
    test::writeAll(res.filePath("FactoryDefault.plist"), "<plist version=\"1.0\"><array/></plist>");
    const int status = runSetup(Bundle(res.path(), res.path()), [] {
        return UserDefaults::standardUserDefaults().stringForKey("prefDailyDateFormat").isNull() ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(log().contains("] userDefaultsValuesDict == NIL!!!!\n"));
}

TEST_F(FactoryDefaultsTest, ValuesUnlikeTheTableAreLeftOutOneLineEachAndTheRestRegistered) {
    QTemporaryDir res;
    test::writeAll(res.filePath("FactoryDefault.plist"), R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>prefDailyDateFormat</key><string>yyyy-MM-dd</string>
<key>prefTamrinVideosFolder</key><integer>7</integer>
<key>prefTamrinVideosFolderAliasData</key><data>cmVm</data>
<key>prefDoShowMenuBar</key><string>YES</string>
<key>prefDoAttemptToCreateFolderIfMissing</key><true/>
<key>prefRepeatListItemsCount</key><integer>100</integer>
<key>prefNewMovieRepeatLoopCount</key><integer>51</integer>
<key>prefStatusToken</key><real>1.5</real>
<key>prefArrayOfPathsOfLastItems</key><array><string>/v/a.mp4</string><true/></array>
<key>prefFolderNameKey</key><string>/v</string>
</dict></plist>)");
    const int status = runSetup(Bundle(res.path(), res.path()), [] {
        UserDefaults& store = UserDefaults::standardUserDefaults();
        if (store.stringForKey("prefDailyDateFormat") != "yyyy-MM-dd") return 2;
        if (store.dataForKey("prefTamrinVideosFolderAliasData") != "ref") return 3;
        if (!store.boolForKey("prefDoAttemptToCreateFolderIfMissing")) return 4;
        if (store.integerForKey("prefRepeatListItemsCount") != 100) return 5;  // a bound itself fits
        for (const char* key : {"prefTamrinVideosFolder", "prefDoShowMenuBar", "prefNewMovieRepeatLoopCount",
                                "prefStatusToken", "prefArrayOfPathsOfLastItems", "prefFolderNameKey"}) {
            if (store.objectForKey(key).isValid()) return 6;
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
    const QString text = log();
    const QString leftOut = "] Factory default %1 left out: %2\n";
    // In key order, after the dictionary as it was read.
    const QStringList said{
        leftOut.arg("prefArrayOfPathsOfLastItems",
                    "it is an array holding a boolean where an array of strings belongs"),
        leftOut.arg("prefDoShowMenuBar", "it is a string where a boolean belongs"),
        leftOut.arg("prefFolderNameKey", "no setting has this key"),
        leftOut.arg("prefNewMovieRepeatLoopCount", "51 is outside its bounds 1 to 50"),
        leftOut.arg("prefStatusToken", "it is a real number where a string belongs"),
        leftOut.arg("prefTamrinVideosFolder", "it is an integer where a string belongs")};
    qsizetype at = text.indexOf("]     prefTamrinVideosFolderAliasData = {length = 3");
    ASSERT_GT(at, text.indexOf("] About to register factory default dictionary:\n"));
    for (const QString& line : said) {
        EXPECT_GT(text.indexOf(line), at) << line.toStdString();
        at = text.indexOf(line);
    }
    EXPECT_EQ(text.count(" left out: "), said.size());
}

TEST(FactoryDefaultsCheckTest, TheShippedDefaultsFitTheTable) {
    const auto shipped =
        PropertyList::dictionaryWithContentsOfFile(Bundle::mainBundle().pathForResource("FactoryDefault", "plist"));
    ASSERT_TRUE(shipped && !shipped->isEmpty());
    for (auto it = shipped->cbegin(); it != shipped->cend(); ++it) {
        EXPECT_EQ(Settings::factoryValueProblem(it.key(), it.value()), QString()) << it.key().toStdString();
    }
}

TEST(SettingsArgumentsTest, AMissingValueIsNotTakenFromTheNextSettingAndUnknownKeysAreNamed) {
    QStringList problems;
    const QVariantMap values = Settings::argumentDomain(
        {"vornplayer", "-prefRepeatListItemsCount", "-prefTamrinVideosFolder", "/srv/videos", "-prefTamrinVideoFolder",
         "/srv/typo", "-prefNewMovieRepeatLoopCount", "-5", "-platformtheme", "x", "-prefDoShowMenuBar"},
        &problems);
    // The count is left to the settings file; the folder is not lost to it.
    EXPECT_FALSE(values.contains("prefRepeatListItemsCount"));
    EXPECT_EQ(values.value("prefTamrinVideosFolder").toString(), "/srv/videos");
    // A value that merely starts with a dash is a value.
    EXPECT_EQ(values.value("prefNewMovieRepeatLoopCount").toString(), "-5");
    EXPECT_FALSE(values.contains("prefDoShowMenuBar"));
    // Whatever worked before still does: an unknown pair is kept as it was given.
    EXPECT_EQ(values.value("prefTamrinVideoFolder").toString(), "/srv/typo");
    EXPECT_EQ(values.value("platformtheme").toString(), "x");
    EXPECT_EQ(problems,
              QStringList({"Setting -prefRepeatListItemsCount has no value (-prefTamrinVideosFolder follows it): left as it "
                           "is for this run",
                           "Unknown setting -prefTamrinVideoFolder (did you mean -prefTamrinVideosFolder?): ignored",
                           "Setting -prefDoShowMenuBar has no value (it is the last argument): left as it is for this run"}));
    EXPECT_EQ(Settings::nearestKey("PREFSTATUSLISTENADRESS"), "prefStatusListenAddress");
    EXPECT_EQ(Settings::nearestKey("prefRepeatCount"), "prefRepeatListItemsCount");
}

TEST(SettingsArgumentsTest, EverySettingHasAMeaningAndATypeForTheHelp) {
    for (const SettingDeclaration* setting : Setting::all) {
        EXPECT_GT(std::strlen(setting->meaning), 10u) << setting->key;
        EXPECT_FALSE(Settings::typeText(*setting).isEmpty()) << setting->key;
    }
    EXPECT_EQ(Settings::typeText(Setting::RepeatListItemsCount), "integer from 1 to 100");
    EXPECT_EQ(Settings::valueText(QVariant(false)), "NO");
    EXPECT_EQ(Settings::valueText(QVariant()), "(none)");
    EXPECT_EQ(Settings::valueText(QString("")), "(empty)");
}

TEST(AppDelegatePropertiesTest, AtomicPropertiesAreReadWholeUnderConcurrentWrites) {
    const std::shared_ptr<AppDelegate> controllerHandle = AppDelegate::create();
    AppDelegate& controller = *controllerHandle;
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                const QString path = QStringLiteral("/v/%1/%2.mp4").arg(t).arg(i);
                controller.setPathToLastNewItem(path);
                controller.setRepeatList({path, path, path});
                controller.setRepeatcount(i);
            }
        });
    }
    std::thread reader([&] {
        while (!stop) {
            const QStringList list = controller.repeatList();
            if (!list.isEmpty() && (list.size() != 3 || list[0] != list[2])) ++torn;
            const QString path = controller.pathToLastNewItem();
            if (!path.isNull() && !path.endsWith(".mp4")) ++torn;
        }
    });
    for (auto& w : writers) w.join();
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(controller.repeatcount(), 19999);
}

}  // namespace
