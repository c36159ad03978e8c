#include "app/Arrivals.h"
#include "app/MediaFiles.h"
#include "app/SourceFolder.h"
#include "app/SourceFolderMonitor.h"
#include "folderref/FileReference.h"
#include "folderref/MountTable.h"

#include "Clips.h"
#include "TestSupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using State = SourceFolderMonitor::State;
using FileSystem = SourceFolderMonitor::FileSystem;
using namespace std::chrono_literals;

FileSystem fileSystemOf(const QString& path) {
    const std::optional<MountEntry> mount = MountTable::mountContaining(path);
    return mount ? FileSystem{mount->mountPoint, mount->fsType, mount->source, mount->root} : FileSystem{};
}

}  // namespace

// A folder is checked against the file system it lives on: on that one it is there, empty or
// not; on another, it is the folder only with something in it. Empty where its file system is no
// longer mounted it is "unmounted"; empty under another file system mounted at its mount point,
// "replaced". Neither is a folder that is missing, and neither is available.
TEST(SourceFolderMonitorTest, AnEmptyFolderOnAnotherFileSystemIsUnmountedOrReplacedNeverAvailable) {
    QTemporaryDir root;
    const QString folder = root.filePath("share");
    QDir().mkpath(folder);
    const FileSystem here = fileSystemOf(folder);
    ASSERT_TRUE(here.known());

    const SourceFolderMonitor::Seen atHome = SourceFolderMonitor::lookAt(folder, here);
    EXPECT_EQ(atHome.state, State::Available);
    EXPECT_TRUE(atHome.fileSystem.sameAs(here));

    // Its home was a share mounted at a place that is no mount point now: the bare folder stays.
    const FileSystem share{"/vorn-test-no-such-mount", "nfs4", "nas:/videos", "/"};
    EXPECT_EQ(SourceFolderMonitor::lookAt(folder, share).state, State::Unmounted);
    EXPECT_FALSE(SourceFolderMonitor::lookAt(folder, share).hasEntries);
    // Another file system sits at its mount point ("/" always is one).
    const FileSystem covered{"/", "vorn-test-fs", "elsewhere", "/"};
    EXPECT_EQ(SourceFolderMonitor::lookAt(folder, covered).state, State::Replaced);
    // With files in it: under another file system mounted at its home's mount point, it is the
    // folder moved (a share on a new server); where its home is not mounted at all, whatever was
    // put in the bare mount point is still not the folder.
    test::writeAll(folder + "/a.mp4", "x");
    const SourceFolderMonitor::Seen moved = SourceFolderMonitor::lookAt(folder, covered);
    EXPECT_EQ(moved.state, State::Available);
    EXPECT_TRUE(moved.hasEntries);
    EXPECT_EQ(SourceFolderMonitor::lookAt(folder, share).state, State::Unmounted);
    // Without a known home nothing is held against it.
    EXPECT_EQ(SourceFolderMonitor::lookAt(root.filePath("empty-too"), {}).state, State::Missing);
    QDir().mkpath(root.filePath("empty-too"));
    EXPECT_EQ(SourceFolderMonitor::lookAt(root.filePath("empty-too"), {}).state, State::Available);

    // The home a stored reference names, for its own folder only.
    const QByteArray reference = FileReference::make(folder, FileReference::Kind::Bookmark);
    ASSERT_FALSE(reference.isEmpty());
    const FileSystem fromReference = SourceFolderMonitor::homeFromReference(reference, folder);
    EXPECT_TRUE(fromReference.sameAs(here)) << fromReference.describe().toStdString();
    EXPECT_FALSE(SourceFolderMonitor::homeFromReference(reference, root.filePath("other")).known());
    EXPECT_FALSE(SourceFolderMonitor::homeFromReference("not a reference", folder).known());
    for (const State state : SourceFolderMonitor::allStates()) {
        EXPECT_FALSE(SourceFolderMonitor::describe(state).isEmpty());
    }
    EXPECT_EQ(SourceFolderMonitor::describe(State::Unmounted), "unmounted");
    EXPECT_EQ(SourceFolderMonitor::describe(State::Replaced), "replaced");
}

// Looks finish out of order (one waits 2 s for a share, a later one answers at once): what a look
// that started earlier saw never overrides a later one's answer, so there is no false change.
TEST(SourceFolderMonitorTest, ReportsAreTakenInTheOrderTheirLooksStarted) {
    int lights = 0;
    SourceFolderMonitor monitor([&] { ++lights; });
    const std::uint64_t slow = monitor.startLook();
    const std::uint64_t quick = monitor.startLook();
    monitor.report(State::Available, quick);
    EXPECT_EQ(monitor.state(), State::Available);
    monitor.report(State::NotAnswering, slow);  // older: dropped
    EXPECT_EQ(monitor.state(), State::Available);
    EXPECT_EQ(lights, 1);
    monitor.report(State::Unmounted);  // a report without a look counts as one started now
    EXPECT_EQ(monitor.state(), State::Unmounted);
    EXPECT_TRUE(monitor.isAway());
    EXPECT_EQ(monitor.light().imageName, "NSStatusUnavailable");
    EXPECT_TRUE(monitor.light().detail.endsWith("(unmounted)")) << monitor.light().detail.toStdString();
    // A look started before the reset at launch says nothing about the folder after it.
    const std::uint64_t beforeReset = monitor.startLook();
    monitor.reset();
    monitor.report(State::Missing, beforeReset);
    EXPECT_EQ(monitor.state(), State::NotChecked);
}

// A file missing at one look has not gone yet: today's folder renamed away for a moment, or a
// share that blinks, takes nothing off the repeat list. Only a file missing at two looks at least
// kGoneAfter apart has gone; seen again in between, it starts over. Until then it is set apart.
TEST(SourceFolderTest, AFileCountsAsGoneOnlyWhenMissingAtTwoLooksApart) {
    const std::shared_ptr<SourceFolder> folder = SourceFolder::create({});
    const auto t0 = std::chrono::steady_clock::now();
    const MediaFiles::Stamp there{true, 10, 1};
    const MediaFiles::Stamp missing{false, 0, 0};
    const QHash<QString, MediaFiles::Stamp> stamps{{"/v/a.mp4", there}, {"/v/b.mp4", missing}};
    SourceFolder::Looked looked = folder->confirmGone(stamps, t0);
    EXPECT_EQ(looked.stamps.keys(), QList<QString>{"/v/a.mp4"});
    EXPECT_EQ(looked.missing, QSet<QString>{"/v/b.mp4"});
    looked = folder->confirmGone(stamps, t0 + 4s);
    EXPECT_FALSE(looked.stamps.contains("/v/b.mp4"));
    EXPECT_TRUE(looked.missing.contains("/v/b.mp4"));
    looked = folder->confirmGone(stamps, t0 + SourceFolder::kGoneAfter);
    ASSERT_TRUE(looked.stamps.contains("/v/b.mp4"));
    EXPECT_FALSE(looked.stamps.value("/v/b.mp4").exists);
    EXPECT_TRUE(looked.missing.isEmpty());
    // Back in between two looks: the next miss starts over.
    folder->confirmGone({{"/v/c.mp4", missing}}, t0);
    folder->confirmGone({{"/v/c.mp4", there}}, t0 + 3s);
    EXPECT_FALSE(folder->confirmGone({{"/v/c.mp4", missing}}, t0 + 6s).stamps.contains("/v/c.mp4"));
    EXPECT_TRUE(folder->confirmGone({{"/v/c.mp4", missing}}, t0 + 11s).stamps.contains("/v/c.mp4"));
    // A miss nobody asks about again is forgotten: a later blink of the file starts over.
    folder->confirmGone({{"/v/d.mp4", missing}}, t0);
    folder->confirmGone({}, t0 + SourceFolder::kForgetMissingAfter + 1s);
    EXPECT_TRUE(folder->confirmGone({{"/v/d.mp4", missing}}, t0 + SourceFolder::kForgetMissingAfter + 2s).missing.contains("/v/d.mp4"));
}

// An MP4 or MOV must open with a box of the format: a file of zeros (a sparse file, a failed
// download) or one that opens with other bytes is no video however long it has been quiet, and
// is never counted complete; a real clip is.
TEST(SourceFolderTest, AnMp4ThatDoesNotOpenWithABoxOfTheFormatNeverCountsComplete) {
    QTemporaryDir root;
    const QString zeros = root.filePath("zeros.mp4");
    {
        QFile f(zeros);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(64 * 1024 * 1024));  // sparse: a hole that reads as zeros
    }
    const QString other = root.filePath("other.mov");
    test::writeAll(other, QByteArray("\0\0\0\x10" "abcd", 8) + QByteArray(8, 'x') + QByteArray("\0\0\0\x08mdat", 8));
    const QString clip = test::copyClip(test::clip(1.0), root.filePath("clip.mp4"));
    EXPECT_EQ(MediaFiles::isoMediaCompleteness(zeros), MediaFiles::Completeness::NotIsoMedia);
    EXPECT_EQ(MediaFiles::isoMediaCompleteness(other), MediaFiles::Completeness::NotIsoMedia);
    EXPECT_EQ(MediaFiles::isoMediaCompleteness(clip), MediaFiles::Completeness::Complete);

    Arrivals arrivals;
    const auto t0 = Arrivals::Clock::now();
    const auto wall = Arrivals::WallClock::now();
    // Hours old at the first look, and quiet for a minute after it.
    const qint64 oldNs = std::chrono::duration_cast<std::chrono::nanoseconds>((wall - 3h).time_since_epoch()).count();
    const auto stampOf = [oldNs](const QString&) { return std::optional(MediaFiles::Stamp{true, 1000, oldNs}); };
    const auto completeness = [](const QString& path) { return MediaFiles::isoMediaCompleteness(path); };
    for (const auto later : {0s, 3s, 60s}) {
        const Arrivals::Result result = arrivals.filter({zeros, other, clip}, QString(), t0 + later, wall + later, stampOf, completeness);
        EXPECT_EQ(result.complete, QStringList{clip});
    }
}
