#include "folderref/MyAliasKitOld.h"
#include "folderref/MyBookmarkDataKit.h"
#include "folderref/FileReference.h"
#include "folderref/MountTable.h"
#include "platform/core/UserDefaults.h"

#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <random>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using FileReference::Kind;

QString resolvedPath(const QByteArray& data, bool* stale = nullptr) {
    QString path;
    bool isStale = false;
    if (!MyBookmarkDataKit::resolveAliasFromData(data, &path, isStale)) return QString();
    if (stale) *stale = isStale;
    return path;
}

class FileReferenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The user's trash lies inside this test's folder.
        qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath("data")));
        QDir(root.path()).mkpath("videos/2026");
    }
    void TearDown() override { qunsetenv("XDG_DATA_HOME"); }
    QTemporaryDir root;
};

TEST_F(FileReferenceTest, ARecordKeepsPathIdentityAndVolume) {
    const QString folder = root.filePath("videos");
    const QByteArray data = MyBookmarkDataKit::bookmarkForURL(QUrl::fromLocalFile(folder));
    ASSERT_FALSE(data.isEmpty());
    const auto record = FileReference::decode(data, Kind::Bookmark);
    ASSERT_TRUE(record.has_value());
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(folder).constData(), &st), 0);
    EXPECT_EQ(record->path, QFile::encodeName(folder));
    EXPECT_TRUE(record->directory);
    EXPECT_EQ(record->inode, st.st_ino);
    EXPECT_EQ(record->device, st.st_dev);
    const auto mount = MountTable::mountContaining(folder);
    ASSERT_TRUE(mount.has_value());
    EXPECT_EQ(QFile::decodeName(record->mountPoint), mount->mountPoint);
    EXPECT_EQ(QString::fromUtf8(record->fsType), mount->fsType);
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    EXPECT_EQ(QFile::decodeName(record->mountPoint == "/" ? "/" + record->relativePath
                                                          : record->mountPoint + "/" + record->relativePath),
              canonical);
    // The two kinds do not read each other's data.
    EXPECT_FALSE(FileReference::decode(data, Kind::LegacyAlias).has_value());

    bool stale = true;
    EXPECT_EQ(resolvedPath(data, &stale), folder);
    EXPECT_FALSE(stale);
}

TEST_F(FileReferenceTest, AFolderRenamedOrMovedOnItsVolumeIsFoundAgain) {
    const QByteArray data = MyBookmarkDataKit::bookmarkForURL(QUrl::fromLocalFile(root.filePath("videos/2026")));
    ASSERT_TRUE(QDir(root.path()).rename("videos/2026", "videos/twenty-six"));
    bool stale = false;
    EXPECT_EQ(resolvedPath(data, &stale), root.filePath("videos/twenty-six"));
    EXPECT_TRUE(stale);

    QDir(root.path()).mkpath("archive/deep/er");
    ASSERT_TRUE(QDir(root.path()).rename("videos/twenty-six", "archive/deep/er/moved here"));
    EXPECT_EQ(resolvedPath(data, &stale), root.filePath("archive/deep/er/moved here"));
    EXPECT_TRUE(stale);
}

TEST_F(FileReferenceTest, AFolderInATrashDoesNotResolve) {
    const QByteArray data = MyBookmarkDataKit::bookmarkForURL(QUrl::fromLocalFile(root.filePath("videos/2026")));
    // The freedesktop trash of the user, which does not hold the text ".trash".
    QDir(root.path()).mkpath("data/Trash/files");
    ASSERT_TRUE(QDir(root.path()).rename("videos/2026", "data/Trash/files/2026"));
    bool stale = false;
    EXPECT_EQ(MyBookmarkDataKit::urlForBookmark(data, stale).toLocalFile(), root.filePath("data/Trash/files/2026"));
    EXPECT_TRUE(resolvedPath(data).isNull());
    // A volume's trash folder, and anything else that holds ".trash" in any letter case.
    for (const QString& place : {QString(".Trash-1000/files/2026"), QString("x.TrashCan/2026")}) {
        QDir(root.path()).mkpath(QFileInfo(root.filePath(place)).path());
        const QString from = QDir(root.path()).exists("data/Trash/files/2026") ? "data/Trash/files/2026" : "videos/2026";
        ASSERT_TRUE(QDir(root.path()).rename(from, place));
        EXPECT_TRUE(resolvedPath(data).isNull()) << place.toStdString();
        ASSERT_TRUE(QDir(root.path()).rename(place, "videos/2026"));
    }
    EXPECT_EQ(resolvedPath(data), root.filePath("videos/2026"));
}

TEST_F(FileReferenceTest, AGoneFolderDoesNotResolveAndANewOneInItsPlaceIsTakenAsStale) {
    const QByteArray data = MyBookmarkDataKit::bookmarkForURL(QUrl::fromLocalFile(root.filePath("videos/2026")));
    ASSERT_TRUE(QDir(root.filePath("videos/2026")).removeRecursively());
    EXPECT_TRUE(resolvedPath(data).isNull());
    QDir(root.path()).mkpath("videos/2026");
    bool stale = false;
    EXPECT_EQ(resolvedPath(data, &stale), root.filePath("videos/2026"));
    EXPECT_TRUE(stale);
    // Absent data resolves to nothing, with the stale flag false.
    stale = true;
    EXPECT_FALSE(MyBookmarkDataKit::resolveAliasFromData(QByteArray(), nullptr, stale));
    EXPECT_FALSE(stale);
}

TEST_F(FileReferenceTest, SavingStoresAReferenceOnlyForSomethingThatExists) {
    UserDefaults& store = UserDefaults::standardUserDefaults();
    store.setObject(QByteArray("old value"), "testReferenceKey");
    EXPECT_FALSE(MyBookmarkDataKit::savePath(root.filePath("missing"), "testReferenceKey"));
    EXPECT_EQ(store.dataForKey("testReferenceKey"), QByteArray("old value"));
    EXPECT_TRUE(MyBookmarkDataKit::savePath(root.filePath("videos"), "testReferenceKey"));
    EXPECT_EQ(resolvedPath(store.dataForKey("testReferenceKey")), root.filePath("videos"));
    store.removeObjectForKey("testReferenceKey");
}

TEST_F(FileReferenceTest, TheLegacyFormWorksTheSameWayUnderItsOwnMagic) {
    const QByteArray data = MyAliasKitOld::aliasDataForPath(root.filePath("videos/2026"));
    ASSERT_TRUE(FileReference::decode(data, Kind::LegacyAlias).has_value());
    EXPECT_TRUE(MyAliasKitOld::aliasDataForPath(root.filePath("none")).isNull());
    EXPECT_TRUE(MyAliasKitOld::aliasDataForAliasHandle(nullptr).isNull());
    QString path;
    QByteArray changed;
    ASSERT_TRUE(MyAliasKitOld::resolveAliasFromData(data, &path, &changed));
    EXPECT_EQ(path, root.filePath("videos/2026"));
    EXPECT_TRUE(changed.isEmpty());  // found where it was: no update
    ASSERT_TRUE(QDir(root.path()).rename("videos/2026", "videos/renamed"));
    ASSERT_TRUE(MyAliasKitOld::resolveAliasFromData(data, &path, &changed));
    EXPECT_EQ(path, root.filePath("videos/renamed"));
    ASSERT_FALSE(changed.isEmpty());
    ASSERT_TRUE(MyAliasKitOld::resolveAliasFromData(changed, &path));
    EXPECT_EQ(path, root.filePath("videos/renamed"));
    EXPECT_FALSE(MyAliasKitOld::resolveAliasFromData(QByteArray(), &path));
    bool stale = false;
    EXPECT_FALSE(MyBookmarkDataKit::resolveAliasFromData(data, nullptr, stale));
}

// Random bytes, every truncation, every single-bit flip and foreign data: never a resolution,
// never a crash.
TEST_F(FileReferenceTest, DamagedOrForeignDataNeverResolves) {
    const QByteArray good = MyBookmarkDataKit::bookmarkForURL(QUrl::fromLocalFile(root.filePath("videos")));
    ASSERT_FALSE(good.isEmpty());
    FileReference::Limits quick;
    quick.touchMilliseconds = 200;
    quick.mountMilliseconds = 200;
    quick.searchMilliseconds = 50;
    auto neverResolves = [&](const QByteArray& data) {
        return !FileReference::decode(data, Kind::Bookmark).has_value() &&
               !FileReference::resolve(data, Kind::Bookmark, nullptr, quick).has_value();
    };
    for (qsizetype n = 0; n < good.size(); ++n) ASSERT_TRUE(neverResolves(good.left(n))) << n;
    for (qsizetype bit = 0; bit < good.size() * 8; ++bit) {
        QByteArray flipped = good;
        flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
        ASSERT_TRUE(neverResolves(flipped)) << bit;
    }
    std::mt19937 rng(20261207);
    for (int i = 0; i < 20000; ++i) {
        QByteArray noise(static_cast<qsizetype>(rng() % 600), '\0');
        for (char& c : noise) c = static_cast<char>(rng());
        if (i % 4 == 0 && noise.size() >= 4) std::memcpy(noise.data(), "VRBK", 4);  // our magic, then noise
        ASSERT_TRUE(neverResolves(noise)) << i;
    }
    const QByteArray alias = MyAliasKitOld::aliasDataForPath(root.filePath("videos"));
    EXPECT_TRUE(neverResolves(alias));
    EXPECT_TRUE(neverResolves(QByteArray("bplist00\xd1\x01\x02", 11)));
    EXPECT_TRUE(neverResolves(test::readAll(QStringLiteral("/bin/sh")).left(4096)));
}

// Data with an intact frame (magic, length, checksum) around random fields: the field parser
// must refuse or accept without reading past the end, and resolution must stay safe.
TEST_F(FileReferenceTest, RandomFieldsInAnIntactFrameAreParsedSafely) {
    const QByteArray good = MyBookmarkDataKit::bookmarkForURL(QUrl::fromLocalFile(root.filePath("videos")));
    const auto record = FileReference::decode(good, Kind::Bookmark);
    ASSERT_TRUE(record.has_value());
    std::mt19937 rng(7);
    FileReference::Limits quick;
    quick.touchMilliseconds = 200;
    quick.mountMilliseconds = 200;
    quick.searchMilliseconds = 20;
    quick.searchDirectories = 50;
    int accepted = 0;
    for (int i = 0; i < 3000; ++i) {
        FileReference::Record r = *record;
        r.path = "/" + QByteArray::number(rng()) + "/" + QByteArray(rng() % 40, static_cast<char>('a' + rng() % 26));
        r.inode = rng();
        r.relativePath = QByteArray(rng() % 30, static_cast<char>(rng()));
        r.source = QByteArray(rng() % 30, static_cast<char>(rng()));
        QByteArray data = FileReference::encode(r, Kind::Bookmark);
        if (FileReference::decode(data, Kind::Bookmark)) ++accepted;
        // Whatever it finds exists.
        if (const auto found = FileReference::resolve(data, Kind::Bookmark, nullptr, quick)) {
            EXPECT_TRUE(QFileInfo::exists(found->path)) << found->path.toStdString();
        }
    }
    EXPECT_GT(accepted, 0);
}

// The volume UUID comes from data that anyone who can write the settings file controls; only
// a UUID may reach the lookup of its device and the mount command. Stand-ins for blkid and
// udisksctl on PATH record how they were called.
TEST_F(FileReferenceTest, OnlyAVolumeUuidOfHexDigitsAndDashesReachesTheMountCommands) {
    const QString bin = root.filePath("bin");
    const QString calls = root.filePath("calls.txt");
    QDir().mkpath(bin);
    ASSERT_TRUE(test::writeAll(bin + "/blkid", "#!/bin/sh\necho \"blkid $*\" >> \"$VORN_CALLS\"\necho /dev/vorn-test\n"));
    ASSERT_TRUE(test::writeAll(bin + "/udisksctl", "#!/bin/sh\necho \"udisksctl $*\" >> \"$VORN_CALLS\"\nexit 1\n"));
    QFile::setPermissions(bin + "/blkid", QFile::ReadOwner | QFile::ExeOwner);
    QFile::setPermissions(bin + "/udisksctl", QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin) + ":" + savedPath);
    qputenv("VORN_CALLS", QFile::encodeName(calls));

    const auto good = FileReference::decode(MyBookmarkDataKit::bookmarkForURL(QUrl::fromLocalFile(root.filePath("videos"))), Kind::Bookmark);
    ASSERT_TRUE(good.has_value());
    FileReference::Record r = *good;
    // A folder that is gone, on a volume that is not mounted anywhere.
    r.path = QFile::encodeName(root.filePath("gone"));
    r.mountPoint = QFile::encodeName(root.filePath("not-mounted"));
    r.fsType = "vorn-test-fs";
    FileReference::Limits quick;
    quick.searchDirectories = 10;
    auto mountCommands = [&](const QByteArray& uuid) {
        QFile::remove(calls);
        r.uuid = uuid;
        EXPECT_FALSE(FileReference::resolve(FileReference::encode(r, Kind::Bookmark), Kind::Bookmark, nullptr, quick));
        return test::readAll(calls).toStdString();
    };
    for (const QByteArray crafted : {"../../sdb1", "0123-ABCD/../../sdb1", "-h", "abc def", "ABCD\n1234"}) {
        EXPECT_EQ(mountCommands(crafted), "") << crafted.constData();
    }
    EXPECT_EQ(mountCommands("0123-ABCD"),
              "blkid -c /dev/null -U 0123-ABCD\nudisksctl mount --no-user-interaction -b /dev/vorn-test\n");
    qputenv("PATH", savedPath);
    qunsetenv("VORN_CALLS");
}

// Real volumes: an ext4 image mounted, unmounted and mounted elsewhere, or mounted for us
// through /etc/fstab, in a private mount namespace so that nothing outside the test changes.
class VolumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
        if (QProcess::execute("unshare", {"-m", "true"}) != 0) GTEST_SKIP() << "no private mount namespace here";
        if (QProcess::execute("mkfs.ext4", {"-q", "-F", "-L", "VORNTEST", makeImage()}) != 0) GTEST_SKIP() << "no mkfs.ext4";
    }
    QString makeImage() {
        const QString image = root.filePath("volume.img");
        QFile f(image);
        f.open(QIODevice::WriteOnly);
        f.resize(16 * 1024 * 1024);
        return image;
    }
    // Runs a shell script in a private mount namespace; returns its standard output.
    QString inNamespace(const QString& script) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PROBE", VORN_TEST_HELPERS "/folderref_probe");
        env.insert("ROOT", root.path());
        p.setProcessEnvironment(env);
        // reference_on_volume MOUNT FOLDER: mounts the image at $ROOT/MOUNT, makes the folder there,
        // keeps a reference to it in $ref, and unmounts the image again.
        const QString prelude = R"(
            reference_on_volume() {
                mkdir -p "$ROOT/$1"
                mount -o loop "$ROOT/volume.img" "$ROOT/$1"
                mkdir -p "$ROOT/$1/$2"
                ref=$("$PROBE" make "$ROOT/$1/$2")
                umount "$ROOT/$1"
            }
        )";
        p.start("unshare", {"-m", "--propagation", "private", "sh", "-ec", prelude + script});
        p.waitForFinished(120000);
        errors = p.readAllStandardError();
        return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    }
    QTemporaryDir root;
    QByteArray errors;
};

TEST_F(VolumeTest, AVolumeMountedAgainElsewhereIsFoundAtItsNewPlace) {
    const QString out = inNamespace(R"(
        reference_on_volume first shows/today
        mkdir -p "$ROOT/second"
        mount -o loop "$ROOT/volume.img" "$ROOT/second"
        "$PROBE" resolve "$ref"
        umount "$ROOT/second"
    )");
    EXPECT_EQ(out, root.filePath("second/shows/today") + "\nstale") << errors.constData();
}

TEST_F(VolumeTest, AnUnmountedVolumeListedInFstabIsMountedToResolve) {
    const QString out = inNamespace(R"(
        reference_on_volume share videos
        printf '%s %s ext4 loop 0 0\n' "$ROOT/volume.img" "$ROOT/share" > "$ROOT/fstab"
        mount --bind "$ROOT/fstab" /etc/fstab
        "$PROBE" resolve "$ref"
        grep -c " $ROOT/share " /proc/self/mountinfo
    )");
    EXPECT_EQ(out, root.filePath("share/videos") + "\nfresh\n1") << errors.constData();
}

TEST_F(VolumeTest, AVolumeThatCannotBeMountedLeavesTheReferenceUnresolved) {
    const QString out = inNamespace(R"(
        reference_on_volume share videos
        rm "$ROOT/volume.img"
        "$PROBE" resolve "$ref"
    )");
    EXPECT_EQ(out, "unresolved") << errors.constData();
}

}  // namespace
