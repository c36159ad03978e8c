#include "app/StatusReport.h"

#include "app/SourceFolderMonitor.h"

#include <QJsonValue>

#include <algorithm>
#include <cmath>

namespace {

double secondsBetween(StatusReport::SteadyTime from, StatusReport::SteadyTime to) {
    const double seconds = std::chrono::duration<double>(to - from).count();
    return std::max(0.0, std::round(seconds * 10.0) / 10.0);
}

QString isoTime(const QDateTime& time) { return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate); }

QString localTime(const QString& iso) {
    const QDateTime time = QDateTime::fromString(iso, Qt::ISODate);
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : iso;
}

// "7 s", "12 min 05 s", "3 h 02 min", "4 d 01 h".
QString duration(double seconds) {
    const qint64 s = static_cast<qint64>(seconds);
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (s < 60) return QStringLiteral("%1 s").arg(s);
    if (s < 3600) return QStringLiteral("%1 min %2 s").arg(QString::number(s / 60), two(s % 60));
    if (s < 86400) return QStringLiteral("%1 h %2 min").arg(QString::number(s / 3600), two(s % 3600 / 60));
    return QStringLiteral("%1 d %2 h").arg(QString::number(s / 86400), two(s % 86400 / 3600));
}

// An item that has not opened (its share may hang), or has ended, is not said to play.
QString currentItemLine(const QJsonObject& current) {
    const QString state = current.value(QLatin1String("state")).toString();
    const QString path = current.value(QLatin1String("path")).toString();
    const QString since = duration(current.value(QLatin1String("playingSeconds")).toDouble());
    if (state == QLatin1String("opening")) return QStringLiteral("Opening:        %1 (for %2)").arg(path, since);
    if (state == QLatin1String("ended")) return QStringLiteral("Ended:          %1 (its last frame stays)").arg(path);
    if (state == QLatin1String("failed")) return QStringLiteral("Failed:         %1").arg(path);
    return QStringLiteral("Playing:        %1 (for %2)").arg(path, since);
}

QString number(double value) { return QString::number(value, 'g', 15); }

// One metric family: its help, its type and one sample.
void addMetric(QByteArray& out, const char* name, const char* type, const char* help, const QString& value,
               const QString& labels = QString()) {
    out += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n%1%4 %5\n")
               .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type), labels, value)
               .toUtf8();
}

// One sample per state the source folder can be in, 1 for the present one: why it is away
// (missing, not answering, unmounted...) as a label an alert can name.
void addSourceFolderStateMetric(QByteArray& out, const QString& present) {
    out += "# HELP vornplayer_source_folder_state The source folder's state at the last look: 1 for the present one.\n"
           "# TYPE vornplayer_source_folder_state gauge\n";
    const QString now = present.isEmpty() ? SourceFolderMonitor::describe(SourceFolderMonitor::State::NotChecked) : present;
    for (const SourceFolderMonitor::State state : SourceFolderMonitor::allStates()) {
        const QString name = SourceFolderMonitor::describe(state);
        out += QStringLiteral("vornplayer_source_folder_state{state=\"%1\"} %2\n").arg(name, name == now ? "1" : "0").toUtf8();
    }
}

QString labelValue(QString value) {
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('"'), QLatin1String("\\\""));
    value.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return value;
}

QJsonObject localCopiesJson(const StatusReport::Snapshot& s) {
    const LocalCopies::Stats& c = s.localCopies;
    QJsonObject out{{QLatin1String("enabled"), c.enabled}};
    if (!c.enabled) return out;
    out[QLatin1String("count")] = c.count;
    out[QLatin1String("bytes")] = c.bytes;
    out[QLatin1String("limitBytes")] = c.limitBytes;
    out[QLatin1String("made")] = static_cast<qint64>(c.made);
    out[QLatin1String("failed")] = static_cast<qint64>(c.failed);
    out[QLatin1String("dropped")] = static_cast<qint64>(c.dropped);
    out[QLatin1String("playingFrom")] = c.playingFromCopies ? QStringLiteral("copies") : QStringLiteral("share");
    const QDateTime now = s.now.isValid() ? s.now : QDateTime::currentDateTime();
    out[QLatin1String("secondsSinceListingAnswered")] =
        c.listingAnsweredAt.isValid() ? QJsonValue(std::max<qint64>(0, c.listingAnsweredAt.secsTo(now))) : QJsonValue();
    return out;
}

void addLocalCopiesMetrics(QByteArray& out, const LocalCopies::Stats& c) {
    if (!c.enabled) return;
    addMetric(out, "vornplayer_local_copies", "gauge", "Verified local copies of the source folder's files.",
              QString::number(c.count));
    addMetric(out, "vornplayer_local_copies_bytes", "gauge", "Bytes the local copies take.", QString::number(c.bytes));
    addMetric(out, "vornplayer_local_copies_limit_bytes", "gauge", "The most the local copies may take, in bytes.",
              QString::number(c.limitBytes));
    addMetric(out, "vornplayer_local_copies_made_total", "counter", "Local copies made since the player started.",
              QString::number(c.made));
    addMetric(out, "vornplayer_local_copies_failed_total", "counter",
              "Local copies that could not be made since the player started.", QString::number(c.failed));
    addMetric(out, "vornplayer_local_copies_dropped_total", "counter",
              "Local copies dropped as damaged or out of date since the player started.", QString::number(c.dropped));
    addMetric(out, "vornplayer_playing_from_local_copies", "gauge",
              "1 while the source folder does not answer and the player plays from its local copies.",
              QString::number(c.playingFromCopies ? 1 : 0));
    if (c.listingAnsweredAt.isValid()) {
        addMetric(out, "vornplayer_listing_answered_timestamp_seconds", "gauge",
                  "When the source folder last answered with a listing, in seconds since the epoch.",
                  number(c.listingAnsweredAt.toMSecsSinceEpoch() / 1000.0));
    }
}

}  // namespace

StatusReport::StatusReport() {
    state_.startedAt = QDateTime::currentDateTime();
    state_.started = std::chrono::steady_clock::now();
    lastProgress_ = state_.started;
}

void StatusReport::itemStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    lastProgress_ = std::chrono::steady_clock::now();
}

void StatusReport::itemPlayed() {
    std::lock_guard<std::mutex> lock(mutex_);
    lastProgress_ = std::chrono::steady_clock::now();
    ++state_.itemsPlayed;
}

void StatusReport::itemFailed() {
    std::lock_guard<std::mutex> lock(mutex_);
    lastProgress_ = std::chrono::steady_clock::now();
    ++state_.itemFailures;
}

void StatusReport::newItemArrived(const QString& path) {
    const QDateTime wall = QDateTime::currentDateTime();
    const SteadyTime now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    state_.lastNewItem = path;
    state_.lastNewItemAt = wall;
    state_.lastNewItemSince = now;
}

void StatusReport::newestFilesSeen(const QDateTime& newestModified, qint64 setAside) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (newestModified.isValid()) state_.newestFileModified = newestModified;
    state_.newestFilesSetAside = setAside;
}

bool StatusReport::pictureShouldMove(const Snapshot& s) {
    const bool underWay = !s.currentItem.isNull() && (s.currentItemState.isEmpty() || s.currentItemState == QLatin1String("playing") ||
                                                      s.currentItemState == QLatin1String("opening"));
    // An item from a share that is away holds the picture until the share answers: an outage of
    // the source folder, which its own state says, not a fault of the player.
    const bool heldByShare = s.sourceFolderAvailable == std::optional<bool>(false) && !s.currentItemFromCopy;
    return underWay && !heldByShare;
}

bool StatusReport::isFrozen(const Snapshot& s, std::chrono::milliseconds limit, SteadyTime now) {
    if (!pictureShouldMove(s)) return false;
    const SteadyTime since = s.lastFrame ? std::max(*s.lastFrame, s.currentItemSince) : s.currentItemSince;
    return now - since > limit;
}

StatusReport::Snapshot StatusReport::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

bool StatusReport::isStuck(bool loading, SteadyTime since, std::chrono::milliseconds limit, SteadyTime now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loading && now - std::max(since, lastProgress_) > limit;
}

QJsonObject StatusReport::json(const Snapshot& s, SteadyTime now) {
    QJsonObject out;
    out[QLatin1String("pid")] = s.pid;
    out[QLatin1String("version")] = s.version;
    out[QLatin1String("startedAt")] = isoTime(s.startedAt);
    out[QLatin1String("uptimeSeconds")] = secondsBetween(s.started, now);
    if (s.currentItem.isNull()) {
        out[QLatin1String("currentItem")] = QJsonValue::Null;
    } else {
        out[QLatin1String("currentItem")] = QJsonObject{
            {QLatin1String("path"), s.currentItem},
            {QLatin1String("state"), s.currentItemState.isEmpty() ? QStringLiteral("playing") : s.currentItemState},
            {QLatin1String("playingSeconds"), secondsBetween(s.currentItemSince, now)},
            {QLatin1String("fromLocalCopy"), s.currentItemFromCopy}};
    }
    out[QLatin1String("localCopies")] = localCopiesJson(s);
    QJsonObject source{{QLatin1String("path"), s.sourceFolder}};
    source[QLatin1String("available")] = s.sourceFolderAvailable ? QJsonValue(*s.sourceFolderAvailable) : QJsonValue();
    if (!s.sourceFolderState.isEmpty()) source[QLatin1String("state")] = s.sourceFolderState;
    if (!s.sourceFolderNote.isEmpty()) source[QLatin1String("note")] = s.sourceFolderNote;
    out[QLatin1String("sourceFolder")] = source;
    if (s.lastNewItem.isNull()) {
        out[QLatin1String("lastNewItem")] = QJsonValue::Null;
    } else {
        out[QLatin1String("lastNewItem")] = QJsonObject{{QLatin1String("path"), s.lastNewItem},
                                                        {QLatin1String("arrivedAt"), isoTime(s.lastNewItemAt)},
                                                        {QLatin1String("secondsAgo"), secondsBetween(s.lastNewItemSince, now)}};
    }
    out[QLatin1String("itemsPlayed")] = static_cast<qint64>(s.itemsPlayed);
    out[QLatin1String("itemFailures")] = static_cast<qint64>(s.itemFailures);
    out[QLatin1String("secondsSinceLastFrame")] = s.lastFrame ? QJsonValue(secondsBetween(*s.lastFrame, now)) : QJsonValue();
    out[QLatin1String("logPath")] = s.logPath;
    out[QLatin1String("logBytes")] = s.logBytes;
    out[QLatin1String("residentMemoryBytes")] = s.residentMemoryBytes;
    return out;
}

QByteArray StatusReport::prometheusText(const Snapshot& s, SteadyTime now) {
    // Moments as Unix time, which alerts compare with time(): the steady clock's moments are
    // placed after the wall-clock start, so that a clock stepped meanwhile moves none of them.
    const double startedAt = static_cast<double>(s.startedAt.toMSecsSinceEpoch()) / 1000.0;
    const auto timestamp = [&](SteadyTime t) {
        return number(std::round((startedAt + std::chrono::duration<double>(t - s.started).count()) * 1000.0) / 1000.0);
    };
    QByteArray out;
    addMetric(out, "vornplayer_info", "gauge", "The player's version, as a label.", QStringLiteral("1"),
              QStringLiteral("{version=\"%1\"}").arg(labelValue(s.version)));
    addMetric(out, "vornplayer_build_info", "gauge", "The player's build, as labels.", QStringLiteral("1"),
              QStringLiteral("{version=\"%1\"}").arg(labelValue(s.version)));
    addMetric(out, "vornplayer_items_played_total", "counter", "Items played to their end since the player started.",
              QString::number(s.itemsPlayed));
    addMetric(out, "vornplayer_item_failures_total", "counter", "Items that could not be played since the player started.",
              QString::number(s.itemFailures));
    addMetric(out, "vornplayer_source_folder_available", "gauge",
              "1 when the source folder was found at the last check, 0 when not or not checked yet.",
              QString::number(s.sourceFolderAvailable.value_or(false) ? 1 : 0));
    addSourceFolderStateMetric(out, s.sourceFolderState);
    // Absent until there is such a moment, so that an alert never fires on a made-up one.
    if (!s.currentItem.isNull()) {
        addMetric(out, "vornplayer_current_item_start_timestamp_seconds", "gauge",
                  "Unix time at which the current item became current.", timestamp(s.currentItemSince));
    }
    if (!s.currentItem.isNull() && s.currentItemLength > 0) {
        const double played = std::chrono::duration<double>(now - s.currentItemSince).count();
        const bool ended = s.currentItemState == QLatin1String("ended");
        addMetric(out, "vornplayer_current_item_duration_seconds", "gauge", "Length of the current item in seconds.",
                  number(s.currentItemLength));
        addMetric(out, "vornplayer_current_item_position_seconds", "gauge",
                  "How far the current item has played, in seconds since its start.",
                  number(std::round(std::clamp(ended ? s.currentItemLength : played, 0.0, s.currentItemLength) * 10.0) / 10.0));
    }
    // Lets an alert tell a frozen picture from a still that is meant.
    addMetric(out, "vornplayer_picture_should_move", "gauge",
              "1 while an item opens or plays, 0 while a still is meant (an ended item's last frame, nothing to play, a share away).",
              QString::number(pictureShouldMove(s) ? 1 : 0));
    if (s.newestFileModified.isValid()) {
        addMetric(out, "vornplayer_newest_file_modified_timestamp_seconds", "gauge",
                  "Modification time of the newest complete file of the source folder, in seconds since the epoch.",
                  number(s.newestFileModified.toMSecsSinceEpoch() / 1000.0));
    }
    addMetric(out, "vornplayer_newest_files_set_aside", "gauge",
              "Of the newest files listed, those set aside after a failed play.", QString::number(s.newestFilesSetAside));
    if (!s.lastNewItem.isNull()) {
        addMetric(out, "vornplayer_last_new_item_timestamp_seconds", "gauge", "Unix time at which the last new item was found.",
                  timestamp(s.lastNewItemSince));
    }
    if (s.lastFrame) {
        addMetric(out, "vornplayer_last_frame_timestamp_seconds", "gauge", "Unix time of the last new frame on the screen.",
                  timestamp(*s.lastFrame));
    }
    addLocalCopiesMetrics(out, s.localCopies);
    addMetric(out, "vornplayer_log_bytes", "gauge", "Size of the log file in bytes.", QString::number(s.logBytes));
    // The metrics every Prometheus client library exports for its process.
    addMetric(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
              number(s.process.cpuSeconds));
    addMetric(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
              QString::number(s.process.residentMemoryBytes));
    addMetric(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
              QString::number(s.process.virtualMemoryBytes));
    addMetric(out, "process_open_fds", "gauge", "Number of open file descriptors.", QString::number(s.process.openFds));
    if (s.process.maxFds > 0) {
        addMetric(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.", QString::number(s.process.maxFds));
    }
    addMetric(out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
              number(s.process.startTimeSeconds > 0 ? s.process.startTimeSeconds : startedAt));
    return out;
}

QString StatusReport::text(const QJsonObject& status) {
    const auto string = [&status](const char* key) { return status.value(QLatin1String(key)).toString(); };
    const auto seconds = [](const QJsonValue& v) { return duration(v.toDouble()); };
    QStringList lines;
    lines += QStringLiteral("VornPlayer %1, pid %2, up %3 (since %4)")
                 .arg(string("version"), QString::number(status.value(QLatin1String("pid")).toInteger()),
                      seconds(status.value(QLatin1String("uptimeSeconds"))), localTime(string("startedAt")));
    const QJsonObject current = status.value(QLatin1String("currentItem")).toObject();
    lines += current.isEmpty() ? QStringLiteral("Playing:        nothing yet") : currentItemLine(current);
    const QJsonObject source = status.value(QLatin1String("sourceFolder")).toObject();
    const QJsonValue available = source.value(QLatin1String("available"));
    const QString sourcePath = source.value(QLatin1String("path")).toString();
    const QString why = source.value(QLatin1String("state")).toString();
    QString availability = QStringLiteral("not checked yet");
    if (available.isBool() && available.toBool()) availability = QStringLiteral("available");
    if (available.isBool() && !available.toBool()) {
        availability = why.isEmpty() ? QStringLiteral("not available") : QStringLiteral("not available: %1").arg(why);
    }
    lines += QStringLiteral("Source folder:  %1 (%2)")
                 .arg(sourcePath.isEmpty() ? QStringLiteral("not set") : sourcePath, availability);
    const QString note = source.value(QLatin1String("note")).toString();
    if (!note.isEmpty()) lines += QStringLiteral("                ") + note;
    const QJsonObject newest = status.value(QLatin1String("lastNewItem")).toObject();
    lines += newest.isEmpty() ? QStringLiteral("Last new item:  none yet")
                              : QStringLiteral("Last new item:  %1 (arrived %2, %3 ago)")
                                    .arg(newest.value(QLatin1String("path")).toString(),
                                         localTime(newest.value(QLatin1String("arrivedAt")).toString()),
                                         seconds(newest.value(QLatin1String("secondsAgo"))));
    lines += QStringLiteral("Items played:   %1").arg(status.value(QLatin1String("itemsPlayed")).toInteger());
    lines += QStringLiteral("Failures:       %1").arg(status.value(QLatin1String("itemFailures")).toInteger());
    const QJsonObject copies = status.value(QLatin1String("localCopies")).toObject();
    if (copies.value(QLatin1String("enabled")).toBool()) {
        const auto megabytes = [&copies](const char* key) {
            return QString::number(copies.value(QLatin1String(key)).toDouble() / (1024.0 * 1024.0), 'f', 0);
        };
        const QJsonValue listingAge = copies.value(QLatin1String("secondsSinceListingAnswered"));
        lines += QStringLiteral("Local copies:   %1 (%2 MiB of %3 MiB), %4 made, %5 failed, %6 dropped")
                     .arg(QString::number(copies.value(QLatin1String("count")).toInteger()), megabytes("bytes"),
                          megabytes("limitBytes"), QString::number(copies.value(QLatin1String("made")).toInteger()),
                          QString::number(copies.value(QLatin1String("failed")).toInteger()),
                          QString::number(copies.value(QLatin1String("dropped")).toInteger()));
        lines += QStringLiteral("Playing from:   %1 (last listing %2)")
                     .arg(copies.value(QLatin1String("playingFrom")).toString() == QLatin1String("copies")
                              ? QStringLiteral("local copies: the source folder does not answer")
                              : QStringLiteral("the source folder"),
                          listingAge.isDouble() ? seconds(listingAge) + QStringLiteral(" ago") : QStringLiteral("none yet"));
    } else {
        lines += QStringLiteral("Local copies:   off");
    }
    const QJsonValue frame = status.value(QLatin1String("secondsSinceLastFrame"));
    lines += frame.isDouble() ? QStringLiteral("Last frame:     %1 s ago").arg(frame.toDouble(), 0, 'f', 1)
                              : QStringLiteral("Last frame:     none yet");
    lines += QStringLiteral("Log:            %1 (%2 bytes)")
                 .arg(string("logPath"), QString::number(status.value(QLatin1String("logBytes")).toInteger()));
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
