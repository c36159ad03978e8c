// What the status answers say: the counts, the times, and the three forms of the answer.
#include "app/OperatorPage.h"
#include "app/PlayQueueState.h"
#include "app/SourceFolderMonitor.h"
#include "app/StatusReport.h"
#include "app/StatusService.h"
#include "platform/core/StatusHttpServer.h"
#include "platform/media/Player.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QUrl>

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

// The service counts what the player tells: a failure once, when it comes, and not the end that
// follows it a second later; it answers with the current player's item and the monitor's state.
TEST(StatusServiceTest, CountsPlaysAndFailuresAndAnswersWithThePlayerAndTheSourceFolder) {
    auto monitor = std::make_shared<SourceFolderMonitor>(nullptr);
    StatusService service(monitor);
    const PlayerItemEnd played{PlayerItemEnd::Why::Played, 0, false};
    const PlayerItemEnd playedOn{PlayerItemEnd::Why::Played, 0, true};
    const PlayerItemEnd failed{PlayerItemEnd::Why::Failed, -17, false};
    service.itemEnded(played);
    service.itemFailed();
    service.itemEnded(failed);  // the end that follows a failure one second later
    service.itemEnded(playedOn);
    service.itemFailed();      // an item handed in that could not be opened: no end follows
    service.itemEnded(played);

    StatusReport::Snapshot s = service.snapshot();
    EXPECT_EQ(s.itemsPlayed, 3u);
    EXPECT_EQ(s.itemFailures, 2u);
    EXPECT_TRUE(s.currentItem.isNull()) << "no player asked";
    EXPECT_FALSE(s.sourceFolderAvailable.has_value());

    const auto item = PlayerItem::playerItemWithURL(QUrl::fromLocalFile("/v/day/a.mp4"));
    const auto since = std::chrono::steady_clock::now() - 5s;
    StatusService::Sources sources;
    sources.player = [&] { return Player::Status{item, Player::State::Playing, since, nullptr, {}}; };
    sources.logPath = "/nowhere/VornPlayer.log";
    // The queue has not decided since the share went away (a long item plays): the copies are
    // what it goes on with all the same.
    sources.localCopies = [] {
        LocalCopies::Stats copies;
        copies.enabled = true;
        copies.count = 2;
        return copies;
    };
    service.start(sources);
    EXPECT_FALSE(service.snapshot().localCopies.playingFromCopies);
    monitor->report(SourceFolderMonitor::State::NotAnswering);
    s = service.snapshot();
    EXPECT_TRUE(s.localCopies.playingFromCopies);
    EXPECT_EQ(s.currentItem, "/v/day/a.mp4");
    EXPECT_EQ(s.currentItemSince, since);
    EXPECT_EQ(s.sourceFolderAvailable, std::optional<bool>(false));
    const QString text = StatusReport::text(StatusReport::json(s, std::chrono::steady_clock::now()));
    EXPECT_TRUE(text.contains("(not available: not answering)\n")) << text.toStdString();
    EXPECT_TRUE(StatusReport::prometheusText(s, std::chrono::steady_clock::now()).contains("\nvornplayer_source_folder_available 0\n"));
    monitor->report(SourceFolderMonitor::State::Available);
    EXPECT_EQ(service.snapshot().sourceFolderAvailable, std::optional<bool>(true));
    EXPECT_FALSE(service.snapshot().localCopies.playingFromCopies);
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
    StatusReport::Snapshot s = report.snapshot();
    s.currentItem = "/v/day/new.mp4";
    s.currentItemSince = std::chrono::steady_clock::now();
    s.sourceFolderAvailable = false;
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
}

TEST(StatusReportTest, MetricsAreOneSamplePerFamilyAndMomentsAppearOnlyOnceThereIsSuchAMoment) {
    StatusReport report;
    StatusReport::Snapshot s = report.snapshot();
    s.version = "1.0.0\"x";
    s.startedAt = QDateTime::fromSecsSinceEpoch(1800000000);
    s.process.residentMemoryBytes = 123456789;
    s.process.startTimeSeconds = 1799999999.5;
    QString text = QString::fromUtf8(StatusReport::prometheusText(s, s.started + 2s));
    EXPECT_FALSE(text.contains("vornplayer_last_new_item_timestamp_seconds"));
    EXPECT_FALSE(text.contains("vornplayer_last_frame_timestamp_seconds"));
    EXPECT_FALSE(text.contains("vornplayer_current_item_start_timestamp_seconds"));
    // Prometheus makes "up" itself; no age that a stale scrape would freeze.
    EXPECT_FALSE(text.contains("vornplayer_up"));
    EXPECT_FALSE(text.contains("seconds_since"));
    EXPECT_TRUE(text.contains("\nprocess_resident_memory_bytes 123456789\n"));
    EXPECT_TRUE(text.contains("\nprocess_start_time_seconds 1799999999.5\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_source_folder_available 0\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_info{version=\"1.0.0\\\"x\"} 1\n"));

    report.itemPlayed();
    report.itemFailed();
    report.newItemArrived("/v/a.mp4");
    s = report.snapshot();
    s.startedAt = QDateTime::fromSecsSinceEpoch(1800000000);
    s.sourceFolderAvailable = true;
    s.lastNewItemSince = s.started + 10s;
    s.lastFrame = s.lastNewItemSince + 500ms;
    s.currentItem = "/v/a.mp4";
    s.currentItemSince = s.started + 9250ms;
    text = QString::fromUtf8(StatusReport::prometheusText(s, s.lastNewItemSince + 4s));
    EXPECT_TRUE(text.contains("\nvornplayer_items_played_total 1\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_item_failures_total 1\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_source_folder_available 1\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_last_new_item_timestamp_seconds 1800000010\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nvornplayer_last_frame_timestamp_seconds 1800000010.5\n"));
    EXPECT_TRUE(text.contains("\nvornplayer_current_item_start_timestamp_seconds 1800000009.25\n"));

    // Why the source folder is away is a label: one sample per state, 1 for the present one.
    EXPECT_TRUE(text.contains("\nvornplayer_source_folder_state{state=\"not checked yet\"} 1\n")) << text.toStdString();
    s.sourceFolderAvailable = false;
    s.sourceFolderState = "unmounted";
    const QString away = QString::fromUtf8(StatusReport::prometheusText(s, s.lastNewItemSince + 4s));
    EXPECT_TRUE(away.contains("\nvornplayer_source_folder_state{state=\"unmounted\"} 1\n"));
    EXPECT_TRUE(away.contains("\nvornplayer_source_folder_state{state=\"available\"} 0\n"));
    EXPECT_EQ(away.count(QRegularExpression(R"(\nvornplayer_source_folder_state\{state="[a-z ]+"\} 1\n)")), 1);
    EXPECT_EQ(away.count("\nvornplayer_source_folder_state{"), 9);

    // Every family: HELP, TYPE, then its samples, each of that family; one sample unless labelled.
    const QStringList lines = text.trimmed().split('\n');
    static const QRegularExpression sample(R"(^([a-z_]+)(\{[^}]*\})? -?[0-9.]+$)");
    for (qsizetype i = 0; i < lines.size();) {
        ASSERT_LT(i + 2, lines.size());
        const auto m = sample.match(lines[i + 2]);
        ASSERT_TRUE(m.hasMatch()) << lines[i + 2].toStdString();
        const QString family = m.captured(1);
        EXPECT_TRUE(lines[i].startsWith("# HELP " + family + " "));
        EXPECT_TRUE(lines[i + 1] == "# TYPE " + family + " gauge" || lines[i + 1] == "# TYPE " + family + " counter");
        i += 3;
        while (i < lines.size() && !lines[i].startsWith('#')) {
            const auto more = sample.match(lines[i]);
            EXPECT_TRUE(more.hasMatch() && more.captured(1) == family && !more.captured(2).isEmpty()) << lines[i].toStdString();
            ++i;
        }
    }
}

TEST(StatusReportTest, AnItemThatDoesNotStartWithinTheLimitIsStuckUntilSomethingHappens) {
    StatusReport report;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(report.isStuck(false, start, 1s, start + 1h)) << "nothing loading";
    // An item made current after a long quiet time (a look again for an hour, say) has its limit
    // from then on.
    const auto current = start + 1h;
    EXPECT_FALSE(report.isStuck(true, current, 10s, current + 9s));
    EXPECT_TRUE(report.isStuck(true, current, 10s, current + 11s));
    report.itemStarted();
    const auto since = std::chrono::steady_clock::now();
    EXPECT_FALSE(report.isStuck(true, start, 10s, since + 9s));
    EXPECT_TRUE(report.isStuck(true, start, 10s, since + 11s));
    EXPECT_FALSE(report.isStuck(false, start, 10s, since + 11s)) << "playing, not loading";
    report.itemFailed();
    EXPECT_FALSE(report.isStuck(true, start, 10s, std::chrono::steady_clock::now() + 9s));
}

// A long item whose frames come is not frozen however long it plays; one whose frames stopped is,
// and so is one that never showed a frame; a still that is meant never is. Its position stays
// within its length, and an ended item stands at its end.
TEST(StatusReportTest, OnlyAPictureThatShouldMoveAndDoesNotIsFrozen) {
    StatusReport::Snapshot s;
    s.startedAt = QDateTime::currentDateTime();
    s.started = std::chrono::steady_clock::now();
    s.currentItem = QStringLiteral("/srv/videos/day/long.mp4");
    s.currentItemSince = s.started;
    s.currentItemState = QStringLiteral("playing");
    s.currentItemLength = 400;
    const auto now = s.started + 390s;
    s.lastFrame = now - 1700ms;
    EXPECT_FALSE(StatusReport::isFrozen(s, 5s, now));
    EXPECT_TRUE(StatusReport::isFrozen(s, 5s, now + 4s));
    s.sourceFolderAvailable = false;
    EXPECT_FALSE(StatusReport::isFrozen(s, 5s, now + 4s)) << "held by a share that does not answer";
    s.currentItemFromCopy = true;
    EXPECT_TRUE(StatusReport::isFrozen(s, 5s, now + 4s)) << "a local copy has no share to wait for";
    const QByteArray metrics = StatusReport::prometheusText(s, now + 60s);
    EXPECT_TRUE(metrics.contains("\nvornplayer_current_item_position_seconds 400\n")) << metrics.toStdString();
    EXPECT_TRUE(metrics.contains("\nvornplayer_picture_should_move 1\n"));
    s.currentItemState = QStringLiteral("ended");
    EXPECT_FALSE(StatusReport::isFrozen(s, 5s, now + 1h)) << "its last frame stays on purpose";
    EXPECT_TRUE(StatusReport::prometheusText(s, now).contains("\nvornplayer_picture_should_move 0\n"));
    s.currentItemState = QStringLiteral("opening");
    s.lastFrame.reset();
    EXPECT_FALSE(StatusReport::isFrozen(s, 5s, s.started + 4s));
    EXPECT_TRUE(StatusReport::isFrozen(s, 5s, s.started + 6s)) << "no frame ever came";
    s.currentItem = QString();
    EXPECT_FALSE(StatusReport::isFrozen(s, 5s, now + 1h)) << "nothing to play";
}

TEST(StatusReportTest, TheTextAnswerIsOneLinePerFact) {
    StatusReport report;
    StatusReport::Snapshot s = report.snapshot();
    s.currentItem = "/v/day/a.mp4";
    s.currentItemSince = s.started;
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

// An item that has not opened (its share hangs at the open, whether mpv went on to it or not) is
// not said to play: the answers and the service manager's line say that it opens, and for how
// long, with the source folder's state; an item that ended is said to keep its last frame.
TEST(StatusServiceTest, AnItemThatHasNotOpenedIsSaidToOpenNotToPlay) {
    auto monitor = std::make_shared<SourceFolderMonitor>(nullptr);
    StatusService service(monitor);
    const auto a = PlayerItem::playerItemWithURL(QUrl::fromLocalFile("/share/day/a.mp4"));
    const auto b = PlayerItem::playerItemWithURL(QUrl::fromLocalFile("/share/day/b.mp4"));
    const auto now = std::chrono::steady_clock::now();
    Player::Status player{b, Player::State::Loading, now - 74s, nullptr, {}};
    StatusService::Sources sources;
    sources.player = [&] { return player; };
    service.start(sources);
    monitor->report(SourceFolderMonitor::State::NotAnswering);
    const auto text = [&] { return StatusReport::text(StatusReport::json(service.snapshot(), now)).toStdString(); };
    const auto line = [&] { return StatusService::statusLine(player, monitor->state(), now).toStdString(); };

    EXPECT_EQ(StatusReport::json(service.snapshot(), now).value("currentItem").toObject().value("state"), "opening");
    EXPECT_NE(text().find("\nOpening:        /share/day/b.mp4 (for 1 min 14 s)\n"), std::string::npos) << text();
    EXPECT_EQ(text().find("Playing:"), std::string::npos) << text();
    EXPECT_EQ(line(), "Opening /share/day/b.mp4 for 74 s (source folder not answering)");

    player = {a, Player::State::Playing, now - 74s, b, now - 9s};  // past a's end, mpv hangs in b's open
    EXPECT_NE(text().find("\nOpening:        /share/day/b.mp4 (for 9 s)\n"), std::string::npos) << text();
    EXPECT_EQ(line(), "Opening /share/day/b.mp4 for 9 s (source folder not answering)");

    monitor->report(SourceFolderMonitor::State::Available);
    player = {a, Player::State::Ended, now - 74s, nullptr, {}};
    EXPECT_NE(text().find("\nEnded:          /share/day/a.mp4 (its last frame stays)\n"), std::string::npos) << text();
    EXPECT_EQ(line(), "Ended /share/day/a.mp4, its last frame stays");
    player.state = Player::State::Playing;
    EXPECT_NE(text().find("\nPlaying:        /share/day/a.mp4 (for 1 min 14 s)\n"), std::string::npos) << text();
    EXPECT_EQ(line(), "Playing /share/day/a.mp4");
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

TEST(StatusServiceTest, ATokenFileIsTakenOnlyWhenOtherUsersCannotReadIt) {
    QTemporaryDir dir;
    const QString path = dir.filePath("token");
    test::writeAll(path, "  s3cret  \nsecond line\n");
    const auto withMode = [&](mode_t mode) {
        chmod(QFile::encodeName(path).constData(), mode);
        QString why;
        const std::optional<QByteArray> token = StatusService::tokenFromFile(path, &why);
        return std::make_pair(token, why);
    };
    EXPECT_EQ(withMode(0600).first, QByteArray("s3cret"));
    EXPECT_EQ(withMode(0640).first, QByteArray("s3cret")) << "a group of operators may share it";
    for (const mode_t open : {mode_t(0644), mode_t(0602), mode_t(0604)}) {
        const auto [token, why] = withMode(open);
        EXPECT_FALSE(token) << open;
        EXPECT_TRUE(why.contains("may be read by other users (mode 0" + QString::number(open, 8) + ")")) << why.toStdString();
    }
    test::writeAll(path, "\n");
    EXPECT_TRUE(withMode(0600).second.endsWith("holds no token"));
    QString why;
    EXPECT_FALSE(StatusService::tokenFromFile(dir.filePath("missing"), &why));
    EXPECT_TRUE(why.contains("cannot be read")) << why.toStdString();
    // A FIFO that nobody writes is refused at once, not waited on.
    const QString fifo = dir.filePath("fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(StatusService::tokenFromFile(fifo, &why));
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(why.endsWith("is not a regular file; it is not read")) << why.toStdString();
}

// What the operator's page says the queue expects: the new file's plays left, what follows it
// once they are done, and the files set aside, passed over.
TEST(OperatorPageTest, TheOutlookFollowsTheQueuesRules) {
    PlayQueueState queue;
    const QStringList list{"/v/day/c.mp4", "/v/day/b.mp4", "/v/day/a.mp4"};
    queue.startWith(list);
    const auto now = PlayQueueState::Clock::now();
    PlayQueueState::Outlook outlook = queue.outlook(3);
    EXPECT_EQ(outlook.next, "/v/day/c.mp4") << "the new file has plays left";
    ASSERT_EQ(outlook.repeatList.size(), 3);
    EXPECT_EQ(outlook.repeatList[0].playsLeft, 3);
    EXPECT_EQ(outlook.repeatList[1].playsLeft, 1);

    // Two plays done: the third is the last, and b follows it.
    queue.itemEnded(list, 3, list[0], PlayQueueState::EndKind::Played, {}, now);
    queue.itemEnded(list, 3, list[0], PlayQueueState::EndKind::Played, {}, now);
    outlook = queue.outlook(3);
    EXPECT_EQ(outlook.repeatList[0].playsLeft, 1);
    EXPECT_EQ(outlook.next, "/v/day/b.mp4");
    // b fails: it is set aside, and a follows c once c has played.
    queue.itemEnded(list, 3, list[0], PlayQueueState::EndKind::Played, {}, now);  // c's third play; b is first
    queue.itemEnded(list, 3, "/v/day/b.mp4", PlayQueueState::EndKind::Failed, {}, now);
    outlook = queue.outlook(3);
    ASSERT_EQ(outlook.setAside.size(), 1);
    EXPECT_EQ(outlook.setAside[0].path, "/v/day/b.mp4");
    EXPECT_EQ(outlook.setAside[0].retryAt, now + PlayQueueState::kRetrySetAsideAfter);
    EXPECT_NE(outlook.next, "/v/day/b.mp4");
    for (const auto& entry : outlook.repeatList) EXPECT_EQ(entry.setAside, entry.path == "/v/day/b.mp4") << entry.path.toStdString();
}

TEST(OperatorPageTest, ThePageNamesWhatPlaysAndEscapesEveryName) {
    OperatorPage::Facts facts;
    StatusReport report;
    facts.status = report.snapshot();
    facts.status.version = "1.0.0";
    facts.status.currentItem = "/v/day/<b>bold<i>.mp4";
    facts.status.currentItemSince = facts.status.started + 5s;
    facts.status.sourceFolder = "/v";
    facts.status.sourceFolderAvailable = false;
    facts.status.sourceFolderState = "not answering";
    facts.sourceFolderSince = QDateTime(QDate(2026, 12, 28), QTime(9, 30));
    facts.queue.next = "/v/day/a&b.mp4";
    facts.queue.repeatList = {{"/v/day/a&b.mp4", 2, false}, {"/v/day/x.mp4", 0, true}};
    facts.queue.setAside = {{"/v/day/x.mp4", PlayQueueState::Clock::now() + 5min, "unrecognized <format> (mpv error -17)"}};
    facts.logLines = {"D [2026/12/28 09:30:00.000 +0100] <script>alert(1)</script>"};
    const QString html = QString::fromUtf8(OperatorPage::html(facts, facts.status.started + 65s));
    EXPECT_TRUE(html.startsWith("<!DOCTYPE html>"));
    EXPECT_TRUE(html.contains("&lt;b&gt;bold&lt;i&gt;.mp4</span>, from the source folder</dd>")) << html.toStdString();
    EXPECT_TRUE(html.contains("<dd id=\"state\">playing for 1 min 00 s</dd>"));
    EXPECT_TRUE(html.contains("<span id=\"uptime\">1 min 05 s</span>"));
    EXPECT_TRUE(html.contains("a&amp;b.mp4</span>: 2 plays left this round</li>"));
    EXPECT_TRUE(html.contains("x.mp4</span>: set aside</li>"));
    EXPECT_TRUE(html.contains("x.mp4</span>: could not be played (unrecognized &lt;format&gt; (mpv error -17)); tried again"))
        << html.toStdString();
    EXPECT_TRUE(html.contains("<span class=\"bad\">not answering</span> since 2026-12-28 09:30:00"));
    EXPECT_FALSE(html.contains("<script>alert")) << "a log line is text, never markup";
    // Nothing from elsewhere: every address is the server's own or inline.
    EXPECT_FALSE(html.contains("http://"));
    EXPECT_FALSE(html.contains("https://"));
}

// The verdict on top, in the title too with the screen's name: what a viewer of the screen sees.
TEST(OperatorPageTest, TheVerdictSaysWhatTheScreenShowsAndTheTitleNamesTheScreen) {
    OperatorPage::Facts facts;
    StatusReport report;
    facts.status = report.snapshot();
    facts.screenName = "Hall <2>";
    const auto at = facts.status.started + 60s;
    const auto said = [&] { return OperatorPage::verdict(facts, at).words; };
    EXPECT_EQ(said(), "nothing to play");

    facts.status.currentItem = "/v/day/a.mp4";
    facts.status.currentItemState = "playing";
    facts.status.currentItemSince = at - 20s;
    facts.status.lastFrame = at - 40ms;
    EXPECT_EQ(said(), "playing");
    EXPECT_EQ(OperatorPage::verdict(facts, at).kind, OperatorPage::Verdict::Kind::Good);
    // A long item moves on; one whose last frame is 10 s old stands still, as the page says on top.
    facts.status.lastFrame = at - 10s;
    EXPECT_EQ(said(), "picture frozen 10 s");
    const QString html = QString::fromUtf8(OperatorPage::html(facts, at));
    EXPECT_TRUE(html.contains("<title>picture frozen 10 s \u00b7 Hall &lt;2&gt; \u00b7 VornPlayer</title>")) << html.toStdString();
    EXPECT_TRUE(html.contains("<span id=\"verdict\" class=\"Bad\">picture frozen 10 s</span>"));
    EXPECT_TRUE(html.contains("<dd id=\"last-frame\">10 s ago</dd>"));
    // An item that just started has not stood still yet; an ended one keeps its frame on purpose.
    facts.status.currentItemSince = at - 1s;
    EXPECT_EQ(said(), "playing");
    facts.status.currentItemState = "ended";
    EXPECT_EQ(said(), "nothing to play");

    facts.status.currentItemState = "playing";
    facts.status.lastFrame = at;
    facts.status.currentItemFromCopy = true;
    facts.status.sourceFolderAvailable = false;
    facts.status.localCopies.enabled = true;
    facts.status.localCopies.playingFromCopies = true;
    facts.status.localCopies.count = 3;
    facts.status.localCopies.bytes = 3 * 1024 * 1024;
    facts.status.localCopies.limitBytes = 4LL * 1024 * 1024 * 1024;
    facts.status.localCopies.freeBytes = 20LL * 1024 * 1024 * 1024;
    facts.sourceFolderSince = QDateTime(QDate(2026, 12, 28), QTime(9, 30));
    EXPECT_EQ(said(), "playing from copies (share away since 2026-12-28 09:30:00)");
    EXPECT_TRUE(QString::fromUtf8(OperatorPage::html(facts, at))
                    .contains("3 files, 3.0 MiB of at most 4.0 GiB; 20.0 GiB free on their disk; playing from them"));
}

}  // namespace
