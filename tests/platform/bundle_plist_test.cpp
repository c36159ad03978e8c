#include "platform/core/Bundle.h"
#include "platform/core/PropertyList.h"

#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <plist/plist.h>

#include <cstdlib>
#include <utility>

namespace {

void makeExecutable(const QString& path, bool executable) {
    test::writeAll(path, "#!/bin/sh\necho hi\n");
    QFile(path).setPermissions(executable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          : QFile::ReadOwner | QFile::WriteOwner);
}

TEST(BundleTest, FindsResourcesBesideTheExecutableInTheBuildTreeAndInstalled) {
    QTemporaryDir dir;
    // Build tree: build/vornplayer, build/share/vornplayer, build/libexec/vornplayer.
    QDir(dir.path()).mkpath("build/share/vornplayer");
    QDir(dir.path()).mkpath("build/libexec/vornplayer");
    // Installed: prefix/bin/vornplayer, prefix/share/vornplayer, prefix/libexec/vornplayer.
    QDir(dir.path()).mkpath("prefix/bin");
    QDir(dir.path()).mkpath("prefix/share/vornplayer");
    QDir(dir.path()).mkpath("prefix/libexec/vornplayer");
    for (const QString root : {"build", "prefix"}) {
        test::writeAll(dir.filePath(root + "/share/vornplayer/FactoryDefault.plist"), "<plist/>");
        makeExecutable(dir.filePath(root + "/libexec/vornplayer/getnewestfiles.sh"), true);
        makeExecutable(dir.filePath(root + "/libexec/vornplayer/notrunnable.sh"), false);
    }
    const Bundle built = Bundle::forExecutableDirectory(dir.filePath("build"));
    const Bundle installed = Bundle::forExecutableDirectory(dir.filePath("prefix/bin"));
    for (const auto& [b, root] : {std::pair<Bundle, QString>{built, "build"}, {installed, "prefix"}}) {
        EXPECT_EQ(b.pathForResource("FactoryDefault", "plist"), dir.filePath(root + "/share/vornplayer/FactoryDefault.plist"));
        EXPECT_TRUE(b.pathForResource("FactoryDefault", "xml").isNull());
        EXPECT_TRUE(b.pathForResource("Missing", "plist").isNull());
        EXPECT_EQ(b.pathForAuxiliaryExecutable("getnewestfiles.sh"),
                  dir.filePath(root + "/libexec/vornplayer/getnewestfiles.sh"));
        EXPECT_TRUE(b.pathForAuxiliaryExecutable("notrunnable.sh").isNull());
    }
}

TEST(BundleTest, TheBuiltInformationDictionaryNamesTheProgram) {
    // The test executables sit in build/tests, so the main bundle is the build tree's.
    const Bundle bundle = Bundle::mainBundle();
    const QVariantMap info = bundle.infoDictionary();
    EXPECT_EQ(info.value("CFBundleName").toString(), "VornPlayer");
    EXPECT_EQ(info.value("CFBundleIdentifier").toString(), "org.vorn.VornPlayer");
    EXPECT_FALSE(info.value("CFBundleShortVersionString").toString().isEmpty());
    EXPECT_TRUE(info.value("CFBundleGetInfoString").toString().startsWith("VornPlayer "));
    EXPECT_FALSE(info.value("DTXcode").toString().isEmpty());
    EXPECT_TRUE(info.value("DTSDKName").toString().startsWith("Qt 6."));
    EXPECT_EQ(bundle.bundleIdentifier(), "org.vorn.VornPlayer");
    EXPECT_FALSE(bundle.pathForResource("FactoryDefault", "plist").isNull());
}

TEST(BundleTest, AMissingInformationDictionaryFallsBackToTheBuiltInNames) {
    QTemporaryDir dir;
    const Bundle bundle(dir.path(), dir.path());
    EXPECT_TRUE(bundle.infoDictionary().isEmpty());
    EXPECT_EQ(bundle.bundleName(), "VornPlayer");
    EXPECT_EQ(bundle.bundleIdentifier(), "org.vorn.VornPlayer");
}

TEST(PropertyListTest, ReadsEveryValueKindFromXml) {
    QTemporaryDir dir;
    const QString path = dir.filePath("all.plist");
    test::writeAll(path, R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>s</key><string>yyyyMMdd &amp; ünï</string>
<key>i</key><integer>10</integer>
<key>neg</key><integer>-3</integer>
<key>r</key><real>2.5</real>
<key>t</key><true/>
<key>f</key><false/>
<key>d</key><data>AAH+/w==</data>
<key>a</key><array><string>x</string><integer>1</integer></array>
<key>n</key><dict><key>k</key><string>v</string></dict>
<key>when</key><date>2001-01-01T00:01:00Z</date>
</dict></plist>)");
    const auto dict = PropertyList::dictionaryWithContentsOfFile(path);
    ASSERT_TRUE(dict.has_value());
    EXPECT_EQ(dict->value("s").toString(), QString::fromUtf8("yyyyMMdd & ünï"));
    EXPECT_EQ(dict->value("i").toLongLong(), 10);
    EXPECT_EQ(dict->value("neg").toLongLong(), -3);
    EXPECT_DOUBLE_EQ(dict->value("r").toDouble(), 2.5);
    EXPECT_EQ(dict->value("t").typeId(), QMetaType::Bool);
    EXPECT_TRUE(dict->value("t").toBool());
    EXPECT_FALSE(dict->value("f").toBool());
    EXPECT_EQ(dict->value("d").toByteArray(), QByteArray("\x00\x01\xfe\xff", 4));
    EXPECT_EQ(dict->value("a").toList(), (QVariantList{QString("x"), qint64(1)}));
    EXPECT_EQ(dict->value("n").toMap().value("k").toString(), "v");
    EXPECT_EQ(dict->value("when").toDateTime().toSecsSinceEpoch(), 978307260);
}

TEST(PropertyListTest, ReadsBinaryPropertyLists) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "prefNewMovieRepeatLoopCount", plist_new_uint(3));
    plist_dict_set_item(root, "prefDoShowMenuBar", plist_new_bool(1));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    const QByteArray bytes(bin, static_cast<qsizetype>(length));
    std::free(bin);
    plist_free(root);
    ASSERT_TRUE(bytes.startsWith("bplist00"));
    const auto value = PropertyList::fromData(bytes);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->toMap().value("prefNewMovieRepeatLoopCount").toLongLong(), 3);
    EXPECT_TRUE(value->toMap().value("prefDoShowMenuBar").toBool());
}

// What libplist aborts on is left out, and the rest is read; a list nested so deep that libplist
// would overflow its stack on it is not read at all.
TEST(PropertyListTest, LeavesOutNulBytesInKeysAndStringsAndRefusesNestingBeyondReason) {
    const char xml[] = "<plist version=\"1.0\"><dict><key>s</key><string>yyyy\0MMdd</string><key>i</key><integer>10</integer>"
                       "<key>a</key><array><string>x\0</string><string>y</string></array></dict></plist>";
    const auto fromXml = PropertyList::fromData(QByteArray(xml, sizeof xml - 1));
    ASSERT_TRUE(fromXml.has_value());
    EXPECT_EQ(fromXml->toMap(), (QVariantMap{{"i", qint64(10)}, {"a", QVariantList{QString("y")}}}));

    // A binary list {"a\0b": 1, "c": "x\0y", "d": 2} with its texts in UTF-16: objects, their
    // offsets, and the trailer.
    QByteArray bin("bplist00\xd3\x01\x02\x03\x04\x05\x06" "\x63\0a\0\0\0b" "\x51" "c" "\x51" "d" "\x10\x01"
                   "\x63\0x\0\0\0y" "\x10\x02", 37);
    bin += QByteArray("\x08\x0f\x16\x18\x1a\x1c\x23", 7);
    bin += QByteArray("\0\0\0\0\0\0\x01\x01" "\0\0\0\0\0\0\0\x07" "\0\0\0\0\0\0\0\0" "\0\0\0\0\0\0\0\x25", 32);
    const auto fromBinary = PropertyList::fromData(bin);
    ASSERT_TRUE(fromBinary.has_value());
    EXPECT_EQ(fromBinary->toMap(), (QVariantMap{{"d", qint64(2)}}));

    EXPECT_FALSE(PropertyList::fromData("<plist version=\"1.0\">" + QByteArray("<array>").repeated(80) +
                                        QByteArray("</array>").repeated(80) + "</plist>").has_value());
    // 100,000 arrays, each holding the next (three-byte references and offsets), then an integer.
    const int levels = 100000;
    QByteArray objects, offsets;
    const auto threeBytes = [](int v) {
        const char b[] = {char(v >> 16), char(v >> 8), char(v)};
        return QByteArray(b, 3);
    };
    for (int i = 0; i < levels; ++i) {
        offsets += threeBytes(8 + objects.size());
        objects += i + 1 < levels ? "\xa1" + threeBytes(i + 1) : QByteArray("\x10\x01", 2);
    }
    QByteArray trailer(6, '\0');
    trailer += "\x03\x03" + QByteArray(5, '\0') + threeBytes(levels) + QByteArray(16, '\0') + QByteArray(5, '\0') +
               threeBytes(8 + objects.size());
    EXPECT_FALSE(PropertyList::fromData("bplist00" + objects + offsets + trailer).has_value());
}

TEST(PropertyListTest, RefusesWhatIsNotADictionary) {
    QTemporaryDir dir;
    const QString array = dir.filePath("array.plist");
    test::writeAll(array, "<plist version=\"1.0\"><array><string>x</string></array></plist>");
    EXPECT_TRUE(PropertyList::readFile(array).has_value());
    EXPECT_FALSE(PropertyList::dictionaryWithContentsOfFile(array).has_value());
    const QString garbage = dir.filePath("garbage.plist");
    test::writeAll(garbage, "this is not a property list \x01\x02\xff");
    EXPECT_FALSE(PropertyList::dictionaryWithContentsOfFile(garbage).has_value());
    EXPECT_FALSE(PropertyList::dictionaryWithContentsOfFile(dir.filePath("missing.plist")).has_value());
    EXPECT_FALSE(PropertyList::dictionaryWithContentsOfFile(QString()).has_value());
    test::writeAll(garbage, "");
    EXPECT_FALSE(PropertyList::dictionaryWithContentsOfFile(garbage).has_value());
}

}  // namespace
