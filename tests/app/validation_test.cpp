#include "app/Validation.h"
#include "folderref/MyBookmarkDataKit.h"
#include "folderref/FileReference.h"
#include "platform/core/UserDefaults.h"

#include "TestSupport.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <sys/stat.h>

// Every row of the validation's state table, with the settings read back from the file.
namespace {

class ValidationTest : public ::testing::Test {
protected:
    void SetUp() override {
        store().removeObjectForKey(sPrefTamrinVideosFolder);
        store().removeObjectForKey(sPrefTamrinVideosFolderAliasData);
        store().removeObjectForKey(sPrefTamrinVideosFolderIsValid);
        store().setArgumentDomain({});
        ASSERT_TRUE(store().synchronize());
    }
    void TearDown() override { store().setArgumentDomain({}); }

    static UserDefaults& store() { return UserDefaults::standardUserDefaults(); }
    // The settings as the file on disk has them right now.
    static QVariant onDisk(const QString& key) {
        QSettings file(UserDefaults::defaultFilePath(), QSettings::IniFormat);
        return file.value(key);
    }
    static QString referencedPath() {
        const auto r = FileReference::decode(store().dataForKey(sPrefTamrinVideosFolderAliasData), FileReference::Kind::Bookmark);
        return r ? QFile::decodeName(r->path) : QString();
    }
    void allowCreation(bool allow) { store().setArgumentDomain({{"prefDoAttemptToCreateFolderIfMissing", allow}}); }
    QByteArray referenceTo(const QString& path) { return MyBookmarkDataKit::bookmarkForURL(QUrl::fromLocalFile(path)); }

    QTemporaryDir root;
};

TEST_F(ValidationTest, NoStoredPathChangesNothing) {
    store().setBool(true, sPrefTamrinVideosFolderIsValid);
    store().setObject(QByteArray("kept"), sPrefTamrinVideosFolderAliasData);
    EXPECT_FALSE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
    EXPECT_TRUE(store().boolForKey(sPrefTamrinVideosFolderIsValid));
    EXPECT_EQ(store().dataForKey(sPrefTamrinVideosFolderAliasData), QByteArray("kept"));
}

TEST_F(ValidationTest, AnExistingFolderIsValidWithAFreshReferenceWrittenToDisk) {
    QDir(root.path()).mkpath("videos");
    store().setObject(root.filePath("videos"), sPrefTamrinVideosFolder);
    store().setObject(QByteArray("whatever was stored before"), sPrefTamrinVideosFolderAliasData);
    EXPECT_TRUE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
    EXPECT_EQ(referencedPath(), root.filePath("videos"));
    EXPECT_TRUE(onDisk(sPrefTamrinVideosFolderIsValid).toBool());
    EXPECT_EQ(onDisk(sPrefTamrinVideosFolderAliasData).toByteArray(), store().dataForKey(sPrefTamrinVideosFolderAliasData));
}

TEST_F(ValidationTest, AReferenceThatStillFindsTheFolderGivesItsPath) {
    QDir(root.path()).mkpath("videos");
    const QByteArray reference = referenceTo(root.filePath("videos"));
    store().setObject(root.filePath("not/there"), sPrefTamrinVideosFolder);
    store().setObject(reference, sPrefTamrinVideosFolderAliasData);
    EXPECT_TRUE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
    EXPECT_TRUE(store().boolForKey(sPrefTamrinVideosFolderIsValid));
    EXPECT_EQ(store().stringForKey(sPrefTamrinVideosFolder), root.filePath("videos"));
    EXPECT_EQ(store().dataForKey(sPrefTamrinVideosFolderAliasData), reference);  // not stale: unchanged
}

TEST_F(ValidationTest, AFolderThatMovedIsFoundItsNewPathStoredAndItsReferenceRemade) {
    QDir(root.path()).mkpath("videos");
    const QByteArray reference = referenceTo(root.filePath("videos"));
    store().setObject(root.filePath("videos"), sPrefTamrinVideosFolder);
    store().setObject(reference, sPrefTamrinVideosFolderAliasData);
    ASSERT_TRUE(QDir(root.path()).rename("videos", "renamed videos"));
    EXPECT_TRUE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
    EXPECT_EQ(store().stringForKey(sPrefTamrinVideosFolder), root.filePath("renamed videos"));
    EXPECT_NE(store().dataForKey(sPrefTamrinVideosFolderAliasData), reference);
    EXPECT_EQ(referencedPath(), root.filePath("renamed videos"));
    EXPECT_TRUE(store().boolForKey(sPrefTamrinVideosFolderIsValid));
    // The store carries it to disk soon on its own.
    ASSERT_TRUE(store().synchronize());
    EXPECT_EQ(onDisk(sPrefTamrinVideosFolder).toString(), root.filePath("renamed videos"));
}

TEST_F(ValidationTest, AnUnresolvableFolderIsInvalidAndNotMadeUnlessAllowed) {
    allowCreation(false);
    store().setObject(root.filePath("missing"), sPrefTamrinVideosFolder);
    store().setObject(QByteArray("junk"), sPrefTamrinVideosFolderAliasData);
    store().setBool(true, sPrefTamrinVideosFolderIsValid);
    EXPECT_FALSE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
    EXPECT_FALSE(store().boolForKey(sPrefTamrinVideosFolderIsValid));
    EXPECT_EQ(store().stringForKey(sPrefTamrinVideosFolder), root.filePath("missing"));
    EXPECT_EQ(store().dataForKey(sPrefTamrinVideosFolderAliasData), QByteArray("junk"));
    EXPECT_FALSE(QFileInfo::exists(root.filePath("missing")));
}

TEST_F(ValidationTest, AMissingLocalFolderIsMadeWhenAllowedAndStillReportedOnce) {
    allowCreation(true);
    const QString folder = root.filePath("new/with parents");
    store().setObject(folder, sPrefTamrinVideosFolder);
    EXPECT_FALSE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_TRUE(onDisk(sPrefTamrinVideosFolderIsValid).toBool());
    EXPECT_EQ(referencedPath(), folder);
    EXPECT_FALSE(onDisk(sPrefTamrinVideosFolderAliasData).toByteArray().isEmpty());
    // The next validation finds it.
    EXPECT_TRUE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
}

TEST_F(ValidationTest, ACreationThatLeavesNothingKeepsTheFolderInvalid) {
    allowCreation(true);
    store().setObject(QStringLiteral("/proc/vorn-cannot-be-made/videos"), sPrefTamrinVideosFolder);
    EXPECT_FALSE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
    EXPECT_FALSE(store().boolForKey(sPrefTamrinVideosFolderIsValid));
    EXPECT_FALSE(store().objectForKey(sPrefTamrinVideosFolderAliasData).isValid());
}

TEST_F(ValidationTest, NothingIsMadeWhereAFileStandsOrWhereAVolumeBelongs) {
    allowCreation(true);
    test::writeAll(root.filePath("a file"), "x");
    store().setObject(root.filePath("a file"), sPrefTamrinVideosFolder);
    EXPECT_FALSE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
    EXPECT_FALSE(store().boolForKey(sPrefTamrinVideosFolderIsValid));
    EXPECT_TRUE(QFileInfo(root.filePath("a file")).isFile());

    for (const QString& path : {QString("/Volumes/Share/Videos"), QString("/VOLUMES/share/videos"),
                                QString("/media/VORN-USB-NOT-MOUNTED/videos"), QString("/media/root/VORN-DISK/videos"),
                                QString("/run/media/operator/VORN-DISK/videos")}) {
        store().setObject(path, sPrefTamrinVideosFolder);
        EXPECT_FALSE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple())) << path.toStdString();
        EXPECT_FALSE(QFileInfo::exists(path)) << path.toStdString();
    }
    // A plain folder under /mnt is not a volume unless /etc/fstab says so; a user's folder under
    // /media is not one either: the volumes are the folders inside it.
    EXPECT_TRUE(mayCreateMissingFolder("/mnt/vorn-plain-folder/videos", QByteArray()));
    EXPECT_FALSE(mayCreateMissingFolder("/media/root/VORN-DISK/videos", QByteArray()));
    // Under the mount point the folder's reference recorded, while nothing is mounted there.
    FileReference::Record record;
    record.path = QFile::encodeName(root.filePath("share/videos"));
    record.directory = true;
    record.inode = 12345;
    record.mountPoint = QFile::encodeName(root.filePath("share"));
    store().setObject(FileReference::encode(record, FileReference::Kind::Bookmark), sPrefTamrinVideosFolderAliasData);
    store().setObject(root.filePath("share/videos"), sPrefTamrinVideosFolder);
    EXPECT_FALSE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
    EXPECT_FALSE(QFileInfo::exists(root.filePath("share")));
}

TEST_F(ValidationTest, TheStoredPathIsUsedExactlyAsItStands) {
    qputenv("HOME", QFile::encodeName(root.path()));
    QDir(root.path()).mkpath("videos");
    store().setObject(QStringLiteral("~/videos"), sPrefTamrinVideosFolder);
    EXPECT_FALSE(validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()));
}

TEST(PermissionTest, OnlyTheNineAccessBitsChange) {
    QTemporaryDir root;
    const QString dir = root.filePath("sticky vidéos");
    QDir().mkpath(dir);
    const QByteArray native = QFile::encodeName(dir);
    ASSERT_EQ(chmod(native.constData(), 01755), 0);
    EXPECT_TRUE(setPermission(dir, 0777));
    struct stat st {};
    stat(native.constData(), &st);
    EXPECT_EQ(st.st_mode, 041777u);
    EXPECT_TRUE(setPermissionInC(native.constData(), 0700 | 07000));
    stat(native.constData(), &st);
    EXPECT_EQ(st.st_mode, 041700u);  // the special bits asked for are not taken
}

TEST(PermissionTest, FailuresAreReportedOnStandardOutput) {
    QTemporaryDir root;
    const QString out = root.filePath("stdout");
    ASSERT_EQ(test::runInChild([&] {
                  freopen(QFile::encodeName(out).constData(), "w", stdout);
                  return setPermission(root.filePath("missing"), 0777) ? 1 : 0;
              }),
              0);
    EXPECT_EQ(test::readAll(out), "\nsetPermission => Unable to get info on itemPath = [" + QFile::encodeName(root.filePath("missing")) + "]!!!\n");
}

TEST(CreateDirectoryTest, MakesEveryLevelWithMode0777WhateverTheMask) {
    QTemporaryDir root;
    const mode_t old = umask(077);
    EXPECT_TRUE(createDirectoryIfMissing(root.filePath("a/b/c")));
    umask(old);
    for (const char* level : {"a", "a/b", "a/b/c"}) {
        struct stat st {};
        stat(QFile::encodeName(root.filePath(level)).constData(), &st);
        EXPECT_EQ(st.st_mode & 07777, 0777u) << level;
    }
    chmod(QFile::encodeName(root.filePath("a")).constData(), 0700);
    EXPECT_TRUE(createDirectoryIfMissing(root.filePath("a")));  // existing: opened up again
    struct stat st {};
    stat(QFile::encodeName(root.filePath("a")).constData(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    test::writeAll(root.filePath("file"), "x");
    EXPECT_FALSE(createDirectoryIfMissing(root.filePath("file")));
    EXPECT_FALSE(validateFolderPrefWithParamNew_KORVAL_AliasObsolete(sourceFolderPreferenceTriple()));
}

}  // namespace
