#include "app/AppDelegate.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/core/UserDefaults.h"

#include "GuiTestSupport.h"

#include <QCheckBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* key : {"prefTamrinVideosFolder", "prefDailyDateFormat", "prefRepeatListItemsCount",
                                "prefNewMovieRepeatLoopCount", "prefDoAttemptToCreateFolderIfMissing", "prefDoShowMenuBar"}) {
            store().removeObjectForKey(key);
        }
        window.setModel(AppDelegate::preferencesModel());
    }
    static UserDefaults& store() { return UserDefaults::standardUserDefaults(); }
    PreferencesWindow window;
};

TEST_F(PreferencesTest, ShowsTheSettingsWithinTheirBounds) {
    store().setObject(QStringLiteral("/srv/videos"), "prefTamrinVideosFolder");
    store().setObject(QStringLiteral("yyyy-MM-dd"), "prefDailyDateFormat");
    store().setInteger(500, "prefRepeatListItemsCount");
    store().setInteger(-3, "prefNewMovieRepeatLoopCount");
    store().setBool(true, "prefDoShowMenuBar");
    window.show();
    EXPECT_EQ(window.sourceFolderPath()->text(), "/srv/videos");
    EXPECT_EQ(window.dailyPattern()->text(), "yyyy-MM-dd");
    EXPECT_EQ(window.newestCount()->value(), 100);
    EXPECT_EQ(window.repeatCount()->value(), 1);
    EXPECT_TRUE(window.showMenuBar()->isChecked());
    EXPECT_FALSE(window.createMissingFolder()->isChecked());
    // Showing stores nothing: the out-of-range values stay as they were until edited.
    EXPECT_EQ(store().integerForKey("prefRepeatListItemsCount"), 500);
    window.hide();
}

TEST_F(PreferencesTest, EveryEditIsStoredAtOnce) {
    bool menuBarApplied = false;
    window.onMenuBarSettingChanged = [&] { menuBarApplied = true; };
    window.show();
    window.newestCount()->setValue(7);
    EXPECT_EQ(store().integerForKey("prefRepeatListItemsCount"), 7);
    window.repeatCount()->setValue(4);
    EXPECT_EQ(store().integerForKey("prefNewMovieRepeatLoopCount"), 4);
    window.repeatCount()->setValue(999);  // bounded
    EXPECT_EQ(store().integerForKey("prefNewMovieRepeatLoopCount"), 50);
    window.createMissingFolder()->setChecked(true);
    EXPECT_TRUE(store().boolForKey("prefDoAttemptToCreateFolderIfMissing"));
    window.showMenuBar()->setChecked(true);
    EXPECT_TRUE(store().boolForKey("prefDoShowMenuBar"));
    EXPECT_TRUE(menuBarApplied);
    window.hide();
}

TEST_F(PreferencesTest, TheDailyPatternShowsTodaysFolderAndIsStoredOnlyWhenUsable) {
    window.show();
    QLineEdit* pattern = window.dailyPattern();
    const QString today = QDateTime::currentDateTime().addSecs(-3 * 3600).toString("yyyy/MM");
    pattern->selectAll();
    QTest::keyClicks(pattern, "yyyy/MM");
    EXPECT_EQ(store().stringForKey("prefDailyDateFormat"), "yyyy/MM");
    EXPECT_EQ(window.dailyPatternPreview()->text(), "Today's folder: " + today);

    // Typed key by key, each usable text is stored; an unusable one is shown as such and not stored.
    for (const char* bad : {"yyyy'", "jjj", "'.'"}) {
        pattern->selectAll();
        QTest::keyClicks(pattern, bad);
        EXPECT_TRUE(window.dailyPatternPreview()->text().startsWith("Not a usable pattern")) << bad;
        EXPECT_NE(store().stringForKey("prefDailyDateFormat"), bad);
    }
    EXPECT_EQ(store().stringForKey("prefDailyDateFormat"), "yyyy");  // the last usable text typed
    // Cleared: back to the factory pattern, shown as such.
    pattern->selectAll();
    QTest::keyClick(pattern, Qt::Key_Delete);
    EXPECT_FALSE(store().objectForKey("prefDailyDateFormat").isValid());
    EXPECT_EQ(window.dailyPatternPreview()->text(),
              "Today's folder: " + QDateTime::currentDateTime().addSecs(-3 * 3600).toString("yyyyMMdd"));
    window.hide();
}

}  // namespace
