#include "app/MediaFiles.h"

#include "Clips.h"
#include "TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <set>

namespace {

// The offsets where the top-level boxes of an MP4 file begin, and its size.
std::set<qsizetype> boxStarts(const QByteArray& bytes) {
    std::set<qsizetype> starts;
    for (qsizetype at = 0; at + 8 <= bytes.size();) {
        starts.insert(at);
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData() + at);
        const qsizetype size = (qsizetype(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
        if (size < 8) break;
        at += size;
    }
    starts.insert(bytes.size());
    return starts;
}

// Real clips in both layouts: a copy cut anywhere never counts, while bytes after the last box
// (the padding some copies and cameras leave) do not keep a whole file from counting.
TEST(MediaFilesTest, ACutCopyNeverCountsAndBytesAfterTheLastBoxDoNotMatter) {
    QTemporaryDir dir;
    const QString moovAtEnd = test::clip(1.0);
    ASSERT_FALSE(moovAtEnd.isEmpty());
    const QString faststart = dir.filePath("faststart.mp4");
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
                 {"-loglevel", "error", "-y", "-i", moovAtEnd, "-c", "copy", "-movflags", "+faststart", faststart});
    ASSERT_TRUE(ffmpeg.waitForFinished(60000));
    const QString cut = dir.filePath("cut.mp4");
    for (const QString& clip : {moovAtEnd, faststart}) {
        const QByteArray whole = test::readAll(clip);
        const std::set<qsizetype> starts = boxStarts(whole);
        ASSERT_GE(starts.size(), 5u) << clip.toStdString();  // ftyp, free, mdat, moov, the end
        std::set<qsizetype> cuts;
        for (qsizetype start : starts) {
            for (qsizetype d : {-9, -1, 0, 1, 4, 7, 8, 9, 15, 16, 100}) cuts.insert(start + d);
        }
        for (auto it = starts.begin(); std::next(it) != starts.end(); ++it) cuts.insert((*it + *std::next(it)) / 2);
        for (qsizetype at = 0; at < whole.size(); at += 1009) cuts.insert(at);
        for (qsizetype at : cuts) {
            if (at < 0 || at >= whole.size()) continue;
            ASSERT_TRUE(test::writeAll(cut, whole.left(at)));
            EXPECT_EQ(MediaFiles::isoMediaCompleteness(cut), MediaFiles::Completeness::Incomplete)
                << clip.toStdString() << " cut at " << at;
        }
        // A second media data box, as fragmented files have, counts only once it is whole too.
        const QByteArray secondMdat = QByteArray("\0\0\x03\xf0" "mdat", 8) + QByteArray(1000, '\x55');
        ASSERT_TRUE(test::writeAll(cut, whole + secondMdat.left(500)));
        EXPECT_EQ(MediaFiles::isoMediaCompleteness(cut), MediaFiles::Completeness::Incomplete) << clip.toStdString();
        for (const QByteArray& tail : {QByteArray(), QByteArray(16, '\0'), QByteArray("\x01\x02\x03", 3), secondMdat}) {
            ASSERT_TRUE(test::writeAll(cut, whole + tail));
            EXPECT_EQ(MediaFiles::isoMediaCompleteness(cut), MediaFiles::Completeness::Complete)
                << clip.toStdString() << " with " << tail.size() << " bytes after it";
        }
    }
}

}  // namespace
