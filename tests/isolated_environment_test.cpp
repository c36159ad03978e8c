// Each test program works in a folder of its own (IsolatedEnvironment.cpp): its home, settings,
// runtime and temporary files are in it, and it is gone when the program ends.
#include "TestSupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

namespace {

TEST(IsolatedEnvironmentTest, HomeSettingsRuntimeAndTemporaryFilesAreInTheProgramsFolder) {
    const QString folder = test::isolatedFolder();
    ASSERT_TRUE(folder.startsWith("/tmp/vorn-tests-")) << folder.toStdString();
    ASSERT_TRUE(QFileInfo(folder).isDir());
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "TMPDIR"}) {
        EXPECT_TRUE(qEnvironmentVariable(name).startsWith(folder)) << name;
    }
    QTemporaryDir temporary;
    EXPECT_TRUE(temporary.path().startsWith(folder + "/")) << temporary.path().toStdString();
    std::cout << "folder: " << folder.toStdString() << std::endl;  // for the test below
}

TEST(IsolatedEnvironmentTest, TheFolderGoesWhenTheProgramEnds) {
    QProcess program;
    program.start(QFile::symLinkTarget("/proc/self/exe"),
                  {"--gtest_filter=IsolatedEnvironmentTest.HomeSettingsRuntimeAndTemporaryFilesAreInTheProgramsFolder"});
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitCode(), 0);
    const QString out = QString::fromUtf8(program.readAllStandardOutput());
    const QRegularExpressionMatch folder = QRegularExpression(R"(^folder: (\S+)$)", QRegularExpression::MultilineOption).match(out);
    ASSERT_TRUE(folder.hasMatch()) << out.toStdString();
    EXPECT_NE(folder.captured(1), test::isolatedFolder());
    EXPECT_FALSE(QFileInfo::exists(folder.captured(1)));
}

TEST(IsolatedEnvironmentTest, ADeathTestsChildWorksInItsProgramsFolderSoItsAbortLeavesNothingBehind) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const QString marker = test::isolatedFolder() + "/made-by-the-child";
    EXPECT_DEATH(
        {
            test::writeAll(test::isolatedFolder() + "/made-by-the-child", "here");
            std::abort();
        },
        "");
    EXPECT_TRUE(QFileInfo::exists(marker)) << "the child worked in a folder of its own, which its abort left behind";
    QFile::remove(marker);
}

TEST(IsolatedEnvironmentTest, AForkedChildThatExitsLeavesTheFolderToItsProgram) {
    ASSERT_EQ(test::runInChild([]() -> int { std::exit(0); }), 0);
    EXPECT_TRUE(QFileInfo(test::isolatedFolder()).isDir());
}

}  // namespace
