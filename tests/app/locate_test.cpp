#include "app/AppDelegate.h"
#include "app/Validation.h"
#include "folderref/FileReference.h"
#include "folderref/MyBookmarkDataKit.h"
#include "platform/ui/MainWindow.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/ui/ProgressPanel.h"
#include "platform/ui/StatusImages.h"
#include "platform/core/UserDefaults.h"

#include "Clips.h"
#include "GuiTestSupport.h"

#include <QAbstractButton>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <thread>

#include <unistd.h>

namespace {

QMessageBox* openAlert(QWidget* window) {
    for (QMessageBox* box : window->findChildren<QMessageBox*>()) {
        if (box->isVisible()) return box;
    }
    return nullptr;
}

int visiblePanels() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) n += qobject_cast<ProgressPanel*>(w) && w->isVisible() ? 1 : 0;
    return n;
}

// Counts the progress panels shown, however briefly: a quick attempt may show and close its
// panel between two looks at the screen.
class PanelShows : public QObject {
public:
    PanelShows() { QApplication::instance()->installEventFilter(this); }
    ~PanelShows() override { QApplication::instance()->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<ProgressPanel*>(watched)) ++count;
        return false;
    }
    int count = 0;
};

void click(QMessageBox* box, const QString& title) {
    for (QAbstractButton* b : box->buttons()) {
        if (b->text() == title) b->click();
    }
}

class LocateTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Jobs of the controller may outlive a test (the polling loop runs for good), so the
        // controller and its windows stay for the whole test program.
        window = new MainWindow;
        preferences = new PreferencesWindow(window);
        preferences->setModel(AppDelegate::preferencesModel());
        controller = AppDelegate::create();
        controller->setWindow(window);
        controller->setFPreferencesWindow(preferences);
        window->show();
        logStart = test::logSize();
        UserDefaults::standardUserDefaults().setArgumentDomain({{"prefDoAttemptToCreateFolderIfMissing", false}});
    }
    void TearDown() override {
        for (QMessageBox* box : window->findChildren<QMessageBox*>()) box->close();
        preferences->close();
        window->hide();
        UserDefaults::standardUserDefaults().setArgumentDomain({});
    }
    void useSource(const QString& path) {
        UserDefaults& store = UserDefaults::standardUserDefaults();
        store.setObject(path, sPrefTamrinVideosFolder);
        store.removeObjectForKey(sPrefTamrinVideosFolderAliasData);
    }
    QString statusName() const { return controller->fStatusImage().text("name"); }
    QString log() const { return test::logSince(logStart); }

    MainWindow* window = nullptr;
    PreferencesWindow* preferences = nullptr;
    std::shared_ptr<AppDelegate> controller;
    qint64 logStart = 0;
    QTemporaryDir root;
};

TEST_F(LocateTest, TheStatusLightChangesOnTheMainThreadFromAnyThread) {
    std::thread([&] { controller->setStatusImage(QString("NSStatusAvailable")); }).join();
    EXPECT_TRUE(controller->fStatusImage().isNull());  // not yet: the main thread does it
    ASSERT_TRUE(test::waitUntil([&] { return statusName() == "NSStatusAvailable"; }));
    EXPECT_EQ(window->statusImageView()->toolTip(), "Source folder: available");
    EXPECT_FALSE(window->statusImageView()->pixmap().isNull());
    controller->setStatusImage(QVariant::fromValue(statusImageNamed("NSStatusUnavailable")));
    ASSERT_TRUE(test::waitUntil([&] { return statusName() == "NSStatusUnavailable"; }));
    controller->setStatusImage(QString("NoSuchImage"));
    ASSERT_TRUE(test::waitUntil([&] { return controller->fStatusImage().isNull(); }));
    EXPECT_TRUE(window->statusImageView()->pixmap().isNull());
    EXPECT_TRUE(window->statusImageView()->toolTip().isEmpty());
    controller->setStatusImage(QString("NSStatusNone"));
    ASSERT_TRUE(test::waitUntil([&] { return statusName() == "NSStatusNone"; }));
    controller->setStatusImage(QVariant());
    ASSERT_TRUE(test::waitUntil([&] { return controller->fStatusImage().isNull(); }));
}

TEST_F(LocateTest, AValidFolderTurnsTheLightGreenWithoutAnAlert) {
    useSource(root.path());
    controller->ibTryToMountVolume(nullptr);
    EXPECT_TRUE(controller->fInsideTryingToMount());
    ASSERT_TRUE(test::waitUntil([&] { return statusName() == "NSStatusAvailable" && !controller->fInsideTryingToMount(); }));
    ASSERT_TRUE(test::waitUntil([&] { return !controller->fMyProgressWindowController() && visiblePanels() == 0; }));
    // No alert comes: a bounded wait that ends at once if one does.
    EXPECT_FALSE(test::waitUntil([&] { return openAlert(window) != nullptr; }, 800));
    EXPECT_TRUE(log().contains("> => ibTryToMountVolume:...\n"));
}

TEST_F(LocateTest, AnInvalidFolderTurnsTheLightRedAndWarnsHalfASecondLater) {
    useSource(root.filePath("gone"));
    controller->ibTryToMountVolume(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return statusName() == "NSStatusUnavailable"; }));
    QElapsedTimer sinceResult;
    sinceResult.start();
    ASSERT_TRUE(test::waitUntil([&] { return openAlert(window) != nullptr; }));
    EXPECT_GE(sinceResult.elapsed(), 400);
    QMessageBox* box = openAlert(window);
    EXPECT_EQ(box->text(), "Please Make Sure Source Folder IS Valid !!");
    EXPECT_EQ(box->informativeText(),
              "Please point to a valid folder...\n\nMaybe network is down or the remote computer is not turned on?");
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_TRUE(log().contains("] validate2  FAILED?????\n"));
    click(box, "OK");
    ASSERT_TRUE(test::waitUntil([&] { return openAlert(window) == nullptr; }));
    EXPECT_EQ(visiblePanels(), 0);
}

TEST_F(LocateTest, ASecondCommandWhileOneRunsIsRefusedWithABeep) {
    useSource(root.path());
    PanelShows shows;
    controller->ibTryToMountVolume(nullptr);
    controller->ibTryToMountVolume(nullptr);
    EXPECT_EQ(log().count("...Already running...\n"), 1);  // refused at once, with its log line
    ASSERT_TRUE(test::waitUntil([&] { return !controller->fInsideTryingToMount() && !controller->fMyProgressWindowController(); }));
    // No second panel and no second refusal: a bounded wait that ends at once if either comes.
    EXPECT_FALSE(test::waitUntil([&] { return shows.count > 1 || log().count("...Already running...\n") > 1; }, 100));
    EXPECT_EQ(shows.count, 1);
    EXPECT_EQ(log().count("...Already running...\n"), 1);
    // Once the attempt is over, the command is taken again.
    controller->ibTryToMountVolume(nullptr);
    EXPECT_EQ(log().count("...Already running...\n"), 1);
    EXPECT_TRUE(test::waitUntil([&] { return shows.count == 2; }));
    test::waitUntil([&] { return !controller->fInsideTryingToMount(); });
}

TEST_F(LocateTest, LaunchingWithAValidFolderGoesFromNoStatusToAvailable) {
    useSource(root.path());
    controller->applicationDidFinishLaunching();
    ASSERT_TRUE(test::waitUntil([&] { return statusName() == "NSStatusNone" || statusName() == "NSStatusAvailable"; }));
    ASSERT_TRUE(test::waitUntil([&] { return statusName() == "NSStatusAvailable"; }));
    ASSERT_TRUE(test::waitUntil([&] { return visiblePanels() == 0 && !controller->fMyProgressWindowController(); }));
    // No alert comes: a bounded wait that ends at once if one does.
    EXPECT_FALSE(test::waitUntil([&] { return openAlert(window) != nullptr; }, 800));
    const QString text = log();
    EXPECT_LT(text.indexOf("Inside <MyProgressWindowController"), text.indexOf("Inside validateFolderPrefWithParamNew"));
}

TEST_F(LocateTest, LaunchingWithAnInvalidFolderOffersThePreferences) {
    useSource(root.filePath("gone"));
    controller->applicationDidFinishLaunching();
    ASSERT_TRUE(test::waitUntil([&] { return statusName() == "NSStatusUnavailable"; }));
    ASSERT_TRUE(test::waitUntil([&] { return openAlert(window) != nullptr; }));
    QMessageBox* box = openAlert(window);
    EXPECT_EQ(box->informativeText(), "Please point to a valid folder...");
    ASSERT_EQ(box->buttons().size(), 2);
    EXPECT_EQ(box->defaultButton()->text(), "Open Preferences");

    // Asking for the preferences while the alert is open: noted, and the alert stays.
    controller->ibOpenPreferences(nullptr);
    EXPECT_TRUE(test::waitUntil([&] { return log().contains("] hmm there is one or more sheet(s) opened....\n"); }));
    EXPECT_TRUE(log().contains("] self.window.sheeets = (\n"));
    EXPECT_TRUE(log().contains("<QMessageBox: 0x"));
    EXPECT_TRUE(box->isVisible());
    preferences->close();

    click(box, "Open Preferences");
    ASSERT_TRUE(test::waitUntil([&] { return preferences->isVisible(); }));
    EXPECT_EQ(preferences->windowModality(), Qt::WindowModal);
    EXPECT_TRUE(log().contains("] alert returend = 1000\n"));
    EXPECT_TRUE(log().contains("] user said to open preferences....\n"));
    preferences->accept();
    ASSERT_TRUE(test::waitUntil([&] { return log().contains("] need to handle prerences after closing..\n"); }));
}

TEST_F(LocateTest, CloseOnlyClosesTheLaunchAlert) {
    useSource(root.filePath("gone"));
    controller->applicationDidFinishLaunching();
    ASSERT_TRUE(test::waitUntil([&] { return openAlert(window) != nullptr; }));
    click(openAlert(window), "Close");
    ASSERT_TRUE(test::waitUntil([&] { return openAlert(window) == nullptr; }));
    // The preferences stay closed: a bounded wait that ends at once if they open.
    EXPECT_FALSE(test::waitUntil([&] { return preferences->isVisible(); }, 100));
    EXPECT_TRUE(log().contains("] alert returend = 1001\n"));
}

// Whatever the folder's state, the light, the status answer and the metrics say the same, because
// they all read the one answer of the source-folder monitor; a stored path with a leading "~" is
// the folder the player plays from, so it counts as there even though the validation refuses it.
TEST_F(LocateTest, TheLightTheStatusAnswerAndTheMetricsAgreeWhateverTheFolder) {
    controller->startStatusServices();
    const QString home = QDir::homePath();
    QTemporaryDir inHome(home + "/vorn-src-XXXXXX");
    ASSERT_TRUE(inHome.isValid());
    test::writeAll(root.filePath("file"), "not a folder");
    QDir().mkpath(root.filePath("locked"));
    struct Case {
        QString path;
        QString state;  // what the status answer says
    };
    std::vector<Case> cases{{root.path(), "available"},
                            {root.filePath("gone"), "missing"},
                            {root.filePath("file"), "not a folder"},
                            {"/media/vorn-not-mounted-volume/videos", "missing"},
                            {"~/" + QFileInfo(inHome.path()).fileName(), "available"},
                            {root.filePath("file") + "/below", "missing"}};
    if (geteuid() != 0) {
        QFile::setPermissions(root.filePath("locked"), QFile::ReadOwner);
        cases.push_back({root.filePath("locked"), "unreadable"});
    }
    for (const Case& c : cases) {
        useSource(c.path);
        std::thread([&] { controller->sourceFolderMonitor().look(); }).join();
        const bool available = c.state == "available";
        const QString light = available ? "NSStatusAvailable" : "NSStatusUnavailable";
        ASSERT_TRUE(test::waitUntil([&] { return statusName() == light; })) << c.path.toStdString();
        const StatusReport::Snapshot s = controller->statusService().snapshot();
        const QJsonObject json = StatusReport::json(s, std::chrono::steady_clock::now());
        const QJsonObject folder = json.value("sourceFolder").toObject();
        EXPECT_EQ(folder.value("available"), QJsonValue(available)) << c.path.toStdString();
        EXPECT_EQ(folder.value("state").toString(), c.state) << c.path.toStdString();
        const QByteArray metrics = StatusReport::prometheusText(s, std::chrono::steady_clock::now());
        EXPECT_TRUE(metrics.contains(available ? "\nvornplayer_source_folder_available 1\n"
                                               : "\nvornplayer_source_folder_available 0\n"))
            << c.path.toStdString();
        EXPECT_EQ(window->statusImageView()->toolTip().startsWith("Source folder: unavailable"), !available)
            << window->statusImageView()->toolTip().toStdString();
    }
    QFile::setPermissions(root.filePath("locked"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Locate refuses a stored path that starts with "~" (it is taken as it stands), and warns; the
// light and the status still say what the player sees: a folder it plays from, which is there.
TEST_F(LocateTest, AFailedLocateOfAFolderThePlayerPlaysFromLeavesTheLightGreen) {
    controller->startStatusServices();
    QTemporaryDir inHome(QDir::homePath() + "/vorn-src-XXXXXX");
    ASSERT_TRUE(inHome.isValid());
    useSource("~/" + QFileInfo(inHome.path()).fileName());
    controller->ibTryToMountVolume(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return openAlert(window) != nullptr; }));
    EXPECT_EQ(statusName(), "NSStatusAvailable");
    EXPECT_EQ(controller->statusService().snapshot().sourceFolderAvailable, std::optional<bool>(true));
    click(openAlert(window), "OK");
    ASSERT_TRUE(test::waitUntil([&] { return openAlert(window) == nullptr && !controller->fInsideTryingToMount(); }));
}

}  // namespace

// The share the folder lives on is not mounted: its bare mount point answers, empty. That is an
// outage, not the folder: Locate warns, the light is red and says why, the stored reference (which
// knows where the share belongs) is not made again from the stand-in, and neither Locate (with
// creation allowed) nor a scan makes anything in it.
TEST_F(LocateTest, AShareThatIsNotMountedIsAnOutageAndNothingIsMadeInItsMountPoint) {
    controller->startStatusServices();
    UserDefaults& store = UserDefaults::standardUserDefaults();
    store.setArgumentDomain({{"prefDoAttemptToCreateFolderIfMissing", true}, {"prefDailyDateFormat", "'day'"}});
    const QString share = root.filePath("share");
    QDir().mkpath(share);
    FileReference::Record record;
    record.path = QFile::encodeName(share);
    record.directory = true;
    record.mountPoint = "/vorn-test-share-mount";
    record.source = "nas:/videos";
    record.fsType = "nfs4";
    const QByteArray reference = FileReference::encode(record, FileReference::Kind::Bookmark);
    store.setObject(share, sPrefTamrinVideosFolder);
    store.setObject(reference, sPrefTamrinVideosFolderAliasData);
    store.setBool(false, sPrefTamrinVideosFolderIsValid);

    controller->ibTryToMountVolume(nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return openAlert(window) != nullptr; }, 20000)) << log().toStdString();
    EXPECT_EQ(statusName(), "NSStatusUnavailable");
    EXPECT_TRUE(window->statusImageView()->toolTip().endsWith("(unmounted)")) << window->statusImageView()->toolTip().toStdString();
    EXPECT_EQ(controller->statusService().snapshot().sourceFolderState, "unmounted");
    EXPECT_TRUE(log().contains("The source folder's file system is not there (unmounted; it lives on nfs4 nas:/videos at "
                               "/vorn-test-share-mount)"))
        << log().toStdString();
    EXPECT_EQ(store.dataForKey(sPrefTamrinVideosFolderAliasData), reference);
    EXPECT_FALSE(store.boolForKey(sPrefTamrinVideosFolderIsValid));
    click(openAlert(window), "OK");

    QStringList listed{"not scanned"};
    std::thread([&] { listed = controller->scanFolderForNewItems(); }).join();
    EXPECT_TRUE(listed.isEmpty());
    EXPECT_TRUE(QDir(share).isEmpty()) << "something was made in the bare mount point";

    // Something put into the bare mount point does not make it the folder.
    test::writeAll(share + "/readme.txt", "not the share");
    std::thread([&] { controller->sourceFolderMonitor().look(); }).join();
    EXPECT_EQ(controller->statusService().snapshot().sourceFolderState, "unmounted");
    // The operator moved the videos here for good and makes a reference of the folder where it
    // is now (as choosing it again does): it is there, and today's folder is made in it.
    MyBookmarkDataKit::savePath(share, sPrefTamrinVideosFolderAliasData);
    std::thread([&] { controller->sourceFolderMonitor().look(); }).join();
    ASSERT_TRUE(test::waitUntil([&] { return statusName() == "NSStatusAvailable"; }));
    std::thread([&] { controller->scanFolderForNewItems(); }).join();
    EXPECT_TRUE(QFileInfo(share + "/day").isDir());
    EXPECT_TRUE(controller->sourceFolderMonitor().home().known());
    ASSERT_TRUE(test::waitUntil([&] { return !controller->fInsideTryingToMount(); }));
    store.setArgumentDomain({{"prefDoAttemptToCreateFolderIfMissing", false}});
}

// The share is away at launch, the operator opens a file by hand, and the share comes back while it
// plays: the cycle takes over after it, and the start-up polling loop ends then, whichever of the
// two saw the share first; it does not go on scanning every 2 s for the rest of the run.
TEST_F(LocateTest, TheStartupPollingLoopEndsOnceTheCyclePlays) {
    qputenv("VORNPLAYER_VIDEO_OUTPUT", "null");
    qputenv("VORNPLAYER_LOG_REPEAT_INTERVAL_MS", "0");  // every poll's line, none folded
    UserDefaults& store = UserDefaults::standardUserDefaults();
    store.setArgumentDomain({{"prefDoAttemptToCreateFolderIfMissing", false},
                             {"prefDailyDateFormat", "'day'"},
                             {"prefLocalCopiesMaxBytes", 0}});
    const QString share = root.filePath("share");
    useSource(share);
    controller->applicationDidFinishLaunching();
    ASSERT_TRUE(test::waitUntil([&] { return openAlert(window) != nullptr; }, 15000));
    click(openAlert(window), "Close");
    ASSERT_TRUE(test::waitUntil([&] { return log().count("] start polling....\n") >= 2; }, 15000));

    const QString byHand = test::copyClip(test::clip(1.0), root.filePath("by hand.mp4"));
    controller->playFilesOpenedByHand({QUrl::fromLocalFile(byHand)});
    ASSERT_TRUE(test::waitUntil([&] { return controller->player() != nullptr; }));
    const QString newest = test::copyClip(test::clip(1.0), share + "/day/newest.mp4");
    QFile f(newest);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.setFileTime(QDateTime::currentDateTime().addSecs(-600), QFileDevice::FileModificationTime);
    f.close();
    ASSERT_TRUE(test::waitUntil([&] { return controller->pathToLastNewItem() == newest; }, 20000)) << log().toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return controller->player()->currentItem()->url() == QUrl::fromLocalFile(newest); }, 20000));

    // No more polls: a bounded wait that ends at once if one comes (they came every 2 s).
    const int polls = log().count("] start polling....\n");
    EXPECT_FALSE(test::waitUntil([&] { return log().count("] start polling....\n") > polls; }, 5000)) << log().toStdString();
    store.setArgumentDomain({{"prefDoAttemptToCreateFolderIfMissing", false}});
    controller->setPlayer(nullptr);
    qunsetenv("VORNPLAYER_VIDEO_OUTPUT");
}
