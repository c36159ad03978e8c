#include "foundation/KORVAL_NSStringAdditions.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <memory>

#include <sys/mman.h>
#include <unistd.h>

namespace {

using namespace KORVAL_NSStringAdditions;

QString cstring(const QByteArray& bytes, std::uint64_t limit, std::uint32_t encoding) {
    QByteArray padded = bytes;
    padded.append(QByteArray(8, '\0'));  // room for reading past a short limit-less string
    return stringWithCString(padded.constData(), limit, encoding);
}

TEST(StringAdditionsTest, NumericCaseInsensitiveComparison) {
    EXPECT_EQ(numericalCaseInsensitiveCompare("clip9.mp4", "CLIP10.mp4"), -1);
    EXPECT_EQ(numericalCaseInsensitiveCompare("Clip10.MP4", "clip10.mp4"), 0);
    EXPECT_EQ(numericalCaseInsensitiveCompare("b", "A"), 1);
    EXPECT_EQ(numericalCaseInsensitiveCompare("x2y10", "x2y9"), 1);
}

TEST(StringAdditionsTest, BoundedCStringsInUtf8AndSingleByteEncodings) {
    EXPECT_EQ(cstring(QByteArray("\0abc", 4), 0, UTF8), "");
    EXPECT_FALSE(cstring(QByteArray("\0abc", 4), 0, UTF8).isNull());
    EXPECT_EQ(cstring("\xEF\xBB\xBF" "A", 0, UTF8), "A");
    EXPECT_EQ(cstring("\xEF\xBB\xBF" "A", 3, UTF8), QString(QChar(0xFEFF)));  // below 4 the mark stays
    EXPECT_EQ(cstring("ABCDEF", 3, UTF8), "ABC");                             // no zero within the limit
    EXPECT_EQ(cstring("AB\0CD", 5, UTF8), "AB");
    EXPECT_TRUE(cstring("\xC3\x28", 0, UTF8).isNull());                       // not UTF-8
    EXPECT_TRUE(cstring("\xC3\xA9", 1, UTF8).isNull());                       // cut inside a character
    EXPECT_EQ(cstring("\xC3\xA9t\xC3\xA9", 0, UTF8), QString::fromUtf8("été"));
    EXPECT_EQ(cstring("caf\xE9", 0, ISOLatin1), QString::fromUtf8("café"));
    EXPECT_EQ(cstring("caf\x8E", 0, MacOSRoman), QString::fromUtf8("café"));
    EXPECT_EQ(cstring("plain", 0, ASCII), "plain");
    EXPECT_TRUE(cstring("caf\xE9", 0, ASCII).isNull());
    EXPECT_TRUE(cstring("abc", 0, 999).isNull());  // an encoding we do not know
    EXPECT_TRUE(stringWithCString(nullptr, 4, UTF8).isNull());
}

TEST(StringAdditionsTest, BoundedCStringsInUtf16AndUtf32) {
    EXPECT_TRUE(cstring(QByteArray("A\0", 2), 1, Unicode).isNull());  // the unit is wider than the limit
    // Byte-order marks, read in the machine's (little-endian) order, set the byte order.
    EXPECT_EQ(cstring(QByteArray("\xFF\xFE" "A\0B\0", 6), 0, Unicode), "AB");
    EXPECT_EQ(cstring(QByteArray("\xFE\xFF\0A\0B", 6), 0, Unicode), "AB");
    EXPECT_EQ(cstring(QByteArray("A\0B\0C\0", 6), 4, UTF16LittleEndian), "AB");  // two whole units
    EXPECT_EQ(cstring(QByteArray("\0A\0B", 4), 0, UTF16BigEndian), "AB");
    EXPECT_EQ(cstring(QByteArray("\xFF\xFE\0\0" "A\0\0\0", 8), 0, UTF32), "A");
    EXPECT_EQ(cstring(QByteArray("\0\0\xFE\xFF\0\0\0A", 8), 0, UTF32), "A");
    EXPECT_EQ(cstring(QByteArray("\0\0\0\0", 4), 0, UTF32LittleEndian), "");
    EXPECT_TRUE(cstring(QByteArray("\0\xD8" "A\0", 4), 0, UTF16LittleEndian).isNull());  // a lone surrogate
    // A U+FEFF right after the mark is a character of the text, not a second mark.
    const QString zwnbspA = QString(QChar(0xFEFF)) + "a";
    EXPECT_EQ(cstring(QByteArray("\xFF\xFE\xFF\xFE" "a\0", 6), 0, Unicode), zwnbspA);
    EXPECT_EQ(cstring(QByteArray("\xFE\xFF\xFE\xFF\0a", 6), 0, Unicode), zwnbspA);
    EXPECT_EQ(cstring(QByteArray("\xFF\xFE\0\0\xFF\xFE\0\0" "a\0\0\0", 12), 0, UTF32), zwnbspA);
    EXPECT_EQ(cstring(QByteArray("\xFF\xFE", 2), 0, Unicode), "");
}

// A two-byte text, the first byte of the UTF-8 mark and its zero byte, is read no further
// (AddressSanitizer tells).
TEST(StringAdditionsTest, AShortTextIsNotReadPastItsEnd) {
    const std::unique_ptr<char[]> bytes(new char[2]{'\xEF', '\0'});
    EXPECT_TRUE(stringWithCString(bytes.get(), 0, UTF8).isNull());
    EXPECT_TRUE(stringWithCString(bytes.get(), 64, UTF8).isNull());
}

// More than the converter takes in its 32-bit lengths: 4 GiB and 1 MiB of "a" (one page-cache
// mebibyte mapped over and over), which a 32-bit length would cut to its last mebibyte.
TEST(StringAdditionsTest, ATextTooLongForTheConverterIsRefusedWhole) {
    constexpr std::uint64_t kChunk = 1 << 20;
    constexpr std::uint64_t kLength = (std::uint64_t(1) << 32) + kChunk;
    const int fd = memfd_create("letters", MFD_CLOEXEC);
    ASSERT_TRUE(fd >= 0 && ftruncate(fd, kChunk) == 0);
    ASSERT_EQ(pwrite(fd, QByteArray(kChunk, 'a').constData(), kChunk, 0), static_cast<ssize_t>(kChunk));
    char* text = static_cast<char*>(mmap(nullptr, kLength, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    ASSERT_NE(text, MAP_FAILED);
    for (std::uint64_t at = 0; at < kLength; at += kChunk) {
        ASSERT_NE(mmap(text + at, kChunk, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0), MAP_FAILED);
    }
    EXPECT_TRUE(stringWithCString(text, kLength, UTF8).isNull());
    EXPECT_EQ(stringWithCString(text + kLength - 3, 3, UTF8), "aaa");
    munmap(text, kLength);
    close(fd);
}

TEST(StringAdditionsTest, DeletingCharactersOfASet) {
    EXPECT_EQ(stringByDeletingCharactersInSet("unchanged", {}), "unchanged");
    EXPECT_EQ(stringByDeletingCharactersInSet("a-b_c d", {U'-', U'_', U' '}), "abcd");
    EXPECT_EQ(stringByDeletingCharactersInSet(QString::fromUtf8("🎬film🎬"), {U'🎬'}), "film");
}

TEST(StringAdditionsTest, ReplacingSeveralSubstringsWithinARange) {
    const Range all{0, 100};
    EXPECT_EQ(stringByReplacingSubStrings("a-b-a", {"a", "b"}, {"b", "c"}, 0, all), "c-c-c");
    EXPECT_EQ(stringByReplacingSubStrings("keep x and y", {"x", "y"}, {"X"}, 0, all), "keep X and ");
    EXPECT_EQ(stringByReplacingSubStrings("aaaa", {"a"}, {"b"}, 0, {1, 2}), "abba");
    EXPECT_EQ(stringByReplacingSubStrings("Hello HELLO", {"hello"}, {"bye"}, 0, all), "Hello HELLO");
    EXPECT_EQ(stringByReplacingSubStrings("Hello HELLO", {"hello"}, {"bye"}, CaseInsensitiveSearch, all), "bye bye");
}

TEST(StringAdditionsTest, DatesAndTheRest) {
    const QDateTime when(QDate(2026, 12, 7), QTime(14, 5, 9), Qt::LocalTime);
    EXPECT_EQ(KORVAL_NSDateAdditions::stringWithUTSFormat(when.toMSecsSinceEpoch(), "yyyy-MM-dd HH:mm:ss"), "2026-12-07 14:05:09");
    EXPECT_TRUE(KORVAL_NSObjectAdditions::pathToSelf().isNull());
}

}  // namespace
