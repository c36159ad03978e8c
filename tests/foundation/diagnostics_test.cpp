#include "log/KORVAL_Base.h"
#include "log/KORVAL_Log.h"
#include "log/KORVAL_NSDataAdditions.h"

#include "TestSupport.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/utsname.h>

namespace {

TEST(HexDumpTest, TheLinesOfTheExamples) {
    EXPECT_EQ(KORVAL_NSDataAdditions::hexdump("Hello, world!\n", 0, 14),
              "00000000  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 21 0a        |Hello, world!.|\n");
    const QByteArray letters = QByteArray(16, 'z') + QByteArray("ABCDEFGHIJKLMNOP");
    EXPECT_TRUE(KORVAL_NSDataAdditions::hexdump(letters, 0, 32).endsWith(
        "00000010  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"));
    // The character column starts after 61 characters; a full line is 78 long.
    const QString line = KORVAL_NSDataAdditions::hexdump(letters, 16, 16);
    EXPECT_EQ(line.indexOf('|'), 60);
    EXPECT_EQ(line.size(), 79);
    EXPECT_TRUE(line.startsWith("00000000  41"));  // offsets count from the range's start
}

TEST(HexDumpTest, RepeatedLinesCollapseAlsoAtTheEnd) {
    const QString zeros = "00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |................|";
    EXPECT_EQ(KORVAL_NSDataAdditions::hexdump(QByteArray(48, '\0') + QByteArray(16, 'A'), 0, 64),
              "00000000  " + zeros + "\n* last line repeated 2 times\n"
              "00000030  41 41 41 41 41 41 41 41  41 41 41 41 41 41 41 41  |AAAAAAAAAAAAAAAA|\n");
    EXPECT_EQ(KORVAL_NSDataAdditions::hexdump(QByteArray(48, '\0'), 0, 48),
              "00000000  " + zeros + "\n* last line repeated 2 times\n");
    EXPECT_EQ(KORVAL_NSDataAdditions::hexdump("%\x7f\x1f", 0, 3),
              "00000000  25 7f 1f                                          |%..|\n");
    // An empty range within the data is an empty text; only a range outside it is none.
    EXPECT_EQ(KORVAL_NSDataAdditions::hexdump("abc", 1, 0), "");
    EXPECT_FALSE(KORVAL_NSDataAdditions::hexdump("abc", 1, 0).isNull());
    EXPECT_FALSE(KORVAL_NSDataAdditions::hexdump(QByteArray(), 0, 0).isNull());
    EXPECT_TRUE(KORVAL_NSDataAdditions::hexdump("abc", 2, 5).isNull());
}

TEST(HexDumpTest, LogDataWritesOneDebugLineForEverySixteenBytes) {
    QTemporaryDir dir;
    const QString log = dir.filePath("dump.log");
    ASSERT_EQ(test::runInChild([&] {
                  KORVAL_Log::setLogFile(log);
                  KORVAL_Log::logData(QByteArray("0123456789abcdef%"));
                  KORVAL_Log::logData(QByteArray());
                  return 0;
              }),
              0);
    const QStringList lines = QString::fromUtf8(test::readAll(log)).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith("] 00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|"));
    EXPECT_TRUE(lines[1].endsWith(QString("] 00000010  25") + QString(46, ' ') + "  |%%|")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].startsWith("D ["));
}

TEST(SystemInformationTest, TheBannerHasItsFixedShape) {
    const QString banner = KORVAL_Log::startupInfo();
    const QStringList lines = banner.split('\n');
    ASSERT_EQ(lines.size(), 4) << banner.toStdString();
    EXPECT_EQ(lines[0], QString(80, '^'));
    EXPECT_TRUE(lines[1].endsWith(" starting up"));
    EXPECT_TRUE(lines[2].contains(QRegularExpression(R"(^Mac OS X Version .+ \(Build .+\) foundation \(\d+\.\d{3}\);$)")))
        << lines[2].toStdString();
    utsname u {};
    uname(&u);
    EXPECT_TRUE(lines[3].contains(QRegularExpression(QString(R"(^\d+MB \(\d+MB free\); \d+ CPU; LittleEndian \(64-bit\); .+ \(%1\)$)")
                                                         .arg(QString::fromLatin1(u.machine)))))
        << lines[3].toStdString();
    EXPECT_FALSE(banner.endsWith('\n'));
    EXPECT_EQ(KORVAL_Base::systemVersionInfo().count('\n'), 1);
}

TEST(SystemInformationTest, FreeMemoryFigures) {
    const auto stats = KORVAL_Base::vmStats();
    ASSERT_TRUE(stats.has_value());
    const quint64 pages = stats->value("freePages").toULongLong();
    const quint64 bytes = stats->value("freeBytes").toULongLong();
    EXPECT_GT(pages, 0u);
    EXPECT_EQ(bytes, pages * static_cast<quint64>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(stats->value("freeMB").toULongLong(), bytes >> 20);
}

TEST(SystemInformationTest, SafeTemporaryFiles) {
    QTemporaryDir dir;
    const QByteArray ownTemporaryFolder = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(dir.path()));
    const QString path = KORVAL_Base::safeTempFile();
    EXPECT_TRUE(path.startsWith(dir.path() + "/XXXXXXXXXX"));
    EXPECT_EQ(QFileInfo(path).size(), 0);
    struct stat st {};
    stat(QFile::encodeName(path).constData(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    int fd = -1;
    const QString open = KORVAL_Log::safeTempFile(&fd);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "data", 4), 4);
    close(fd);
    EXPECT_EQ(test::readAll(open), "data");

    // A folder that is not there: none, a negative descriptor, and a report in each class's way.
    const QString missing = dir.filePath("missing");
    qputenv("TMPDIR", QFile::encodeName(missing));
    const QString log = dir.filePath("log"), err = dir.filePath("err");
    ASSERT_EQ(test::runInChild([&] {
                  KORVAL_Log::setShouldLogToStdErr(false);
                  KORVAL_Log::setLogFile(log);
                  test::StderrToFile capture(err);
                  int d = 0;
                  if (!KORVAL_Log::safeTempFile(&d).isNull() || d >= 0) return 2;
                  if (!KORVAL_Base::safeTempFile(&d).isNull() || d >= 0) return 3;
                  return 0;
              }),
              0);
    const QString message = "ERROR: failed to create temporary file " + missing + "/XXXXXXXXXXXXXXXX (Error 2: No such file or directory)";
    EXPECT_TRUE(test::readAll(log).contains(("] " + message + "\n").toUtf8())) << test::readAll(log).constData();
    EXPECT_TRUE(test::readAll(err).contains((message + "\n").toUtf8()));
    qputenv("TMPDIR", ownTemporaryFolder);
}

TEST(SystemInformationTest, StandardFolders) {
    using namespace SearchPath;
    EXPECT_EQ(KORVAL_Base::firstFoundDirectoryType(ApplicationDirectory, SystemDomainMask), "/usr/share/applications");
    EXPECT_TRUE(KORVAL_Base::firstFoundDirectoryType(DocumentDirectory, UserDomainMask).startsWith("~"));
    EXPECT_EQ(KORVAL_Base::firstFoundDirectoryType(ApplicationDirectory, 0),
              KORVAL_Base::firstFoundDirectoryType(ApplicationDirectory, UserDomainMask));  // 0: every domain, user first
    EXPECT_EQ(KORVAL_Base::firstFoundDirectoryType(UserDirectory, LocalDomainMask), "/home");
    EXPECT_TRUE(KORVAL_Base::firstFoundDirectoryType(4242, AllDomainsMask).isNull());
}

TEST(EmailAddressTest, TheWholeLowerCasedAddressMustMatch) {
    for (const char* good : {"a@b.co", "John.Doe@Example.COM", "first.last@sub.example.org", "user+tag@example.com",
                             "\"quoted.name!\"@example.com", "x@[192.168.0.1]", "o'brien@example.ie", "x_y-z@e-x.ample"}) {
        EXPECT_TRUE(KORVAL_Log::validateEmailAddress(good)) << good;
    }
    for (const char* bad : {" a@b.com", "a@b.com ", "plainaddress", "@example.com", "a@", "a..b@example.com",
                            "a@-example.com", "a@example..com", "a b@example.com", "a@b@c.com", ".a@example.com"}) {
        EXPECT_FALSE(KORVAL_Log::validateEmailAddress(bad)) << bad;
    }
    QTemporaryDir dir;
    ASSERT_EQ(test::runInChild([&] {
                  KORVAL_Log::setLogFile(dir.filePath("log"));
                  return KORVAL_Log::validateEmailAddress("Ops@Vorn.org") ? 0 : 2;
              }),
              0);
    EXPECT_TRUE(test::readAll(dir.filePath("log")).contains("] Passed emailAddress=[Ops@Vorn.org] with length=[12]...\n"));
}

}  // namespace
