#include "app/AppDelegate.h"
#include "app/Settings.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/core/Bundle.h"
#include "platform/core/PropertyList.h"
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
    // The window's controls by the key bound to each, read from the window itself.
    QMultiHash<QString, QWidget*> boundControls() const {
        QMultiHash<QString, QWidget*> bound;
        for (QWidget* control : window.findChildren<QWidget*>()) {
            if (!window.boundKey(control).isNull()) bound.insert(window.boundKey(control), control);
        }
        return bound;
    }
    static QVariantMap tableValues() {
        QVariantMap values;
        for (const SettingDeclaration* setting : Setting::all) {
            values.insert(setting->name(), store().objectForKey(setting->name()));
        }
        return values;
    }
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

TEST_F(PreferencesTest, EachSettingTheTableShowsHasOneControlOfItsKindWithItsBoundsAndAFactoryValue) {
    const auto shipped =
        PropertyList::dictionaryWithContentsOfFile(Bundle::mainBundle().pathForResource("FactoryDefault", "plist"));
    ASSERT_TRUE(shipped);
    const QMultiHash<QString, QWidget*> bound = boundControls();
    for (const QString& key : bound.uniqueKeys()) EXPECT_NE(Settings::find(key), nullptr) << key.toStdString();
    for (const SettingDeclaration* setting : Setting::all) {
        const QList<QWidget*> controls = bound.values(setting->name());
        ASSERT_EQ(controls.size(), setting->inPreferences() ? 1 : 0) << setting->key;
        if (controls.isEmpty()) continue;
        QWidget* control = controls.front();
        EXPECT_TRUE(control->isEnabled()) << setting->key;
        if (setting->type == SettingType::Integer) {
            const auto* box = qobject_cast<QSpinBox*>(control);
            ASSERT_TRUE(box && setting->hasBounds()) << setting->key;
            EXPECT_EQ(box->minimum(), setting->minimum) << setting->key;
            EXPECT_EQ(box->maximum(), setting->maximum) << setting->key;
        } else if (setting->type == SettingType::Bool) {
            EXPECT_TRUE(qobject_cast<QCheckBox*>(control)) << setting->key;
        } else {
            EXPECT_TRUE(qobject_cast<QLineEdit*>(control) && setting->type != SettingType::Data &&
                        setting->type != SettingType::StringList)
                << setting->key;
        }
        // What the window edits opens on a factory value; the source folder is only shown, unset until chosen.
        const auto* field = qobject_cast<QLineEdit*>(control);
        if (!(field && field->isReadOnly())) {
            EXPECT_TRUE(shipped->contains(setting->name())) << setting->key;
        }
    }
}

TEST_F(PreferencesTest, AControlTheModelLeavesOutIsOffAndStoresNothing) {
    PreferencesModel menuBarOnly = AppDelegate::preferencesModel();
    menuBarOnly.settings.removeIf(
        [](const PreferencesSetting& setting) { return setting.control != PreferencesControl::ShowMenuBar; });
    window.setModel(menuBarOnly);
    window.show();
    EXPECT_EQ(boundControls().keys().join(' ').toStdString(), "prefDoShowMenuBar");
    const QVariantMap before = tableValues();
    const QList<QWidget*> unbound{window.sourceFolderPath(), window.dailyPattern(), window.newestCount(),
                                  window.repeatCount(), window.createMissingFolder()};
    for (QWidget* control : unbound) EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    window.newestCount()->setValue(9);
    window.repeatCount()->setValue(9);
    window.createMissingFolder()->toggle();
    EXPECT_EQ(tableValues(), before);
    window.showMenuBar()->toggle();
    EXPECT_EQ(store().boolForKey("prefDoShowMenuBar"), window.showMenuBar()->isChecked());
    window.hide();
}

}  // namespace
