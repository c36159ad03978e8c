#include "app/OperatorPage.h"

#include <QFile>
#include <QFileInfo>

#include <cmath>

namespace {

QString e(const QString& text) { return text.toHtmlEscaped(); }

QString nameOf(const QString& path) { return QFileInfo(path).fileName(); }

// "7 s", "12 min 05 s", "3 h 02 min", "4 d 01 h".
QString duration(double seconds) {
    const qint64 s = std::max<qint64>(0, static_cast<qint64>(seconds));
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (s < 60) return QStringLiteral("%1 s").arg(s);
    if (s < 3600) return QStringLiteral("%1 min %2 s").arg(QString::number(s / 60), two(s % 60));
    if (s < 86400) return QStringLiteral("%1 h %2 min").arg(QString::number(s / 3600), two(s % 3600 / 60));
    return QStringLiteral("%1 d %2 h").arg(QString::number(s / 86400), two(s % 86400 / 3600));
}

double secondsBetween(StatusReport::SteadyTime from, StatusReport::SteadyTime to) {
    return std::chrono::duration<double>(to - from).count();
}

// A file as the page names it: its name, with its whole path on hover.
QString file(const QString& path) {
    return QStringLiteral("<span class=\"file\" title=\"%1\">%2</span>").arg(e(path), e(nameOf(path)));
}

const char* const kStyle =
    "body{font:15px/1.4 sans-serif;margin:0 auto;max-width:70em;padding:1em;color:#222;background:#fafafa}"
    "h1{font-size:1.3em;margin:.2em 0}h2{font-size:1.05em;margin:1.2em 0 .3em}#about{color:#666;margin:0 0 .6em}"
    "#verdict{display:inline-block;padding:.1em .5em;border-radius:.3em;color:#fff}"
    ".Good{background:#070}.Warning{background:#a60}.Bad{background:#b00}"
    "#banner{display:none;background:#b00;color:#fff;padding:.4em .6em;margin:.4em 0;font-weight:bold}"
    "#screen{display:flex;gap:1.5em;flex-wrap:wrap}"
    "#screenshot{max-width:640px;width:100%;height:auto;background:#000}"
    "dl{display:grid;grid-template-columns:max-content auto;gap:.2em 1em;margin:0}dt{color:#666}dd{margin:0}"
    ".bad{color:#b00;font-weight:bold}.good{color:#070}"
    "pre{background:#fff;border:1px solid #ddd;padding:.5em;overflow:auto;max-height:30em;font-size:12px}";

// Reloads the live part in place every 2 s. The screenshot shown stays until the next one has
// loaded (no black between two), and the log box keeps its place (at the bottom, with the newest
// line, unless scrolled up). A player that does not answer, or a session that has ended, is said
// at the top and in the title.
const char* const kScript =
    "const say=(t)=>{const b=document.getElementById('banner');b.textContent=t;b.style.display=t?'block':'none';"
    "if(t)document.title=t+' \\u00b7 '+document.title.split(' \\u00b7 ').slice(-2).join(' \\u00b7 ');};"
    "const atEnd=(p)=>p.scrollHeight-p.scrollTop-p.clientHeight<8;"
    "const logBox=document.getElementById('log');logBox.scrollTop=logBox.scrollHeight;"
    "const since=()=>new Date().toLocaleTimeString();"
    "setInterval(async()=>{let r;try{r=await fetch('/',{cache:'no-store',signal:AbortSignal.timeout(1800)});}"
    "catch(x){say('The player does not answer (since '+(window.lost=window.lost||since())+')');return;}"
    "if(r.status===401||r.status===403){say('The session has ended: reload the page to sign in again');return;}"
    "if(!r.ok){say('The player answers '+r.status+' (since '+(window.lost=window.lost||since())+')');return;}"
    "const d=new DOMParser().parseFromString(await r.text(),'text/html');const live=d.getElementById('live');"
    "if(!live){say('The session has ended: reload the page to sign in again');return;}"
    "window.lost=null;say('');"
    "const old=document.getElementById('live');const oldShot=document.getElementById('screenshot');"
    "const newShot=live.querySelector('#screenshot');const src=newShot.getAttribute('src');newShot.replaceWith(oldShot);"
    "const oldLog=document.getElementById('log');const stick=atEnd(oldLog);const top=oldLog.scrollTop;"
    "old.replaceWith(live);document.title=d.title;"
    "const log=document.getElementById('log');log.scrollTop=stick?log.scrollHeight:top;"
    "const next=new Image();next.onload=()=>{oldShot.src=src;};next.src=src;},2000);";

QString bytes(qint64 n) {
    const double v = static_cast<double>(n);
    if (n < 1024 * 1024) return QStringLiteral("%1 KiB").arg(QString::number(v / 1024, 'f', 0));
    if (n < 1024LL * 1024 * 1024) return QStringLiteral("%1 MiB").arg(QString::number(v / (1024 * 1024), 'f', 1));
    return QStringLiteral("%1 GiB").arg(QString::number(v / (1024.0 * 1024 * 1024), 'f', 1));
}

const char* kindName(OperatorPage::Verdict::Kind kind) {
    switch (kind) {
        case OperatorPage::Verdict::Kind::Good: return "Good";
        case OperatorPage::Verdict::Kind::Warning: return "Warning";
        case OperatorPage::Verdict::Kind::Bad: return "Bad";
    }
    return "Bad";
}

}  // namespace

namespace OperatorPage {

Verdict verdict(const Facts& f, StatusReport::SteadyTime now) {
    const StatusReport::Snapshot& s = f.status;
    const QString since = f.sourceFolderSince.isValid()
                              ? QStringLiteral(" since %1").arg(f.sourceFolderSince.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                              : QString();
    const bool away = s.sourceFolderAvailable == std::optional<bool>(false);
    // Judged as /healthz judges it: an ended item's last frame, nothing listed, or an item held by
    // a share that is away is a still that is meant.
    if (!StatusReport::pictureShouldMove(s)) {
        return {Verdict::Kind::Warning, away ? QStringLiteral("nothing to play (share away%1)").arg(since)
                                             : QStringLiteral("nothing to play")};
    }
    if (StatusReport::isFrozen(s, StatusReport::kFrozenAfter, now)) {
        const StatusReport::SteadyTime moved = s.lastFrame ? std::max(*s.lastFrame, s.currentItemSince) : s.currentItemSince;
        return {Verdict::Kind::Bad, QStringLiteral("picture frozen %1").arg(duration(secondsBetween(moved, now)))};
    }
    if (s.localCopies.playingFromCopies || (s.currentItemFromCopy && away)) {
        return {Verdict::Kind::Warning, QStringLiteral("playing from copies (share away%1)").arg(since)};
    }
    return {Verdict::Kind::Good, QStringLiteral("playing")};
}

QByteArray html(const Facts& f, StatusReport::SteadyTime now) {
    const StatusReport::Snapshot& s = f.status;
    const Verdict said = verdict(f, now);
    const QString screen = f.screenName.isEmpty() ? QStringLiteral("VornPlayer") : f.screenName;
    QString out;
    out += QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                          "<link rel=\"icon\" href=\"data:,\"><title>%1 \u00b7 %2 \u00b7 VornPlayer</title><style>%3</style></head>\n<body>\n")
               .arg(e(said.words), e(screen), QLatin1String(kStyle));
    out += QStringLiteral("<div id=\"banner\" role=\"alert\"></div>\n");
    out += QStringLiteral("<main id=\"live\">\n<h1><span id=\"screen-name\">%1</span> <span id=\"verdict\" class=\"%2\">%3</span></h1>\n")
               .arg(e(screen), QLatin1String(kindName(said.kind)), e(said.words));
    out += QStringLiteral("<p id=\"about\">VornPlayer <span id=\"version\">%1</span>, up <span id=\"uptime\">%2</span></p>\n")
               .arg(e(s.version), duration(secondsBetween(s.started, now)));
    // A new address at each reload, so that the browser fetches the picture anew.
    const qint64 stamp = static_cast<qint64>(std::llround(secondsBetween(s.started, now) * 1000));
    out += QStringLiteral("<div id=\"screen\"><img id=\"screenshot\" src=\"/screenshot.png?at=%1\" alt=\"What the screen shows\" "
                          "width=\"640\" height=\"360\">\n<dl>\n")
               .arg(stamp);
    const QString state = s.currentItemState.isEmpty() ? QStringLiteral("playing") : s.currentItemState;
    out += s.currentItem.isNull()
               ? QStringLiteral("<dt>Item</dt><dd id=\"current\">nothing yet</dd>\n")
               : QStringLiteral("<dt>Item</dt><dd id=\"current\">%1, from %2</dd>\n<dt>State</dt><dd id=\"state\">%3 for %4</dd>\n")
                     .arg(file(s.currentItem),
                          s.currentItemFromCopy ? QStringLiteral("its local copy") : QStringLiteral("the source folder"),
                          e(state), duration(secondsBetween(s.currentItemSince, now)));
    out += QStringLiteral("<dt>Last frame</dt><dd id=\"last-frame\">%1</dd>\n")
               .arg(s.lastFrame ? QStringLiteral("%1 ago").arg(duration(secondsBetween(*s.lastFrame, now)))
                                : QStringLiteral("none shown yet"));
    out += QStringLiteral("<dt>Next</dt><dd id=\"next\">%1</dd>\n")
               .arg(f.queue.next.isNull() ? QStringLiteral("not known yet") : file(f.queue.next));
    const bool available = s.sourceFolderAvailable.value_or(false);
    const QString since = f.sourceFolderSince.isValid()
                              ? QStringLiteral(" since %1").arg(f.sourceFolderSince.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                              : QString();
    out += QStringLiteral("<dt>Source folder</dt><dd id=\"source-folder\">%1 <span class=\"%2\">%3</span>%4</dd>\n")
               .arg(e(s.sourceFolder.isEmpty() ? QStringLiteral("not set") : s.sourceFolder),
                    available ? QStringLiteral("good") : QStringLiteral("bad"),
                    e(s.sourceFolderState.isEmpty() ? QStringLiteral("not checked yet") : s.sourceFolderState), e(since));
    out += QStringLiteral("<dt>Last new item</dt><dd id=\"last-new-item\">%1</dd>\n")
               .arg(s.lastNewItem.isNull() ? QStringLiteral("none yet")
                                           : QStringLiteral("%1, found %2 ago")
                                                 .arg(file(s.lastNewItem), duration(secondsBetween(s.lastNewItemSince, now))));
    const LocalCopies::Stats& c = s.localCopies;
    out += QStringLiteral("<dt>Local copies</dt><dd id=\"copies\">%1</dd>\n")
               .arg(!c.enabled ? QStringLiteral("off")
                               : QStringLiteral("%1 files, %2 of at most %3; %4 free on their disk%5")
                                     .arg(QString::number(c.count), bytes(c.bytes), bytes(c.limitBytes),
                                          c.freeBytes < 0 ? QStringLiteral("unknown") : bytes(c.freeBytes),
                                          c.playingFromCopies ? QStringLiteral("; playing from them") : QString()));
    out += QStringLiteral("<dt>Plays</dt><dd id=\"plays\">%1 played, %2 failed</dd>\n</dl></div>\n")
               .arg(s.itemsPlayed)
               .arg(s.itemFailures);

    out += QStringLiteral("<h2>Repeat list</h2>\n<ol id=\"repeat-list\">\n");
    for (const PlayQueueState::Outlook::Entry& entry : f.queue.repeatList) {
        out += QStringLiteral("<li>%1: %2</li>\n")
                   .arg(file(entry.path), entry.setAside ? QStringLiteral("set aside")
                                                         : QStringLiteral("%1 play%2 left this round")
                                                               .arg(entry.playsLeft)
                                                               .arg(entry.playsLeft == 1 ? "" : "s"));
    }
    out += QStringLiteral("</ol>\n<h2>Set aside</h2>\n<ul id=\"set-aside\">\n");
    if (f.queue.setAside.isEmpty()) out += QStringLiteral("<li>none</li>\n");
    for (const PlayQueueState::Outlook::Aside& aside : f.queue.setAside) {
        const double retryIn = std::chrono::duration<double>(aside.retryAt - PlayQueueState::Clock::now()).count();
        out += QStringLiteral("<li>%1: could not be played%2; tried again when it changes, or in %3</li>\n")
                   .arg(file(aside.path), aside.why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(e(aside.why)),
                        duration(retryIn));
    }
    out += QStringLiteral("</ul>\n<h2>Log (last %1 lines)</h2>\n<pre id=\"log\">").arg(kLogLines);
    out += e(f.logLines.join(QLatin1Char('\n')));
    out += QStringLiteral("</pre>\n</main>\n<form id=\"signout\" method=\"post\" action=\"/signout\"><input type=\"submit\" "
                          "value=\"Sign out\"></form>\n<script>%1</script>\n</body></html>\n")
               .arg(QLatin1String(kScript));
    return out.toUtf8();
}

QStringList lastLines(const QString& path, int count) {
    constexpr qint64 kTail = 64 * 1024;
    QFile log(path);
    if (!log.open(QIODevice::ReadOnly)) return {};
    const qint64 size = log.size();
    if (size > kTail) log.seek(size - kTail);
    QStringList lines = QString::fromUtf8(log.read(kTail)).split(QLatin1Char('\n'));
    if (size > kTail && !lines.isEmpty()) lines.removeFirst();  // cut in the middle
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines.mid(std::max<qsizetype>(0, lines.size() - count));
}

}  // namespace OperatorPage
