#include "platform/core/Bundle.h"

#include "TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

// The newest-files script as shipped in the build tree, run on real folders.
namespace {

class NewestFilesScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        script = Bundle::mainBundle().pathForAuxiliaryExecutable("getnewestfiles.sh");
        ASSERT_FALSE(script.isNull());
        folder = QFile::encodeName(dir.path());
    }

    // A file named by raw bytes, modified `secondsAgo` seconds ago.
    void makeFile(const QByteArray& name, int secondsAgo) {
        const QByteArray path = folder + "/" + name;
        const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << path.constData();
        ASSERT_EQ(write(fd, "x", 1), 1);
        close(fd);
        setAge(path, secondsAgo);
    }

    static void setAge(const QByteArray& path, int secondsAgo) {
        timespec times[2];
        clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec -= secondsAgo;
        times[1] = times[0];
        ASSERT_EQ(utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW), 0);
    }

    // Output lines as raw bytes, and the exit status.
    QList<QByteArray> run(const QByteArray& target, const QString& count, int* status = nullptr) {
        QProcess p;
        p.start(script, {QFile::decodeName(target), count, "*"});
        p.waitForFinished(20000);
        if (status) *status = p.exitCode();
        stderrText = p.readAllStandardError();
        QByteArray out = p.readAllStandardOutput();
        if (out.isEmpty()) return {};
        EXPECT_TRUE(out.endsWith('\n'));
        out.chop(1);
        return out.split('\n');
    }

    QTemporaryDir dir;
    QByteArray folder;
    QString script;
    QByteArray stderrText;
};

TEST_F(NewestFilesScriptTest, ListsVideoFilesNewestFirstUpToTheCount) {
    makeFile("old.mp4", 500);
    makeFile("middle.MOV", 400);
    makeFile("newer.Mkv", 300);
    makeFile("newest.webm", 200);
    for (const char* other : {"a.m4v", "b.avi", "c.mpg", "d.mpeg", "e.ts", "f.MTS"}) makeFile(other, 600);
    makeFile("notes.txt", 10);
    makeFile("image.jpg", 10);
    makeFile("noextension", 10);
    makeFile("mp4", 10);
    EXPECT_EQ(run(folder, "3"), (QList<QByteArray>{"newest.webm", "newer.Mkv", "middle.MOV"}));
    const auto all = run(folder, "100");
    EXPECT_EQ(all.size(), 10);
    EXPECT_EQ(all.mid(0, 4), (QList<QByteArray>{"newest.webm", "newer.Mkv", "middle.MOV", "old.mp4"}));
    EXPECT_TRUE(run(folder, "0").isEmpty());
    EXPECT_TRUE(run(folder, "-4").isEmpty());
}

// Files of the very same time come by name, byte by byte, whatever order they were made in.
TEST_F(NewestFilesScriptTest, FilesOfTheSameTimeComeByName) {
    const timespec same[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
    for (const char* name : {"b.mp4", "a.mp4", "C.mp4", "é.mp4"}) {
        makeFile(name, 0);
        ASSERT_EQ(utimensat(AT_FDCWD, (folder + "/" + name).constData(), same, 0), 0);
    }
    makeFile("newer.mp4", 10);
    EXPECT_EQ(run(folder, "10"), (QList<QByteArray>{"newer.mp4", "C.mp4", "a.mp4", "b.mp4", "é.mp4"}));
}

// Files still being written are listed too (the player looks at them twice), and a file's time
// is never held against this machine's clock: a share whose clock runs ahead stamps times to come.
TEST_F(NewestFilesScriptTest, LeavesOutHiddenFilesAndFoldersButNoFileForItsTime) {
    makeFile(".hidden.mp4", 100);
    makeFile("settled.mp4", 100);
    makeFile("arriving.mp4", 0);
    makeFile("ahead.mp4", -300);
    ASSERT_EQ(mkdir(folder + "/folder.mp4", 0755), 0);
    setAge(folder + "/folder.mp4", 50);
    ASSERT_EQ(mkfifo(folder + "/pipe.mp4", 0644), 0);
    EXPECT_EQ(run(folder, "10"), (QList<QByteArray>{"ahead.mp4", "arriving.mp4", "settled.mp4"}));
}

TEST_F(NewestFilesScriptTest, SurvivesAnyName) {
    const QList<QByteArray> odd{"with blanks  here.mp4", "quote\"d 'single'.mp4", "$(touch pwned) $HOME.mp4",
                                "`touch pwned`.mp4", "-leading dash.mp4", "back\\slash.mp4", "ünïcödé 🎬.mp4",
                                "semi;colon&amp|pipe*star?.mp4"};
    int age = 100;
    for (const QByteArray& name : odd) makeFile(name, age++);
    makeFile("bad\xff\xfe bytes.mp4", 10);   // not UTF-8: the player could not read it
    makeFile("line\nfeed.mp4", 11);          // would break one name a line
    const auto out = run(folder, "50");
    EXPECT_EQ(out, odd);
    EXPECT_FALSE(QFile::exists(dir.filePath("pwned")));
    EXPECT_FALSE(QFile::exists("pwned"));
}

TEST_F(NewestFilesScriptTest, FollowsLinksToVideosAndTakesFolderNamesAsTheyAre) {
    QTemporaryDir other;
    const QByteArray target = QFile::encodeName(other.filePath("real.mp4"));
    const int fd = open(target.constData(), O_WRONLY | O_CREAT, 0644);
    close(fd);
    setAge(target, 30);
    ASSERT_EQ(symlink(target.constData(), (folder + "/link.mp4").constData()), 0);
    ASSERT_EQ(symlink("/nonexistent/gone.mp4", (folder + "/dangling.mp4").constData()), 0);
    makeFile("plain.mp4", 60);
    EXPECT_EQ(run(folder, "10"), (QList<QByteArray>{"link.mp4", "plain.mp4"}));

    // A folder whose name starts with a dash, or holds shell syntax, is still just a folder.
    for (const QByteArray& name : {QByteArray("-rf"), QByteArray("a\"; rm -rf ~; \"b $(x) `y`")}) {
        const QByteArray sub = folder + "/" + name;
        ASSERT_EQ(mkdir(sub.constData(), 0755), 0);
        const int f = open((sub + "/inside.mp4").constData(), O_WRONLY | O_CREAT, 0644);
        close(f);
        setAge(sub + "/inside.mp4", 30);
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(script, {QFile::decodeName(name), "5", "*"});
        p.waitForFinished(20000);
        EXPECT_EQ(p.readAllStandardOutput(), "inside.mp4\n") << name.constData();
    }
}

TEST_F(NewestFilesScriptTest, ReportsBadArgumentsOnStandardError) {
    int status = 0;
    EXPECT_TRUE(run(folder + "/missing", "3", &status).isEmpty());
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(stderrText.contains("is not a folder"));
    EXPECT_TRUE(run(folder, "three", &status).isEmpty());
    EXPECT_EQ(status, 2);
    EXPECT_TRUE(stderrText.contains("is not a whole number"));
    EXPECT_TRUE(run(folder, "", &status).isEmpty());
    EXPECT_EQ(status, 2);
}

TEST_F(NewestFilesScriptTest, IsPlainPosixShell) {
    // dash is Debian's /bin/sh and knows no bash extensions.
    QProcess p;
    p.start("dash", {"-n", script});
    p.waitForFinished(10000);
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
    EXPECT_TRUE(test::readAll(script).startsWith("#!/bin/sh\n"));
}

}  // namespace
