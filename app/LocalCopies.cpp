#include "app/LocalCopies.h"

#include "app/Settings.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QString kIndexName = QStringLiteral("copies.json");
const QString kListingName = QStringLiteral("listing.json");
const QString kPartialPrefix = QStringLiteral(".partial-");
const QString kFolderProblem = QStringLiteral("cannot write in the folder of copies: ");
// Room kept within the limit for the index to grow by a few copies before it is written.
constexpr qint64 kMetadataSlack = 16 * 1024;
// The index and the kept listing are never read past this (a file that long is not ours).
constexpr qint64 kMetadataReadLimit = 64LL * 1024 * 1024;
// A copy that failed, or found no room, is tried again after this long.
constexpr auto kRetryFailedAfter = std::chrono::minutes(10);
// The copier reads and writes this much at a time, and starts writing back after this much.
constexpr size_t kChunk = 1024 * 1024;
constexpr qint64 kWriteBackEvery = 32LL * 1024 * 1024;

QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

qint64 nanosecondsOf(const struct timespec& t) { return qint64(t.tv_sec) * 1000000000LL + t.tv_nsec; }

// The checksum as the index keeps it: 16 hex digits (a JSON number would lose its low bits).
QString checksumText(quint64 sum) { return QStringLiteral("%1").arg(sum, 16, 16, QLatin1Char('0')); }
std::optional<quint64> checksumFrom(const QJsonValue& value) {
    bool ok = false;
    const quint64 sum = value.toString().toULongLong(&ok, 16);
    if (!ok || value.toString().size() != 16) return std::nullopt;
    return sum;
}

// Waits until `copied` bytes are due at `bytesPerSecond` since `started`, in short naps; false
// when `stop` said so meanwhile.
bool keepToRate(std::chrono::steady_clock::time_point started, qint64 copied, qint64 bytesPerSecond,
                const std::function<bool()>& stop) {
    if (bytesPerSecond <= 0) return true;
    const auto due = started + std::chrono::microseconds(copied * 1000000 / bytesPerSecond);
    while (std::chrono::steady_clock::now() < due) {
        if (stop && stop()) return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            due - std::chrono::steady_clock::now(), std::chrono::milliseconds(100)));
    }
    return true;
}

}  // namespace

// The copier yields the disks to everyone else: idle I/O class and a low CPU priority, for its
// own thread only. glibc has no wrapper for ioprio_set.
void LocalCopies::lowerCopierPriority() {
    constexpr int kIoprioClassShift = 13;
    constexpr int kIoprioClassIdle = 3;
    constexpr int kIoprioWhoProcess = 1;
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    syscall(SYS_ioprio_set, kIoprioWhoProcess, tid, kIoprioClassIdle << kIoprioClassShift);
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 10);
}

namespace {

bool isCopyName(const QString& name) {
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    const QString stem = dot < 0 ? name : name.left(dot);
    if (stem.size() != 40) return false;
    return std::all_of(stem.cbegin(), stem.cend(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
    });
}

// Writes all of it, through interruptions; false on an error (errno says which).
bool writeAll(int fd, const char* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t n = ::write(fd, data, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

void syncFolder(const QString& folder) {
    const int fd = open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

std::optional<qint64> freeBytesOf(const QString& folder) {
    struct statvfs fs {};
    if (statvfs(QFile::encodeName(folder).constData(), &fs) != 0) return std::nullopt;
    return static_cast<qint64>(fs.f_bavail) * static_cast<qint64>(fs.f_frsize);
}

qint64 secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(LocalCopies::WallClock::now().time_since_epoch()).count();
}

}  // namespace

// ---- Settings

QString LocalCopies::defaultFolder() {
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty() || !QDir::isAbsolutePath(cache)) cache = QDir::homePath() + QStringLiteral("/.cache");
    return Path::standardize(cache + QStringLiteral("/Vorn/VornPlayer"));
}

LocalCopies::Config LocalCopies::configFromSettings() {
    Config config;
    const QVariant maxBytes = Settings::object(Setting::LocalCopiesMaxBytes);
    if (maxBytes.isValid() && Settings::integer(Setting::LocalCopiesMaxBytes) == 0) return config;  // off
    if (maxBytes.isValid() && Settings::integer(Setting::LocalCopiesMaxBytes) > 0) {
        config.maxBytes = Settings::integer(Setting::LocalCopiesMaxBytes);
    }
    const QString folder = Settings::string(Setting::LocalCopiesFolder).trimmed();
    config.folder = folder.isEmpty() ? defaultFolder() : Path::standardize(folder);
    const QVariant rate = Settings::object(Setting::LocalCopiesBytesPerSecond);
    config.bytesPerSecond = rate.isValid() ? std::max<qint64>(0, Settings::integer(Setting::LocalCopiesBytesPerSecond))
                                           : kDefaultBytesPerSecond;
    return config;
}

// ---- Making and stopping

std::shared_ptr<LocalCopies> LocalCopies::create(Config config) {
    std::shared_ptr<LocalCopies> copies(new LocalCopies(std::move(config)));
    if (copies->enabled_) {
        // The thread holds the copies while it runs: should it be stuck in a read on a share that
        // hangs, it is left behind at the end rather than waited for.
        std::thread([copies] { copies->copierLoop(); }).detach();
        // The scrub has a thread of its own, so that it goes on while the copier waits for a share
        // that hangs; it reads local files only, and ends within one nap after stop().
        std::thread([copies] { copies->scrubLoop(); }).detach();
    }
    return copies;
}

LocalCopies::LocalCopies(Config config) : config_(std::move(config)), enabled_(!config_.folder.isEmpty()) {
    // The folder is made with the first copy or listing: a player with nothing to play makes none.
    if (enabled_) load();
}

LocalCopies::~LocalCopies() = default;

void LocalCopies::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
}

QString LocalCopies::folderPath(const QString& name) const { return config_.folder + QLatin1Char('/') + name; }

QString LocalCopies::copyPathFor(const QString& sourcePath) const {
    const QByteArray hash = QCryptographicHash::hash(Path::standardize(sourcePath).toUtf8(), QCryptographicHash::Sha1);
    const QString suffix = QFileInfo(sourcePath).suffix().toLower();
    const QString name = QString::fromLatin1(hash.toHex()) + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
    return folderPath(name);
}

// ---- The index and the kept listing

void LocalCopies::load() {
    std::lock_guard<std::mutex> lock(mutex_);
    const QJsonObject index = QJsonDocument::fromJson(readFile(folderPath(kIndexName))).object();
    for (const QJsonValue& value : index.value(QLatin1String("copies")).toArray()) {
        const QJsonObject o = value.toObject();
        const QString source = o.value(QLatin1String("source")).toString();
        Entry entry;
        entry.name = o.value(QLatin1String("name")).toString();
        entry.size = o.value(QLatin1String("size")).toInteger();
        entry.modifiedNs = o.value(QLatin1String("modifiedNs")).toInteger();
        entry.boxesWhole = o.value(QLatin1String("boxesWhole")).toBool();
        entry.lastPlayed = o.value(QLatin1String("lastPlayed")).toInteger();
        if (source.isEmpty() || !isCopyName(entry.name)) continue;
        // An index written before copies had checksums: such a copy is read whole, and its
        // checksum taken, before it plays and by the scrub.
        entry.checksum = checksumFrom(o.value(QLatin1String("xxh3")));
        entry.checkedChangeNs = entry.checksum ? o.value(QLatin1String("checkedChangeNs")).toInteger(-1) : -1;
        entry.serial = ++serials_;
        const QFileInfo file(folderPath(entry.name));
        if (file.isFile() && file.size() == entry.size) entries_.insert(source, entry);
    }
    // What the index does not name is a copy cut short or forgotten: only files of our own naming go.
    const QStringList names = QDir(config_.folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    QStringList known;
    for (const Entry& entry : std::as_const(entries_)) known += entry.name;
    for (const QString& name : names) {
        const bool partial = name.startsWith(kPartialPrefix) && isCopyName(name.mid(kPartialPrefix.size()));
        if (partial || (isCopyName(name) && !known.contains(name))) QFile::remove(folderPath(name));
    }
    listingBytes_ = QFileInfo(folderPath(kListingName)).size();
    indexBytes_ = QFileInfo(folderPath(kIndexName)).size();
    metadataBytes_ = indexBytes_ + listingBytes_;
    const QJsonObject listing = QJsonDocument::fromJson(readFile(folderPath(kListingName))).object();
    QStringList complete;
    for (const QJsonValue& value : listing.value(QLatin1String("complete")).toArray()) complete += value.toString();
    listing_ = PlayQueueState::Found(complete, listing.value(QLatin1String("newestEverComplete")).toString());
    listingAnsweredAt_ = QDateTime::fromString(listing.value(QLatin1String("answeredAt")).toString(), Qt::ISODateWithMs);
    if (QFileInfo(config_.folder).isDir()) saveIndexLocked();
}

bool LocalCopies::makeFolderLocked() const {
    if (QFileInfo(config_.folder).isDir()) return true;
    if (!QDir().mkpath(config_.folder)) return false;
    QFile::setPermissions(config_.folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return true;
}

QByteArray LocalCopies::readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    // Whole, up to a length no index of ours reaches: one cut short no longer parses.
    return file.read(kMetadataReadLimit);
}

void LocalCopies::saveIndexLocked() const {
    QJsonArray copies;
    for (auto it = entries_.cbegin(); it != entries_.cend(); ++it) {
        QJsonObject entry{{QLatin1String("source"), it.key()},
                          {QLatin1String("name"), it->name},
                          {QLatin1String("size"), it->size},
                          {QLatin1String("modifiedNs"), it->modifiedNs},
                          {QLatin1String("boxesWhole"), it->boxesWhole},
                          {QLatin1String("lastPlayed"), it->lastPlayed}};
        if (it->checksum) {
            entry.insert(QLatin1String("xxh3"), checksumText(*it->checksum));
            entry.insert(QLatin1String("checkedChangeNs"), it->checkedChangeNs);
        }
        copies.append(entry);
    }
    QSaveFile file(folderPath(kIndexName));
    if (!file.open(QIODevice::WriteOnly)) return;
    const QByteArray bytes = QJsonDocument(QJsonObject{{QLatin1String("copies"), copies}}).toJson(QJsonDocument::Compact);
    file.write(bytes);
    if (file.commit()) indexBytes_ = bytes.size();
    metadataBytes_ = indexBytes_ + listingBytes_;
    indexDirty_ = false;
}

void LocalCopies::saveListingLocked() const {
    QJsonArray complete;
    for (const QString& path : listing_.complete) complete.append(path);
    QSaveFile file(folderPath(kListingName));
    if (!file.open(QIODevice::WriteOnly)) return;
    const QByteArray bytes =
        QJsonDocument(QJsonObject{{QLatin1String("answeredAt"), listingAnsweredAt_.toString(Qt::ISODateWithMs)},
                                  {QLatin1String("complete"), complete},
                                  {QLatin1String("newestEverComplete"), listing_.newestEverComplete}})
            .toJson(QJsonDocument::Compact);
    // A listing larger than the whole limit is kept in memory only.
    if (bytes.size() + indexBytes_ + kMetadataSlack > limitLocked()) return;
    file.write(bytes);
    if (file.commit()) listingBytes_ = bytes.size();
    metadataBytes_ = indexBytes_ + listingBytes_;
}

void LocalCopies::listingAnswered(const PlayQueueState::Found& found) {
    if (!enabled_ || found.complete.isEmpty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const QDateTime now = QDateTime::currentDateTime();
    // Written when it changes, and its time once a minute: a decision every second writes nothing.
    const bool same = found.complete == listing_.complete && found.newestEverComplete == listing_.newestEverComplete;
    const bool recent = listingSavedAt_.isValid() && listingSavedAt_.secsTo(now) < 60;
    listingAnsweredAt_ = now;
    if (same && recent) return;
    listing_ = found;
    listingSavedAt_ = now;
    if (!makeFolderLocked()) return;
    saveListingLocked();
    makeRoomLocked(0, QString());  // a longer listing may leave less room for the copies
}

PlayQueueState::Found LocalCopies::keptListing() {
    if (!enabled_) return {};
    QStringList passedOver;
    PlayQueueState::Found kept;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The whole listing, so that the cycle keeps every file for when the share answers again;
        // the queue passes over the files without a copy meanwhile.
        bool anyCopy = false;
        for (const QString& path : listing_.complete) {
            if (entries_.contains(path)) {
                anyCopy = true;
            } else if (!passedOverSaid_.contains(path)) {
                passedOverSaid_ += path;
                passedOver += path;
            }
        }
        if (anyCopy) kept = listing_;
    }
    for (const QString& path : passedOver) {
        KORVAL_Log::debug(fmt("No local copy of %@: passed over while the source folder does not answer", path));
    }
    return kept;
}

void LocalCopies::setPlayingFromCopies(bool fromCopies) {
    QDateTime answeredAt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fromCopies == playingFromCopies_) return;
        playingFromCopies_ = fromCopies;
        if (!fromCopies) passedOverSaid_.clear();
        answeredAt = listingAnsweredAt_;
    }
    if (fromCopies) {
        KORVAL_Log::debug(fmt("Playing from local copies: the source folder does not answer; its last listing answered at %@",
                              answeredAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
        KORVAL_Log::warnOperator(QStringLiteral("The source folder does not answer: playing from local copies"));
    } else {
        KORVAL_Log::debug(QStringLiteral("Playing from the source folder again"));
        KORVAL_Log::warnOperator(QStringLiteral("The source folder answers again: playing from it, no longer from local copies"));
    }
}

// ---- Copies to play

bool LocalCopies::hasCopy(const QString& sourcePath) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.contains(sourcePath);
}

std::optional<QString> LocalCopies::copyToPlay(const QString& sourcePath,
                                               const std::optional<MediaFiles::Stamp>& sourceNow) {
    if (!enabled_) return std::nullopt;
    Entry entry;
    Depth depth = Depth::WholeIfWritten;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = entries_.constFind(sourcePath);
        if (it == entries_.constEnd()) return std::nullopt;
        // While the share does not answer the copy's bytes are all there is to trust: they are
        // read whole and matched against their checksum.
        if (playingFromCopies_) depth = Depth::Whole;
        if (sourceNow && (!sourceNow->exists || sourceNow->size != it->size || sourceNow->modifiedNs != it->modifiedNs)) {
            dropLocked(sourcePath, sourceNow->exists ? QStringLiteral("its source changed") : QStringLiteral("its source is gone"));
            changed_.notify_all();  // made again, if it is still wanted
            return std::nullopt;
        }
        entry = *it;
    }
    if (!checkCopy(sourcePath, entry, depth)) return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(sourcePath);
    if (it == entries_.end() || it->serial != entry.serial) return std::nullopt;
    it->lastPlayed = secondsNow();
    indexDirty_ = true;
    changed_.notify_all();  // the copier writes the index down
    return folderPath(entry.name);
}

void LocalCopies::dropOutdated(const QHash<QString, MediaFiles::Stamp>& sources) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    bool dropped = false;
    for (auto it = sources.cbegin(); it != sources.cend(); ++it) {
        const auto entry = entries_.constFind(it.key());
        if (entry == entries_.constEnd()) continue;
        if (it->exists && it->size == entry->size && it->modifiedNs == entry->modifiedNs) continue;
        dropLocked(it.key(), it->exists ? QStringLiteral("its source changed") : QStringLiteral("its source is gone"));
        dropped = true;
    }
    if (dropped) changed_.notify_all();  // made again, if it is still wanted
}

bool LocalCopies::hasPlayableCopy(const QString& sourcePath) {
    Entry entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = entries_.constFind(sourcePath);
        if (it == entries_.constEnd()) return false;
        entry = *it;
    }
    return checkCopy(sourcePath, entry, Depth::WholeIfWritten);
}

void LocalCopies::dropFailedCopy(const QString& sourcePath) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!entries_.contains(sourcePath)) return;
    dropLocked(sourcePath, QStringLiteral("the player could not play it"));
    changed_.notify_all();  // made again, if it is still wanted and the share answers
}

// Checked before every play: a copy cut short or damaged on disk is never played. Any write to
// the copy moves its change time, even one that puts its size and modification time back.
LocalCopies::Checked LocalCopies::check(const Entry& entry, Depth depth, qint64 bytesPerSecond) const {
    Checked checked;
    const QString path = folderPath(entry.name);
    struct stat st {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0) {
        checked.damage = errno == ENOENT ? QStringLiteral("it is gone") : QStringLiteral("it cannot be looked at");
        return checked;
    }
    checked.changeNs = nanosecondsOf(st.st_ctim);
    if (st.st_size != entry.size || nanosecondsOf(st.st_mtim) != entry.modifiedNs) {
        checked.damage = QStringLiteral("its size or time changed");
        return checked;
    }
    if (entry.boxesWhole && MediaFiles::isoMediaCompleteness(path) != MediaFiles::Completeness::Complete) {
        checked.damage = QStringLiteral("its boxes are not whole");
        return checked;
    }
    const bool written = !entry.checksum || entry.checkedChangeNs != checked.changeNs;
    if (depth == Depth::WholeIfWritten && !written) return checked;
    const std::optional<quint64> sum = checksumOf(path, bytesPerSecond, [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    });
    if (!sum) {
        checked.damage = QStringLiteral("it cannot be read whole");
        return checked;
    }
    checked.readWhole = true;
    checked.checksum = *sum;
    if (entry.checksum && *sum != *entry.checksum) checked.damage = QStringLiteral("its bytes are not those copied");
    return checked;
}

bool LocalCopies::checkCopy(const QString& sourcePath, const Entry& entry, Depth depth, bool byScrub) {
    const Checked checked = check(entry, depth, byScrub ? config_.scrubBytesPerSecond : 0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;  // a read cut short by the quit tells nothing
    // Only the copy that was checked: one made again meanwhile under the same name is another.
    const auto it = entries_.find(sourcePath);
    if (it == entries_.end() || it->serial != entry.serial) return false;
    if (!checked.damage.isEmpty()) {
        dropLocked(sourcePath, QStringLiteral("damaged (%1)").arg(checked.damage));
        changed_.notify_all();  // made again, if it is still wanted and the share answers
        return false;
    }
    if (checked.readWhole) {
        const bool changed = !it->checksum || it->checkedChangeNs != checked.changeNs;
        it->checksum = checked.checksum;
        it->checkedChangeNs = checked.changeNs;
        if (changed) saveIndexLocked();
        if (byScrub) {
            it->scrubbedAt = std::chrono::steady_clock::now();
            ++scrubbed_;
        }
    }
    return true;
}

std::optional<quint64> LocalCopies::checksumOf(const QString& path, qint64 bytesPerSecond,
                                               const std::function<bool()>& stop) {
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    std::vector<char> buffer(kChunk);
    const auto started = std::chrono::steady_clock::now();
    qint64 read = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (n == 0) {
            // A read at a bounded rate is the scrub's: it leaves the page cache to the player.
            if (bytesPerSecond > 0) posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            close(fd);
            return XXH3_64bits_digest(&state);
        }
        XXH3_64bits_update(&state, buffer.data(), static_cast<size_t>(n));
        read += n;
        if ((stop && stop()) || !keepToRate(started, read, bytesPerSecond, stop)) break;
    }
    close(fd);
    return std::nullopt;
}

// ---- The scrub

std::optional<std::pair<QString, LocalCopies::Entry>> LocalCopies::nextToScrubLocked(
    std::chrono::steady_clock::time_point now) const {
    std::optional<std::pair<QString, Entry>> next;
    for (auto it = entries_.cbegin(); it != entries_.cend(); ++it) {
        const bool never = it->scrubbedAt == std::chrono::steady_clock::time_point{};
        if (!never && now - it->scrubbedAt < config_.scrubEvery) continue;
        const auto rank = [](const Entry& e) { return std::make_pair(e.checksum.has_value(), e.scrubbedAt); };
        if (!next || rank(*it) < rank(next->second)) next = std::make_pair(it.key(), *it);
    }
    return next;
}

void LocalCopies::scrubLoop() {
    lowerCopierPriority();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_) return;
        const auto now = std::chrono::steady_clock::now();
        const std::optional<std::pair<QString, Entry>> next = nextToScrubLocked(now);
        if (!next) {
            // Until the copy read longest ago is due again; new copies wake it (and are not due).
            auto wake = now + std::chrono::minutes(10);
            for (const Entry& entry : std::as_const(entries_)) {
                wake = std::min(wake, entry.scrubbedAt + config_.scrubEvery);
            }
            changed_.wait_until(lock, wake);
            continue;
        }
        lock.unlock();
        checkCopy(next->first, next->second, Depth::Whole, true);
        lock.lock();
    }
}

void LocalCopies::dropLocked(const QString& source, const QString& why) {
    const auto it = entries_.find(source);
    if (it == entries_.end()) return;
    QFile::remove(folderPath(it->name));
    entries_.erase(it);
    ++dropped_;
    saveIndexLocked();
    KORVAL_Log::debug(fmt("Local copy of %@ dropped, not played: %@", source, why));
}

// ---- Room

qint64 LocalCopies::bytesLocked() const {
    // The index and the kept listing count as they are on disk, with room for the index to grow.
    qint64 bytes = metadataBytes_ + kMetadataSlack;
    for (const Entry& entry : entries_) bytes += entry.size;
    return bytes;
}

qint64 LocalCopies::limitLocked() const {
    if (config_.maxBytes) return *config_.maxBytes;
    // A tenth of the free space there would be without the copies, so that the limit stays put
    // as they fill it.
    const qint64 free = freeBytesOf(config_.folder).value_or(0) + bytesLocked();
    return std::min(kDefaultMaxBytes, free / 10);
}

bool LocalCopies::makeRoomLocked(qint64 bytes, const QString& forSource) {
    const qint64 limit = limitLocked();
    const bool trimming = forSource.isNull();  // only down to the limit; any copy may go
    const qint64 free = trimming ? 0 : freeBytesOf(config_.folder).value_or(-1);
    if (!trimming && free < 0) return false;
    const auto fitsAfterFreeing = [&](qint64 freed) {
        if (trimming) return bytesLocked() - freed <= limit;
        return bytesLocked() - freed + bytes <= limit && free + freed - bytes >= kKeepFreeBytes;
    };
    if (fitsAfterFreeing(0)) return true;
    const qsizetype rank = trimming ? wanted_.size() : wanted_.indexOf(forSource);
    if (rank < 0) return false;  // nobody wants it any more
    // The two copies opened last: the one playing and the next one.
    QList<std::pair<qint64, QString>> opened;
    for (auto it = entries_.cbegin(); it != entries_.cend(); ++it) {
        if (it->lastPlayed > 0) opened.append({it->lastPlayed, it.key()});
    }
    std::sort(opened.begin(), opened.end(), std::greater<>());
    QSet<QString> inUse;
    for (qsizetype i = 0; i < std::min<qsizetype>(2, opened.size()); ++i) inUse.insert(opened[i].second);

    // The copies that may go, in the order they go: not of the repeat list first, then the least
    // recently played, then the least wanted. A copy wanted before this file never goes for it.
    struct Candidate {
        QString source;
        bool kept;
        qint64 lastPlayed;
        qsizetype order;
        qint64 size;
    };
    QList<Candidate> candidates;
    for (auto it = entries_.cbegin(); it != entries_.cend(); ++it) {
        if (it.key() == forSource) continue;
        const qsizetype itsRank = wanted_.indexOf(it.key());
        if (!trimming && itsRank >= 0 && itsRank < rank) continue;
        // The copy playing now, and the one handed to the player for the next item, stay.
        if (!trimming && inUse.contains(it.key())) continue;
        candidates.append({it.key(), keep_.contains(it.key()), it->lastPlayed, itsRank < 0 ? wanted_.size() : itsRank, it->size});
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.kept != b.kept) return !a.kept;
        if (a.lastPlayed != b.lastPlayed) return a.lastPlayed < b.lastPlayed;
        return a.order > b.order;
    });
    // Nothing goes unless enough can go: a file that cannot get room costs no copy.
    qint64 freed = 0;
    qsizetype going = 0;
    while (going < candidates.size() && !fitsAfterFreeing(freed)) freed += candidates[going++].size;
    if (!fitsAfterFreeing(freed)) return false;
    for (qsizetype i = 0; i < going; ++i) {
        const Candidate& victim = candidates[i];
        if (victim.kept) {
            KORVAL_Log::debug(fmt("Local copies are full: the copy of %@ of the repeat list goes to make room for %@",
                                  victim.source, trimming ? QStringLiteral("the limit") : forSource));
        }
        QFile::remove(folderPath(entries_.value(victim.source).name));
        entries_.remove(victim.source);
    }
    saveIndexLocked();
    return true;
}

// ---- The copier

void LocalCopies::want(const QStringList& paths, const QStringList& keep) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    QStringList wanted;
    for (const QString& path : paths + keep) {
        if (!path.isEmpty() && !wanted.contains(path)) wanted += path;
    }
    if (wanted == wanted_ && keep == keep_ && notThere_.isEmpty()) return;
    notThere_.clear();
    wanted_ = wanted;
    keep_ = keep;
    changed_.notify_all();
}

std::optional<QString> LocalCopies::nextToCopyLocked() const {
    const auto now = std::chrono::steady_clock::now();
    for (const QString& path : wanted_) {
        if (entries_.contains(path) || notThere_.contains(path)) continue;
        const auto failed = failedAt_.constFind(path);
        if (failed != failedAt_.constEnd() && now - *failed < kRetryFailedAfter) continue;
        return path;
    }
    return std::nullopt;
}

void LocalCopies::copierLoop() {
    lowerCopierPriority();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_) return;
        makeRoomLocked(0, QString());  // a limit lowered since the copies were made
        if (indexDirty_) saveIndexLocked();
        const std::optional<QString> next = nextToCopyLocked();
        if (!next) {
            busy_ = false;
            idle_.notify_all();
            // Woken by new wishes; failures are tried again now and then.
            changed_.wait_for(lock, std::chrono::seconds(30));
            continue;
        }
        busy_ = true;
        lock.unlock();
        copyOne(*next);
        lock.lock();
    }
}

void LocalCopies::copyOne(const QString& source) {
    const auto failed = [this, &source](const QString& why) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;  // cut short by the quit: nothing failed, and the log may be closing
            failedAt_.insert(source, std::chrono::steady_clock::now());
            ++failed_;
        }
        // A folder that cannot be written is one line now and then, not one a file.
        if (why.startsWith(kFolderProblem)) {
            folderNotice_.note([this, why] { KORVAL_Log::debug(fmt("Local copies: %@ (%@)", why, config_.folder)); });
            return;
        }
        KORVAL_Log::debug(fmt("Local copy of %@ not made: %@", source, why));
    };
    const std::optional<MediaFiles::Stamp> stamp = MediaFiles::stampOf(source);  // may wait for the share
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
    }
    if (!stamp || !stamp->exists) {
        std::lock_guard<std::mutex> lock(mutex_);
        notThere_.insert(source);  // nothing to say; looked for again at the next wishes
        return;
    }
    const QString target = copyPathFor(source);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!makeFolderLocked()) {
            failedAt_.insert(source, std::chrono::steady_clock::now());
            ++failed_;
            folderNotice_.note([this] {
                KORVAL_Log::debug(fmt("Local copies: cannot make the folder %@: playing from the source folder only", config_.folder));
            });
            return;
        }
        if (!makeRoomLocked(stamp->size, source)) {
            failedAt_.insert(source, std::chrono::steady_clock::now());
            ++failed_;
            roomNotice_.noteChange(source, [this, &source, &stamp] {
                KORVAL_Log::debug(fmt("Local copies: no room for %@ (%li bytes, limit %li bytes)", source,
                                      static_cast<long long>(stamp->size), static_cast<long long>(limitLocked())));
            });
            return;
        }
    }
    const Copied copied = copyFile(source, target, *stamp, config_.bytesPerSecond, [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    });
    if (!copied.why.isEmpty()) {
        failed(copied.why);
        return;
    }
    const bool boxesWhole = MediaFiles::isIsoMediaName(source) &&
                            MediaFiles::isoMediaCompleteness(target) == MediaFiles::Completeness::Complete;
    struct stat made {};
    const qint64 changeNs = stat(QFile::encodeName(target).constData(), &made) == 0 ? nanosecondsOf(made.st_ctim) : -1;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;  // the copy stays on disk unnamed, and goes at the next start
    Entry entry;
    entry.name = QFileInfo(target).fileName();
    entry.size = stamp->size;
    entry.modifiedNs = stamp->modifiedNs;
    entry.boxesWhole = boxesWhole;
    // Its bytes were read as they were written: the scrub comes back to it in its time.
    entry.checksum = copied.checksum;
    entry.checkedChangeNs = changeNs;
    entry.serial = ++serials_;
    entry.scrubbedAt = std::chrono::steady_clock::now();
    entries_.insert(source, entry);
    failedAt_.remove(source);
    ++made_;
    saveIndexLocked();
    changed_.notify_all();  // the scrub counts it in
}

LocalCopies::Copied LocalCopies::copyFile(const QString& from, const QString& to, const MediaFiles::Stamp& expected,
                                          qint64 bytesPerSecond, const std::function<bool()>& stop) {
    const QString partial = QFileInfo(to).absolutePath() + QLatin1Char('/') + kPartialPrefix + QFileInfo(to).fileName();
    const int in = open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return {QStringLiteral("cannot open it: ") + errorText(errno)};
    const int out = open(QFile::encodeName(partial).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        const int error = errno;
        close(in);
        return {kFolderProblem + errorText(error)};
    }
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    const auto fail = [&](const QString& why) {
        close(in);
        close(out);
        QFile::remove(partial);
        return Copied{why};
    };
    // The checksum of the bytes as they go out: no read of its own.
    XXH3_state_t checksum;
    XXH3_64bits_reset(&checksum);
    std::vector<char> buffer(kChunk);
    const auto started = std::chrono::steady_clock::now();
    qint64 copied = 0;
    qint64 writtenBack = 0;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(QStringLiteral("reading it failed: ") + errorText(errno));
        if (n == 0) break;
        if (!writeAll(out, buffer.data(), static_cast<size_t>(n))) {
            return fail(QStringLiteral("writing the copy failed: ") + errorText(errno));
        }
        XXH3_64bits_update(&checksum, buffer.data(), static_cast<size_t>(n));
        copied += n;
        if (copied > expected.size) return fail(QStringLiteral("it grew while it was copied"));
        if (copied - writtenBack >= kWriteBackEvery) {
            // Written back as it goes, and out of the page cache: a long copy neither ends in one
            // long flush nor pushes the player's pages out.
            sync_file_range(out, writtenBack, copied - writtenBack, SYNC_FILE_RANGE_WRITE);
            posix_fadvise(in, 0, copied, POSIX_FADV_DONTNEED);
            writtenBack = copied;
        }
        if ((stop && stop()) || !keepToRate(started, copied, bytesPerSecond, stop)) {
            return fail(QStringLiteral("the player is quitting"));
        }
    }
    if (copied != expected.size) return fail(QStringLiteral("it changed while it was copied"));
    if (fdatasync(out) != 0) return fail(QStringLiteral("syncing the copy failed: ") + errorText(errno));
    struct stat now {};
    if (fstat(in, &now) != 0 || now.st_size != expected.size || nanosecondsOf(now.st_mtim) != expected.modifiedNs) {
        return fail(QStringLiteral("it changed while it was copied"));
    }
    const struct timespec times[2] = {{0, UTIME_NOW},
                                      {static_cast<time_t>(expected.modifiedNs / 1000000000LL),
                                       static_cast<long>(expected.modifiedNs % 1000000000LL)}};
    if (futimens(out, times) != 0) return fail(QStringLiteral("setting the copy's time failed: ") + errorText(errno));
    posix_fadvise(out, 0, 0, POSIX_FADV_DONTNEED);
    close(in);
    if (close(out) != 0) {
        QFile::remove(partial);
        return {QStringLiteral("writing the copy failed: ") + errorText(errno)};
    }
    if (MediaFiles::isIsoMediaName(from) &&
        MediaFiles::isoMediaCompleteness(partial) == MediaFiles::Completeness::Incomplete) {
        QFile::remove(partial);
        return {QStringLiteral("its boxes are not whole")};
    }
    if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(to).constData()) != 0) {
        const int error = errno;
        QFile::remove(partial);
        return {QStringLiteral("renaming the copy failed: ") + errorText(error)};
    }
    syncFolder(QFileInfo(to).absolutePath());
    return {QString(), XXH3_64bits_digest(&checksum)};
}

// ---- What it says

LocalCopies::Stats LocalCopies::stats() const {
    Stats s;
    s.enabled = enabled_;
    if (!enabled_) return s;
    s.freeBytes = freeBytesOf(config_.folder).value_or(-1);
    std::lock_guard<std::mutex> lock(mutex_);
    s.count = entries_.size();
    s.bytes = bytesLocked() - kMetadataSlack;  // the copies, the index and the kept listing
    s.limitBytes = limitLocked();
    s.made = made_;
    s.failed = failed_;
    s.dropped = dropped_;
    s.scrubbed = scrubbed_;
    s.playingFromCopies = playingFromCopies_;
    s.listingAnsweredAt = listingAnsweredAt_;
    return s;
}

bool LocalCopies::waitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] { return stopping_ || (!busy_ && !nextToCopyLocked()); });
}
