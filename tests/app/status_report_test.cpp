// What the status answers say: the counts, the times, and the three forms of the answer.
#include "app/StatusReport.h"
#include "platform/core/StatusHttpServer.h"
#include "platform/media/Player.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

std::shared_ptr<PlayerItem> item(const char* path) { return PlayerItem::playerItemWithURL(QUrl::fromLocalFile(path)); }

TEST(StatusReportTest, PlaysAreEndsThatWereNotTheLateEndOfAFailure) {
    StatusReport report;
    const auto good = item("/v/good.mp4");
    const auto broken = item("/v/broken.mp4");
    const auto replaced = item("/v/replaced.mp4");

    report.itemEnded(good);
    report.itemFailed(broken);
    report.itemEnded(broken);  // the end that follows a failure one second later
    report.itemEnded(good);
    report.itemEnded(broken);  // the same item played well on a later try
    // A failed item replaced before its end came: its end never comes, and nothing else is lost.
    report.itemFailed(replaced);
    report.itemEnded(good);

    const StatusReport::Snapshot s = report.snapshot();
    EXPECT_EQ(s.itemsPlayed, 4u);
    EXPECT_EQ(s.itemFailures, 2u);
}

TEST(StatusReportTest, TheJsonAnswerSaysWhatPlaysSinceWhenAndWhatCameInLast) {
    StatusReport report;
    StatusReport::Snapshot before = report.snapshot();
    QJsonObject json = StatusReport::json(before, before.started + 1500ms);
    EXPECT_TRUE(json.value("currentItem").isNull());
    EXPECT_TRUE(json.value("lastNewItem").isNull());
    EXPECT_TRUE(json.value("sourceFolder").toObject().value("available").isNull());
    EXPECT_TRUE(json.value("secondsSinceLastFrame").isNull());
    EXPECT_DOUBLE_EQ(json.value("uptimeSeconds").toDouble(), 1.5);

    report.newItemArrived("/v/day/new.mp4");
    report.itemStarted("/v/day/new.mp4");
    report.setSourceFolderStatusNamed("NSStatusUnavailable");
    StatusReport::Snapshot s = report.snapshot();
    s.pid = 4242;
    s.version = "1.0.0";
    s.sourceFolder = "/v";
    s.logPath = "/home/op/Library/Logs/Vorn/VornPlayer.log";
    s.logBytes = 1234;
    s.lastFrame = s.currentItemSince + 2s;
    json = StatusReport::json(s, s.currentItemSince + 3s);
    EXPECT_EQ(json.value("pid").toInteger(), 4242);
    EXPECT_EQ(json.value("currentItem").toObject().value("path").toString(), "/v/day/new.mp4");
    EXPECT_DOUBLE_EQ(json.value("currentItem").toObject().value("playingSeconds").toDouble(), 3.0);
    EXPECT_EQ(json.value("lastNewItem").toObject().value("path").toString(), "/v/day/new.mp4");
    EXPECT_TRUE(QDateTime::fromString(json.value("lastNewItem").toObject().value("arrivedAt").toString(), Qt::ISODate).isValid());
    EXPECT_EQ(json.value("sourceFolder").toObject().value("available"), QJsonValue(false));
    EXPECT_DOUBLE_EQ(json.value("secondsSinceLastFrame").toDouble(), 1.0);
    EXPECT_EQ(json.value("logBytes").toInteger(), 1234);

    report.setSourceFolderStatusNamed("NSStatusAvailable");
    EXPECT_EQ(report.snapshot().sourceFolderAvailable, std::optional<bool>(true));
    report.setSourceFolderStatusNamed("NSStatusNone");
    EXPECT_FALSE(report.snapshot().sourceFolderAvailable.has_value());
}

TEST(StatusReportTest, MetricsAreOneSamplePerFamilyAndAgesAppearOnlyOnceThereIsSomethingToMeasure) {
    StatusReport report;
    StatusReport::Snapshot s = report.snapshot();
    s.version = "1.0.0\"x";
    QString text = QString::fromUtf8(StatusReport::prometheusText(s, s.started + 2s));
    EXPECT_FALSE(text.contains("vornplayer_seconds_since_last_new_item"));
    EXPECT_FALSE(text.contains("vornplayer_seconds_since_last_frame"));
    EXPECT_TRUE(text.contains("\nvornplayer_source_folder_available 0\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_info{version=\"1.0.0\\\"x\"} 1\n"));

    report.itemEnded(item("/v/a.mp4"));
    report.itemFailed(item("/v/b.mp4"));
    report.newItemArrived("/v/a.mp4");
    report.setSourceFolderStatusNamed("NSStatusAvailable");
    s = report.snapshot();
    s.lastFrame = s.lastNewItemSince + 500ms;
    text = QString::fromUtf8(StatusReport::prometheusText(s, s.lastNewItemSince + 4s));
    EXPECT_TRUE(text.contains("\nvornplayer_items_played_total 1\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_item_failures_total 1\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_source_folder_available 1\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_seconds_since_last_new_item 4\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_seconds_since_last_frame 3.5\n"));

    // Every family: HELP, TYPE, then its one sample.
    const QStringList lines = text.trimmed().split('\n');
    ASSERT_EQ(lines.size() % 3, 0);
    static const QRegularExpression sample(R"(^([a-z_]+)(\{[^}]*\})? -?[0-9.]+$)");
    for (qsizetype i = 0; i < lines.size(); i += 3) {
        const auto m = sample.match(lines[i + 2]);
        ASSERT_TRUE(m.hasMatch()) << lines[i + 2].toStdString();
        EXPECT_TRUE(lines[i].startsWith("# HELP " + m.captured(1) + " "));
        EXPECT_TRUE(lines[i + 1] == "# TYPE " + m.captured(1) + " gauge" || lines[i + 1] == "# TYPE " + m.captured(1) + " counter");
    }
}

TEST(StatusReportTest, AnItemThatDoesNotStartWithinTheLimitIsStuckUntilSomethingHappens) {
    StatusReport report;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(report.isStuck(true, 1s, start + 1h)) << "nothing handed to the player yet";
    report.itemStarted("/v/a.mp4");
    const auto since = report.snapshot().currentItemSince;
    EXPECT_FALSE(report.isStuck(true, 10s, since + 9s));
    EXPECT_TRUE(report.isStuck(true, 10s, since + 11s));
    EXPECT_FALSE(report.isStuck(false, 10s, since + 11s)) << "playing, not loading";
    report.itemFailed(item("/v/a.mp4"));
    EXPECT_FALSE(report.isStuck(true, 10s, std::chrono::steady_clock::now() + 9s));
}

TEST(StatusReportTest, TheTextAnswerIsOneLinePerFact) {
    StatusReport report;
    report.itemStarted("/v/day/a.mp4");
    StatusReport::Snapshot s = report.snapshot();
    s.pid = 77;
    s.version = "1.0.0";
    s.sourceFolder = "/v";
    s.logPath = "/l/VornPlayer.log";
    const QString text = StatusReport::text(StatusReport::json(s, s.currentItemSince + 754s));
    EXPECT_TRUE(text.startsWith("VornPlayer 1.0.0, pid 77, up 12 min 34 s (since ")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nPlaying:        /v/day/a.mp4 (for 12 min 34 s)\n"));
    EXPECT_TRUE(text.contains("\nSource folder:  /v (not checked yet)\n"));
    EXPECT_TRUE(text.contains("\nLast new item:  none yet\n"));
    EXPECT_TRUE(text.contains("\nItems played:   0\n"));
    EXPECT_TRUE(text.endsWith("\nLog:            /l/VornPlayer.log (0 bytes)\n"));
}

TEST(StatusHttpServerTest, TheListenAddressIsAHostAndAPort) {
    const auto v4 = StatusHttpServer::parseListenAddress("127.0.0.1:9477");
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->first, QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(v4->second, 9477);
    const auto any = StatusHttpServer::parseListenAddress(" 0.0.0.0:0 ");
    ASSERT_TRUE(any);
    EXPECT_EQ(any->first, QHostAddress(QHostAddress::AnyIPv4));
    EXPECT_EQ(any->second, 0);
    const auto v6 = StatusHttpServer::parseListenAddress("[::1]:9477");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->first, QHostAddress(QHostAddress::LocalHostIPv6));
    EXPECT_TRUE(StatusHttpServer::parseListenAddress("localhost:1"));
    for (const char* wrong : {"", "9477", "127.0.0.1", "127.0.0.1:", "127.0.0.1:99999", "127.0.0.1:80/metrics",
                              "user@127.0.0.1:80", "example.org:80"}) {
        EXPECT_FALSE(StatusHttpServer::parseListenAddress(wrong)) << wrong;
    }
}

}  // namespace
