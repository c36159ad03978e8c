#include "platform/core/LocalTimeZone.h"

#include <QByteArray>
#include <QFile>

#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr auto kLookEvery = std::chrono::seconds(1);
const char* const kLocalTime = "/etc/localtime";
const char* const kTimeZoneName = "/etc/timezone";

// What says which zone is local: TZ, and the zone files with their times.
struct Sources {
    QByteArray tz;
    QByteArray link;
    qint64 localTimeNs = 0;
    qint64 nameNs = 0;
    bool operator!=(const Sources& o) const {
        return tz != o.tz || link != o.link || localTimeNs != o.localTimeNs || nameNs != o.nameNs;
    }
};

qint64 modifiedNs(const char* path, bool follow) {
    struct stat st {};
    if ((follow ? stat(path, &st) : lstat(path, &st)) != 0) return 0;
    return static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

Sources lookAtSources() {
    Sources s;
    s.tz = qgetenv("TZ");
    char target[4096];
    const ssize_t n = readlink(kLocalTime, target, sizeof target - 1);
    if (n > 0) s.link = QByteArray(target, static_cast<int>(n));
    s.localTimeNs = modifiedNs(kLocalTime, true) ^ modifiedNs(kLocalTime, false);
    s.nameNs = modifiedNs(kTimeZoneName, true);
    return s;
}

// The zone's Olson name: from TZ, else the name /etc/localtime links to, else /etc/timezone. ICU
// reads the link only once per process, so it cannot be asked again.
QByteArray zoneName(const Sources& s) {
    QByteArray tz = s.tz;
    if (tz.startsWith(':')) tz.remove(0, 1);
    const qsizetype zoneinfo = tz.indexOf("zoneinfo/");
    if (zoneinfo >= 0) tz = tz.mid(zoneinfo + 9);
    if (!tz.isEmpty()) return tz;
    const qsizetype linked = s.link.indexOf("zoneinfo/");
    if (linked >= 0) return s.link.mid(linked + 9);
    QFile name(QString::fromLatin1(kTimeZoneName));
    if (name.open(QIODevice::ReadOnly)) return name.readLine().trimmed();
    return QByteArray();
}

void adoptZone(const Sources& s) {
    tzset();
    const QByteArray name = zoneName(s);
    icu::TimeZone* zone = nullptr;
    if (!name.isEmpty()) {
        zone = icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(name.constData()));
        if (*zone == icu::TimeZone::getUnknown()) {
            delete zone;
            zone = nullptr;
        }
    }
    icu::TimeZone::adoptDefault(zone ? zone : icu::TimeZone::detectHostTimeZone());
}

struct State {
    std::mutex mutex;
    bool looked = false;
    Sources seen;
    std::chrono::steady_clock::time_point lastLook;
    unsigned generation = 0;
};

State& state() {
    static State s;
    return s;
}

}  // namespace

namespace LocalTimeZone {

unsigned generation() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto now = std::chrono::steady_clock::now();
    if (s.looked && now - s.lastLook < kLookEvery) return s.generation;
    const Sources seen = lookAtSources();
    const bool changed = s.looked && seen != s.seen;
    s.looked = true;
    s.lastLook = now;
    s.seen = seen;
    if (changed) {
        adoptZone(seen);
        ++s.generation;
    }
    return s.generation;
}

}  // namespace LocalTimeZone
