#include "app/AppDelegate.h"
#include "app/Validation.h"
#include "folderref/MyBookmarkDataKit.h"
#include "platform/ui/MainWindow.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerView.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/core/UserDefaults.h"

#include "Clips.h"
#include "DesktopStandIns.h"
#include "GuiTestSupport.h"
#include "SessionBus.h"

#include <QAction>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <thread>

namespace {

QFileDialog* openPanel(QWidget* window) {
    for (QFileDialog* d : window->findChildren<QFileDialog*>()) {
        if (d->isVisible()) return d;
    }
    return nullptr;
}

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        standIns.putFirstOnPath();
        qputenv("HOME", QFile::encodeName(home.path()));
        window = new MainWindow;
        preferences = new PreferencesWindow(window);
        preferences->setModel(AppDelegate::preferencesModel());
        controller = AppDelegate::create();
        controller->setWindow(window);
        controller->setPlayerview(window->playerView());
        controller->setFPreferencesWindow(preferences);
        preferences->onClose = [this](QObject* sender) { controller->ibCloseWindow(sender); };
        preferences->onChangeSourceFolder = [this](QObject* sender) { controller->ibClickedOnChangeSourceVideosFolder(sender); };
        window->show();
        logStart = test::logSize();
        store().removeObjectForKey(sPrefTamrinVideosFolder);
        store().removeObjectForKey(sPrefTamrinVideosFolderAliasData);
        store().removeObjectForKey(sPrefTamrinVideosFolderIsValid);
    }
    void TearDown() override {
        for (QFileDialog* d : window->findChildren<QFileDialog*>()) d->reject();
        window->playerView()->setPlayer(nullptr);
        window->hide();
    }
    static UserDefaults& store() { return UserDefaults::standardUserDefaults(); }
    QString log() const { return test::logSince(logStart); }
    void makeLogs(bool log, bool old) {
        QDir(home.path()).mkpath("Library/Logs/Vorn");
        if (log) test::writeAll(home.filePath("Library/Logs/Vorn/VornPlayer.log"), "log\n");
        if (old) test::writeAll(home.filePath("Library/Logs/Vorn/VornPlayer_old.log"), "old\n");
    }

    test::DesktopStandIns standIns;
    QTemporaryDir home;
    MainWindow* window = nullptr;
    PreferencesWindow* preferences = nullptr;
    std::shared_ptr<AppDelegate> controller;
    qint64 logStart = 0;
};

TEST_F(CommandsTest, ChoosingAFolderStoresItsPathValidityAndReference) {
    QDir(home.path()).mkpath("start here");
    QDir(home.path()).mkpath("chosen folder $x");
    store().setObject(home.filePath("start here"), sPrefTamrinVideosFolder);
    // The panel opens in the source folder once a look has found it there.
    std::thread([&] { controller->sourceFolderMonitor().look(); }).join();
    controller->ibClickedOnChangeSourceVideosFolder(window->changeSourceFolderAction());
    QFileDialog* panel = openPanel(window);
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
    EXPECT_EQ(panel->fileMode(), QFileDialog::Directory);
    EXPECT_EQ(panel->windowTitle(), "Please Select the Source Folder");
    EXPECT_EQ(panel->labelText(QFileDialog::Accept), "Select");
    EXPECT_EQ(panel->directory().absolutePath(), home.filePath("start here"));

    panel->selectFile(home.filePath("chosen folder $x"));
    static_cast<QDialog*>(panel)->accept();  // as the confirm button does
    EXPECT_TRUE(test::waitUntil([&] { return store().stringForKey(sPrefTamrinVideosFolder) == home.filePath("chosen folder $x"); }))
        << store().stringForKey(sPrefTamrinVideosFolder).toStdString();
    EXPECT_TRUE(store().boolForKey(sPrefTamrinVideosFolderIsValid));
    // The reference is made off the main thread.
    QString resolved;
    bool stale = false;
    EXPECT_TRUE(test::waitUntil([&] {
        return MyBookmarkDataKit::resolveAliasFromData(store().dataForKey(sPrefTamrinVideosFolderAliasData), &resolved, stale);
    }));
    EXPECT_EQ(resolved, home.filePath("chosen folder $x"));
    EXPECT_TRUE(log().contains("] User Clicked on result = 1\n"));
    EXPECT_TRUE(log().contains("... User selected " + home.filePath("chosen folder $x") + "\n"));
    EXPECT_TRUE(log().contains("... parameters = {\n"));
}

TEST_F(CommandsTest, CancellingTheFolderPanelChangesNothing) {
    store().setObject(QStringLiteral("/before"), sPrefTamrinVideosFolder);
    store().setBool(false, sPrefTamrinVideosFolderIsValid);
    store().setObject(QByteArray("reference"), sPrefTamrinVideosFolderAliasData);
    // From the preferences window's button: the panel hangs from that window.
    preferences->show();
    preferences->changeSourceFolderButton()->click();
    QFileDialog* panel = openPanel(preferences);
    ASSERT_NE(panel, nullptr);
    panel->reject();
    EXPECT_TRUE(test::waitUntil([&] { return log().contains("] user cancelled change folder ...\n"); }));
    EXPECT_EQ(store().stringForKey(sPrefTamrinVideosFolder), "/before");
    EXPECT_FALSE(store().boolForKey(sPrefTamrinVideosFolderIsValid));
    EXPECT_EQ(store().dataForKey(sPrefTamrinVideosFolderAliasData), QByteArray("reference"));
    EXPECT_TRUE(log().contains("] user cancelled change folder ...\n"));
    preferences->reject();
}

TEST_F(CommandsTest, OpeningThreeFilesPlaysThemInTurnAndStoresAllThree) {
    qputenv("VORNPLAYER_VIDEO_OUTPUT", "null");
    QStringList files;
    for (const char* name : {"one.mp4", "two.mp4", "three.MP4"}) files += test::copyClip(test::clip(2.0), home.filePath(name));
    controller->handleOpenFile(window->openFilesAction());
    QFileDialog* panel = openPanel(window);
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_TRUE(panel->nameFilters().join(' ').contains("*.mp4"));
    EXPECT_TRUE(panel->nameFilters().join(' ').contains("*.mov"));
    panel->setDirectory(home.path());
    panel->findChild<QLineEdit*>("fileNameEdit")->setText("\"one.mp4\" \"two.mp4\" \"three.MP4\"");
    static_cast<QDialog*>(panel)->accept();  // as the confirm button does
    ASSERT_TRUE(test::waitUntil([&] { return controller->player() != nullptr; }));
    EXPECT_EQ(controller->player()->currentItem()->url(), QUrl::fromLocalFile(files[0]));
    EXPECT_EQ(controller->avitems().size(), 3);
    EXPECT_EQ(store().stringArrayForKey("prefArrayOfPathsOfLastItems"), files);
    EXPECT_TRUE(log().contains("] open pane returned result = 1\n"));
    // Each chosen file plays once, in the order given; the ends come from a worker, as the player's do.
    for (int i = 1; i < 3; ++i) {
        std::thread([&] { controller->playagain(controller->player()->currentItem()); }).join();
        EXPECT_EQ(controller->player()->currentItem()->url(), QUrl::fromLocalFile(files[i]));
    }
    qunsetenv("VORNPLAYER_VIDEO_OUTPUT");
}

TEST_F(CommandsTest, RevealingTheSourceFolderOpensItWithItsExactPath) {
    QDir(home.path()).mkpath("my \"videos\" $HOME `x`");
    store().setObject(QStringLiteral("~/my \"videos\" $HOME `x`"), sPrefTamrinVideosFolder);
    controller->doRevealItem1(nullptr);
    ASSERT_TRUE(standIns.waitForCalls("xdg-open", 1));
    EXPECT_EQ(standIns.arguments("xdg-open"), QStringList{home.filePath("my \"videos\" $HOME `x`")});
    ASSERT_TRUE(test::waitUntil([&] { return log().contains("] shellcommand returned = xdg-open was here\n"); }));
    EXPECT_TRUE(log().contains("] runCommand will execute: xdg-open \"" + home.filePath("my \"videos\" $HOME `x`") + "\"\n"));
}

TEST_F(CommandsTest, RevealingAFileOrNothingBeeps) {
    test::writeAll(home.filePath("a file"), "x");
    for (const QVariant& setting : {QVariant(home.filePath("a file")), QVariant(QString("")), QVariant()}) {
        if (setting.isValid()) {
            store().setObject(setting, sPrefTamrinVideosFolder);
        } else {
            store().removeObjectForKey(sPrefTamrinVideosFolder);
        }
        const int refusals = log().count("] User Needs to Select a Valid Existing Folder...\n");
        controller->doRevealItem1(nullptr);
        // The folder is looked at off the main thread; the refusal comes with the answer.
        EXPECT_TRUE(test::waitUntil(
            [&] { return log().count("] User Needs to Select a Valid Existing Folder...\n") == refusals + 1; }, 5000));
    }
    EXPECT_EQ(log().count("] User Needs to Select a Valid Existing Folder...\n"), 3);
    // Nothing may start xdg-open: a bounded wait that ends at once if something does.
    EXPECT_FALSE(test::waitUntil([&] { return standIns.calls("xdg-open") > 0; }, 200));
}

TEST_F(CommandsTest, RevealingTheLogsShowsThemSelectedInTheFileManager) {
    test::SessionBus bus;
    ASSERT_FALSE(bus.address.isEmpty());
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address.toUtf8());
    QProcess manager;
    manager.start(QStringLiteral(VORN_TEST_HELPERS "/desktop_service"), {"filemanager", "30000"});
    ASSERT_TRUE(manager.waitForReadyRead(10000));
    ASSERT_EQ(manager.readLine().trimmed(), "ready");

    makeLogs(true, false);
    controller->ibRevealLogFolder(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return manager.canReadLine() || manager.waitForReadyRead(20); }));
    const QString uri = QString::fromLatin1(QUrl::fromLocalFile(home.filePath("Library/Logs/Vorn/VornPlayer.log")).toEncoded());
    EXPECT_EQ(QString::fromUtf8(manager.readLine()).trimmed(), "ShowItems " + uri);

    makeLogs(true, true);
    controller->ibRevealLogFolder(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return manager.canReadLine() || manager.waitForReadyRead(20); }));
    const QString old = QString::fromLatin1(QUrl::fromLocalFile(home.filePath("Library/Logs/Vorn/VornPlayer_old.log")).toEncoded());
    EXPECT_EQ(QString::fromUtf8(manager.readLine()).trimmed(), "ShowItems " + uri + " " + old);
    EXPECT_EQ(standIns.calls("xdg-open"), 0);
    manager.kill();
    manager.waitForFinished();
}

TEST_F(CommandsTest, WithoutAFileManagerServiceTheLogFolderOpens) {
    test::SessionBus bus;
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address.toUtf8());
    makeLogs(true, false);
    controller->ibRevealLogFolder(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return standIns.calls("xdg-open") == 1; }));
    EXPECT_EQ(standIns.arguments("xdg-open"), QStringList{home.filePath("Library/Logs/Vorn")});
}

TEST_F(CommandsTest, RevealingLogsThatAreNotThereBeeps) {
    test::SessionBus bus;
    ASSERT_FALSE(bus.address.isEmpty());
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address.toUtf8());
    QProcess manager;
    manager.start(QStringLiteral(VORN_TEST_HELPERS "/desktop_service"), {"filemanager", "30000"});
    ASSERT_TRUE(manager.waitForReadyRead(10000));
    ASSERT_EQ(manager.readLine().trimmed(), "ready");

    controller->ibRevealLogFolder(nullptr);
    // Refused: nothing goes to the file manager. Once there is a log, the first request it
    // gets is the one for that log.
    makeLogs(true, false);
    controller->ibRevealLogFolder(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return manager.canReadLine() || manager.waitForReadyRead(20); }));
    const QString uri = QString::fromLatin1(QUrl::fromLocalFile(home.filePath("Library/Logs/Vorn/VornPlayer.log")).toEncoded());
    EXPECT_EQ(QString::fromUtf8(manager.readLine()).trimmed(), "ShowItems " + uri);
    EXPECT_EQ(standIns.calls("xdg-open"), 0);
    manager.kill();
    manager.waitForFinished();
}

TEST_F(CommandsTest, MailingTheLogsHandsThemToTheMailProgram) {
    makeLogs(true, true);
    controller->ibEmailButton(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return standIns.calls("xdg-email") == 1; }));
    EXPECT_EQ(standIns.arguments("xdg-email"),
              (QStringList{"--subject", "Log(s) From VornPlayer.app", "--body", "We've fallen and wanna get up...\n\n",
                           "--attach", home.filePath("Library/Logs/Vorn/VornPlayer.log"), "--attach",
                           home.filePath("Library/Logs/Vorn/VornPlayer_old.log")}));
}

TEST_F(CommandsTest, MailingOnlyTheLogFileOrNothingAtAll) {
    makeLogs(true, false);
    controller->ibEmailButton(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return standIns.calls("xdg-email") == 1; }));
    EXPECT_EQ(standIns.arguments("xdg-email").mid(4), (QStringList{"--attach", home.filePath("Library/Logs/Vorn/VornPlayer.log")}));

    QFile::remove(home.filePath("Library/Logs/Vorn/VornPlayer.log"));
    controller->ibEmailButton(nullptr);
    // Nothing goes out without logs: the next mail handed over is the one after the log is back.
    makeLogs(true, false);
    controller->ibEmailButton(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return standIns.calls("xdg-email") == 2; }));
    const QStringList once = standIns.arguments("xdg-email").mid(0, 6);
    EXPECT_EQ(standIns.arguments("xdg-email"), once + once);
}

TEST_F(CommandsTest, TheMenuBarFollowsItsSetting) {
    store().setBool(true, "prefDoShowMenuBar");
    controller->ibHandleShowHideMenuBar(nullptr);
    EXPECT_TRUE(window->menuBar()->isVisible());
    controller->ibHandleShowHideMenuBar(nullptr);
    EXPECT_TRUE(window->menuBar()->isVisible());
    EXPECT_TRUE(window->showMenuBarAction()->isChecked());
    store().setBool(false, "prefDoShowMenuBar");
    controller->ibHandleShowHideMenuBar(nullptr);
    EXPECT_FALSE(window->menuBar()->isVisible());
    EXPECT_FALSE(window->showMenuBarAction()->isChecked());
    store().removeObjectForKey("prefDoShowMenuBar");
}

TEST_F(CommandsTest, CloseEndsOnlyASheetThatHoldsTheButton) {
    controller->ibOpenPreferences(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return preferences->isVisible(); }));
    controller->ibCloseWindow(nullptr);
    controller->ibCloseWindow(window->quitAction());
    QPushButton plain("in no sheet");
    plain.show();
    controller->ibCloseWindow(&plain);
    EXPECT_TRUE(preferences->isVisible());
    preferences->closeButton()->click();
    EXPECT_FALSE(preferences->isVisible());
    ASSERT_TRUE(test::waitUntil([&] { return log().contains("] need to handle prerences after closing..\n"); }));
}

TEST_F(CommandsTest, EveryCommandIsOnTheVideosContextMenuAndTheMenuBar) {
    const QList<QAction*> commands{window->openFilesAction(),          window->changeSourceFolderAction(),
                                   window->locateSourceFolderAction(), window->revealSourceFolderAction(),
                                   window->revealLogsAction(),         window->emailLogsAction(),
                                   window->showMenuBarAction(),        window->preferencesAction(),
                                   window->quitAction()};
    QList<QAction*> inMenuBar;
    for (QAction* menu : window->menuBar()->actions()) inMenuBar += menu->menu()->actions();
    for (QAction* command : commands) {
        EXPECT_TRUE(window->contextMenu()->actions().contains(command)) << command->text().toStdString();
        EXPECT_TRUE(inMenuBar.contains(command)) << command->text().toStdString();
        EXPECT_TRUE(window->actions().contains(command));  // shortcuts work with the menu bar hidden
        EXPECT_FALSE(command->shortcut().isEmpty()) << command->text().toStdString();
    }
    // The platform's standard keys where it has them.
    for (const auto& [action, key] : {std::pair{window->openFilesAction(), QKeySequence::Open},
                                      std::pair{window->quitAction(), QKeySequence::Quit}}) {
        const QList<QKeySequence> standard = QKeySequence::keyBindings(key);
        if (!standard.isEmpty()) {
            EXPECT_EQ(action->shortcut(), standard.first());
        }
    }
}

TEST_F(CommandsTest, ThePointerHidesAfterThreeStillSecondsOverTheVideo) {
    QWidget* video = window->playerView();
    QMouseEvent move(QEvent::MouseMove, QPointF(50, 50), video->mapToGlobal(QPointF(50, 50)), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(video, &move);
    EXPECT_NE(video->cursor().shape(), Qt::BlankCursor);
    const auto hidden = [&] { return video->cursor().shape() == Qt::BlankCursor; };
    // Not hidden for 2.5 s (a bounded wait that ends at once if it hides early), then hidden soon after 3 s.
    EXPECT_FALSE(test::waitUntil(hidden, 2500));
    EXPECT_TRUE(test::waitUntil(hidden, 800));
    QApplication::sendEvent(video, &move);
    EXPECT_NE(video->cursor().shape(), Qt::BlankCursor);
}

}  // namespace
