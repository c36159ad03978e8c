#pragma once

#include "app/PlayQueueState.h"
#include "app/StatusReport.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// The operator's page of the status server: one self-contained HTML page (no asset from
// elsewhere, no build step), whole without JavaScript, which a few lines of script reload in
// place every 2 s. It shows the screen, what plays and for how long, what follows, the repeat
// list with the plays left, the source folder, the files set aside, the log's last lines, the
// version and the uptime.
namespace OperatorPage {

struct Facts {
    StatusReport::Snapshot status;
    PlayQueueState::Outlook queue;
    QDateTime sourceFolderSince;  // invalid: not known
    QStringList logLines;         // the log's last lines, oldest first
};

inline constexpr int kLogLines = 100;

QByteArray html(const Facts& facts, StatusReport::SteadyTime now);
// The last `count` lines of a text file, reading no more than its tail. Any thread.
QStringList lastLines(const QString& path, int count);

}  // namespace OperatorPage
