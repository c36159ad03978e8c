// What hold_report makes of a sampler's lines: the holds, the changes it leaves out, black frames.
#include "TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct Report {
    int status = -1;
    QString out;
};

class HoldReportTest : public ::testing::Test {
protected:
    QString file(const QString& name, const QByteArray& text) {
        const QString path = dir.filePath(name);
        test::writeAll(path, text);
        return path;
    }

    static Report run(const QStringList& args) {
        QProcess p;
        p.start(QStringLiteral(HOLD_REPORT_EXE), args);
        p.waitForFinished(10000);
        return Report{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                      QString::fromUtf8(p.readAllStandardOutput())};
    }

    QTemporaryDir dir;
};

// Clips 0, 1, 2, 3 of 1 s, each on screen 1 s plus a hold after a first colour at 1 s.
const QByteArray kCycle =
    "0 000000 - 0\n"
    "1000000000 d02020 0 1000\n"     // clip 0
    "2040000000 20d020 1 1000\n"     // held 40 ms (left out: start-up)
    "3100000000 2020d0 2 1000\n"     // held 60 ms
    "4200000000 000000 - 900\n"      // a black frame at the change
    "4210000000 d0d020 3 1000\n"     // held 110 ms
    "5260000000 d02020 0 3000\n"     // held 50 ms, the sample before 3 ms earlier
    "# sampler: the figures of the sampling\n";

TEST_F(HoldReportTest, HoldsBlackFramesAndSamplingGap) {
    const Report r = run({"--clips", "4", "--duration-ms", "1000", "--skip", "1", "--run", "player",
                          file("samples", kCycle)});
    EXPECT_EQ(r.status, 0) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("player changes   3  hold median   60.0 ms  p90  110.0 ms  max  110.0 ms  black frames 1 "
                               "(longest 10.0 ms)"))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("change 2: 000000 for 10.0 ms between clip 2 and clip 3")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("left out: 1 at start, 0 clip after itself, 0 out of order (items loaded not known); "
                               "sampling gap at a change <= 3.0 ms"))
        << r.out.toStdString();
}

TEST_F(HoldReportTest, AClipAfterItselfIsLeftOutWhenTheItemsSaySo) {
    const QByteArray samples =
        "1000000000 d02020 0 1000\n"
        "2050000000 20d020 1 1000\n"
        "4150000000 2020d0 2 1000\n"  // clip 1 played twice: 2.1 s
        "5200000000 d02020 0 1000\n";  // clip 3 did not play: out of order
    const QString path = file("samples", samples);
    const Report withItems = run({"--clips", "4", "--duration-ms", "1000", "--skip", "0", "--run", "player", path,
                                  file("items", "1\n1\n2\n0\n")});
    EXPECT_EQ(withItems.status, 0) << withItems.out.toStdString();
    EXPECT_TRUE(withItems.out.contains("change 1 left out: clip 1 played 2 times in a row (2100 ms)"))
        << withItems.out.toStdString();
    EXPECT_TRUE(withItems.out.contains("change 2 left out: clip 2 to clip 0, expected clip 3"))
        << withItems.out.toStdString();
    EXPECT_TRUE(withItems.out.contains("player changes   1  hold median   50.0 ms")) << withItems.out.toStdString();

    // Items that do not match what the screen showed are said to differ.
    const Report wrong = run({"--clips", "4", "--duration-ms", "1000", "--skip", "0", "--run", "player", path,
                              file("wrong", "2\n3\n")});
    EXPECT_TRUE(wrong.out.contains("the colours seen differ from the items loaded from item 1 on"))
        << wrong.out.toStdString();
}

TEST_F(HoldReportTest, TwoRunsGiveTheRatioOfTheirMedians) {
    const Report r = run({"--clips", "4", "--duration-ms", "1000", "--skip", "1", "--run", "player",
                          file("a", kCycle), "--run", "mpv", file("b", kCycle), "-"});
    EXPECT_EQ(r.status, 0) << r.out.toStdString();
    EXPECT_TRUE(r.out.endsWith("ratio player/mpv of the medians: 1.00\n")) << r.out.toStdString();
}

TEST_F(HoldReportTest, NoChangeIsAFailure) {
    const Report r = run({"--clips", "4", "--duration-ms", "1000", "--run", "player",
                          file("samples", "0 000000 - 0\n1000000000 d02020 0 1000\n")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.contains("no change measured (0 seen)")) << r.out.toStdString();
}

}  // namespace
