#pragma once

#include "app/PlayQueueState.h"
#include "app/StatusReport.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <chrono>

// The operator's page of the status server: one self-contained HTML page (no asset from
// elsewhere, no build step), whole without JavaScript, which a few lines of script reload in
// place every 2 s. It says first, in its title too, the screen's name and a verdict on what the
// screen shows; then the screen, what plays, in which state and for how long, the last frame's
// age, whether it plays from a local copy, what follows, the repeat list with the plays left, the
// source folder, the local copies with the free disk, the files set aside, the log's last lines,
// the version and the uptime. A page whose player stops answering, or whose session ends, says so.
namespace OperatorPage {

struct Facts {
    StatusReport::Snapshot status;
    PlayQueueState::Outlook queue;
    QDateTime sourceFolderSince;  // invalid: not known
    QStringList logLines;         // the log's last lines, oldest first
    QString screenName;           // the screen's name, in the title and the heading
};

inline constexpr int kLogLines = 100;

// What the page says first, in words and a colour: "playing", "playing from copies (share away
// since …)", "picture frozen N s" or "nothing to play".
struct Verdict {
    enum class Kind { Good, Warning, Bad };
    Kind kind = Kind::Good;
    QString words;
};
Verdict verdict(const Facts& facts, StatusReport::SteadyTime now);

QByteArray html(const Facts& facts, StatusReport::SteadyTime now);
// The last `count` lines of a text file, reading no more than its tail. Any thread.
QStringList lastLines(const QString& path, int count);

}  // namespace OperatorPage
