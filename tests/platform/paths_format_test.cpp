#include "platform/core/Description.h"
#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class PathTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("HOME", "/home/operator", 1); }
};

TEST_F(PathTest, StandardizeExpandsTildeAndTidiesComponents) {
    EXPECT_EQ(Path::standardize("~"), "/home/operator");
    EXPECT_EQ(Path::standardize("~/Library/Logs/Vorn/VornPlayer.log"), "/home/operator/Library/Logs/Vorn/VornPlayer.log");
    EXPECT_EQ(Path::standardize("/srv//videos/./today/"), "/srv/videos/today");
    EXPECT_EQ(Path::standardize("/srv/videos/../music"), "/srv/music");
    EXPECT_EQ(Path::standardize("/../.."), "/");
    EXPECT_EQ(Path::standardize("/"), "/");
    EXPECT_EQ(Path::standardize(""), "");
    EXPECT_EQ(Path::standardize("20261207"), "20261207");
    EXPECT_EQ(Path::standardize("../a/./b/"), "../a/b");
    EXPECT_EQ(Path::standardize("~root/x"), "/root/x");
    // A tilde that is not at the start, or an unknown user, stays as it is.
    EXPECT_EQ(Path::standardize("/srv/~/x"), "/srv/~/x");
    EXPECT_EQ(Path::standardize("~no-such-user-here/x"), "~no-such-user-here/x");
}

TEST_F(PathTest, AppendingNeverDoublesSeparators) {
    EXPECT_EQ(Path::appendingPathComponent("/srv/videos", "20261207"), "/srv/videos/20261207");
    EXPECT_EQ(Path::appendingPathComponent("/srv/videos/", "/a.mp4"), "/srv/videos/a.mp4");
    EXPECT_EQ(Path::appendingPathComponent("/", "a"), "/a");
    EXPECT_EQ(Path::appendingPathComponent("", "20261207"), "20261207");
    EXPECT_EQ(Path::appendingPathComponent("/srv/videos", ""), "/srv/videos");
    EXPECT_EQ(Path::appendingPathComponent("~/Library/Logs/Vorn/", "VornPlayer"), "~/Library/Logs/Vorn/VornPlayer");
}

TEST_F(PathTest, ComponentsAndExtensions) {
    EXPECT_EQ(Path::lastPathComponent("/srv/videos/a.mp4"), "a.mp4");
    EXPECT_EQ(Path::lastPathComponent("/srv/videos/"), "videos");
    EXPECT_EQ(Path::lastPathComponent("/"), "/");
    EXPECT_EQ(Path::deletingLastPathComponent("/srv/videos/a.mp4"), "/srv/videos");
    EXPECT_EQ(Path::deletingLastPathComponent("/a"), "/");
    EXPECT_EQ(Path::pathExtension("/x/Demo.log"), "log");
    EXPECT_EQ(Path::pathExtension("/x/Demo"), "");
    EXPECT_EQ(Path::pathExtension("/x/.hidden"), "");
    EXPECT_EQ(Path::pathExtension("/x.d/Demo"), "");
    EXPECT_EQ(Path::deletingPathExtension("/x/Demo.log"), "/x/Demo");
    EXPECT_EQ(Path::deletingPathExtension("/x/archive.tar.gz"), "/x/archive.tar");
    EXPECT_EQ(Path::deletingPathExtension("/x.d/Demo"), "/x.d/Demo");
    EXPECT_EQ(Path::deletingPathExtension("/x/.hidden"), "/x/.hidden");
}

TEST(FormatTest, FillsInOnePassAndKeepsPercentSignsOfArguments) {
    EXPECT_EQ(fmt("Inside %@ => %@...", "AppDelegate", "initialize"), "Inside AppDelegate => initialize...");
    // A directive inside an argument is text, not a directive.
    EXPECT_EQ(fmt("full path = %@", QString("/v/100%@ %1 %s.mp4")), "full path = /v/100%@ %1 %s.mp4");
    EXPECT_EQ(fmt("%@", QString()), "(null)");
    EXPECT_EQ(fmt("%@ and %@", "one"), "one and (null)");
    EXPECT_EQ(fmt("100%% of %li items", 7L), "100% of 7 items");
    EXPECT_EQ(fmt("error %d \"%s\"", 2, "No such file or directory"), "error 2 \"No such file or directory\"");
    EXPECT_EQ(fmt("%.8x  |%.1s|", 16, "ABC"), "00000010  |A|");
    EXPECT_EQ(fmt("[%i] = [0x%04x]", -1, 0x1f), "[-1] = [0x001f]");
    EXPECT_EQ(fmt("(%.3f)", 1953.1), "(1953.100)");
    EXPECT_EQ(fmt("%u MB", 512u), "512 MB");
}

TEST(DescriptionTest, ListsDictionariesAndObjects) {
    EXPECT_EQ(Description::describe(QStringList{"/v/a.mp4", "/v/b c.mp4"}), "(\n    \"/v/a.mp4\",\n    \"/v/b c.mp4\"\n)");
    EXPECT_EQ(Description::describe(QVariantList{}), "(\n)");
    const QVariantMap dict{{"prefDoShowMenuBar", true}, {"prefDailyDateFormat", "yyyyMMdd"}, {"n", 3}};
    EXPECT_EQ(Description::describe(dict),
              "{\n    n = 3;\n    prefDailyDateFormat = \"yyyyMMdd\";\n    prefDoShowMenuBar = 1;\n}");
    const QVariantMap nested{{"list", QStringList{"a"}}};
    EXPECT_EQ(Description::describe(nested), "{\n    list = (\n        \"a\"\n    );\n}");
    EXPECT_EQ(Description::describe(QVariant()), "(null)");
    EXPECT_EQ(Description::describe(QByteArray("\x01\xff", 2)), "{length = 2, bytes = 0x01ff}");
    const int object = 0;
    EXPECT_TRUE(Description::ofObject("AppDelegate", &object).startsWith("<AppDelegate: 0x"));
    EXPECT_TRUE(Description::ofObject("AppDelegate", &object).endsWith(">"));
}

}  // namespace
