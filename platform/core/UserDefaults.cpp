#include "platform/core/UserDefaults.h"

#include "platform/core/Bundle.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/SystemLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <cerrno>
#include <climits>
#include <mutex>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t kFlushDelayMicroseconds = 200000;
constexpr qint64 kLargestSettingsFile = 1024 * 1024;

// A line that QSettings reads as it was meant: blank, a comment, a [section], or a key=value
// pair. A key=value line must not run on into the next one, as QSettings lets a quote left open
// or a backslash at the end do (what a half-written line leaves behind).
bool isReadableLine(const QByteArray& raw) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString line = decoder.decode(raw.endsWith('\r') ? raw.chopped(1) : raw);
    if (decoder.hasError()) return false;
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#'))) return true;
    if (trimmed.startsWith(QLatin1Char('['))) return trimmed.endsWith(QLatin1Char(']'));
    if (!trimmed.contains(QLatin1Char('='))) return false;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == QLatin1Char('\\')) {
            if (++i == line.size()) return false;
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (c == QLatin1Char(';') && !quoted) {
            break;
        }
    }
    return !quoted;
}

bool isBlankOrComment(const QByteArray& line) {
    const QByteArray trimmed = line.trimmed();
    return trimmed.isEmpty() || trimmed.startsWith(';') || trimmed.startsWith('#');
}

// What a settings file holds, as far as it can be read.
struct SettingsText {
    bool exists = false;
    QString unusable;         // why none of it can be used
    QByteArray readable;      // the lines that can be read, in their order
    QList<int> droppedLines;  // the numbers (from 1) of those that cannot
};

SettingsText readSettingsText(const QString& path) {
    SettingsText text;
    QFile file(path);
    if (!file.exists()) return text;
    text.exists = true;
    if (!file.open(QIODevice::ReadOnly)) {
        text.unusable = QStringLiteral("it cannot be read (%1)").arg(file.errorString());
        return text;
    }
    // No settings file of this program comes near this: such a file was not written by it, and
    // reading it whole would cost its size in memory for the whole run, and again at every save.
    if (file.size() > kLargestSettingsFile) {
        text.unusable = QStringLiteral("it is %1 bytes, far more than any settings file (at most %2)")
                            .arg(QString::number(file.size()), QString::number(kLargestSettingsFile));
        return text;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.contains('\0')) {
        text.unusable = QStringLiteral("it holds NUL bytes");
        return text;
    }
    const QList<QByteArray> lines = bytes.split('\n');
    bool anyContent = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const QByteArray body = i == 0 && line.startsWith("\xEF\xBB\xBF") ? line.mid(3) : line;
        if (!isReadableLine(body)) {
            text.droppedLines += static_cast<int>(i + 1);
            continue;
        }
        anyContent = anyContent || !isBlankOrComment(body);
        text.readable += line;
        if (i + 1 < lines.size()) text.readable += '\n';
    }
    if (!text.droppedLines.isEmpty() && !anyContent) text.unusable = QStringLiteral("none of its lines can be read");
    return text;
}

// QSettings reads and writes its INI form through files only. It is given scratch files of
// its own, so that its cache of files never answers for the settings file, which we replace.
std::optional<QVariantMap> parseIni(const QByteArray& text) {
    QTemporaryFile scratch;
    if (!scratch.open() || scratch.write(text) != text.size() || !scratch.flush()) return std::nullopt;
    QSettings settings(scratch.fileName(), QSettings::IniFormat);
    QVariantMap values;
    for (const QString& key : settings.allKeys()) values.insert(key, settings.value(key));
    return values;
}

std::optional<QByteArray> formatIni(const QVariantMap& values) {
    QTemporaryFile scratch;
    if (!scratch.open()) return std::nullopt;
    {
        QSettings settings(scratch.fileName(), QSettings::IniFormat);
        settings.clear();
        for (auto it = values.constBegin(); it != values.constEnd(); ++it) settings.setValue(it.key(), it.value());
        settings.sync();
        if (settings.status() != QSettings::NoError) return std::nullopt;
    }
    QFile written(scratch.fileName());
    if (!written.open(QIODevice::ReadOnly)) return std::nullopt;
    return written.readAll();
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// Replaces the file whole through a temporary file beside it. The temporary file reaches the
// disk before it is renamed over the old one, and the folder after, so that a power cut leaves
// the old file or the new one, never an empty one.
bool replaceFileDurably(const QString& path, const QByteArray& bytes) {
    const QByteArray target = QFile::encodeName(path);
    struct stat old {};
    const bool existed = stat(target.constData(), &old) == 0;
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = target + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = (!existed || fchmod(fd, old.st_mode & 07777) == 0) && writeAll(fd, bytes) && fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    const int folder = ::open(QFile::encodeName(Path::deletingLastPathComponent(path)).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        ::close(folder);
    }
    return true;
}

// The home folder, when the path lies in it and it does not exist; empty otherwise.
QString missingHomeAbove(const QString& path) {
    const QString home = Path::homeDirectory();
    if (home.isEmpty() || home == QLatin1String("/") || !path.startsWith(home + QLatin1Char('/'))) return QString();
    return QFileInfo(home).isDir() ? QString() : home;
}

QString asideName(const QString& path) {
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString candidate = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFileInfo::exists(candidate); ++n) {
        candidate = path + QStringLiteral(".corrupt-%1-%2").arg(stamp).arg(n);
    }
    return candidate;
}

// NSString's integerValue: leading blanks, a sign, digits; clamps on overflow.
qint64 leadingInteger(const QString& s) {
    int i = 0;
    while (i < s.size() && s.at(i).isSpace()) ++i;
    bool negative = false;
    if (i < s.size() && (s.at(i) == QLatin1Char('-') || s.at(i) == QLatin1Char('+'))) {
        negative = s.at(i) == QLatin1Char('-');
        ++i;
    }
    qint64 value = 0;
    for (; i < s.size() && s.at(i) >= QLatin1Char('0') && s.at(i) <= QLatin1Char('9'); ++i) {
        const int digit = s.at(i).unicode() - '0';
        if (value > (LLONG_MAX - digit) / 10) return negative ? LLONG_MIN : LLONG_MAX;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

// NSString's boolValue: true on a leading Y, y, T, t or a digit 1-9 after blanks, a sign
// and zeros.
bool leadingBool(const QString& s) {
    int i = 0;
    while (i < s.size() && s.at(i).isSpace()) ++i;
    if (i < s.size() && (s.at(i) == QLatin1Char('-') || s.at(i) == QLatin1Char('+'))) ++i;
    while (i < s.size() && s.at(i) == QLatin1Char('0')) ++i;
    if (i >= s.size()) return false;
    const QChar c = s.at(i);
    return c == QLatin1Char('Y') || c == QLatin1Char('y') || c == QLatin1Char('T') || c == QLatin1Char('t') ||
           (c >= QLatin1Char('1') && c <= QLatin1Char('9'));
}

bool isNumber(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Double:
        case QMetaType::Float:
            return true;
        default:
            return false;
    }
}

// Whether two values would stand the same in the file: a value read back from it may be of
// another type than the one written (a boolean reads back as the string "true").
bool sameInFile(const QVariant& a, const QVariant& b) {
    if (a.isValid() != b.isValid()) return false;
    if (a.typeId() == b.typeId()) return a == b;
    const QString key = QStringLiteral("k");
    return formatIni({{key, a}}) == formatIni({{key, b}});
}

// The values of a system-wide file, read only: lines that cannot be read are left out, and the
// file is never set aside or rewritten (it belongs to the administrator).
QVariantMap readSystemFile(const QString& path) {
    const SettingsText text = readSettingsText(path);
    if (!text.exists) return {};
    if (!text.unusable.isEmpty()) {
        systemLog(QStringLiteral("System settings file %1 is unusable: %2. Left out.").arg(path, text.unusable));
        return {};
    }
    for (const int line : text.droppedLines) {
        systemLog(QStringLiteral("System settings file %1: line %2 cannot be read and was left out.")
                      .arg(path, QString::number(line)));
    }
    return parseIni(text.readable).value_or(QVariantMap());
}

}  // namespace

struct UserDefaults::Impl : std::enable_shared_from_this<UserDefaults::Impl> {
    Impl(const QString& path, const QStringList& systemPaths) : path(path), systemPaths(systemPaths) {}

    const QString path;
    const QStringList systemPaths;  // the first one listed wins
    mutable std::mutex mutex;  // the four layers and the pending set
    QVariantMap arguments;
    QVariantMap persistent;
    QVariantMap system;
    QVariantMap registration;
    QSet<QString> dirty;
    bool flushScheduled = false;
    bool persistEnabled = true;
    bool lastWriteFailed = false;

    std::once_flag loadOnce;
    std::mutex fileMutex;  // one reader or writer of the file at a time
    std::shared_ptr<DispatchQueue> flushQueue = DispatchQueue::createSerial();

    void ensureLoaded() {
        std::call_once(loadOnce, [this] { load(); });
    }

    // The values of the file as it is now. A file that is not text at all is set aside whole; lines
    // that cannot be read are dropped, with a copy of the original kept beside it. `mayReplace`
    // is false when the file must never be overwritten (nothing of it could be kept aside);
    // `values` is none when the file could not be read at all just now. Runs under fileMutex.
    struct FileValues {
        std::optional<QVariantMap> values;
        bool mayReplace = true;
    };

    FileValues takeInFile() {
        const SettingsText text = readSettingsText(path);
        if (!text.exists) return {QVariantMap(), true};
        if (!text.unusable.isEmpty()) return {QVariantMap(), putAside(text.unusable)};
        const bool kept = text.droppedLines.isEmpty() || dropUnreadableLines(text);
        return {parseIni(text.readable), kept};
    }

    bool putAside(const QString& problem) {
        const QString aside = asideName(path);
        if (QFile::rename(path, aside)) {
            systemLog(QStringLiteral("Settings file %1 is unusable: %2. Kept it as %3; running on the factory "
                                     "defaults.")
                          .arg(path, problem, aside));
            return true;
        }
        systemLog(QStringLiteral("Settings file %1 is unusable: %2. It could not be moved aside, so settings "
                                 "changed in this run will not be saved; running on the factory defaults.")
                      .arg(path, problem));
        return false;
    }

    // Keeps a copy of the file as it was, then rewrites it with the lines that can be read.
    bool dropUnreadableLines(const SettingsText& text) {
        const QString aside = asideName(path);
        const bool copied = QFile::copy(path, aside);
        for (const int line : text.droppedLines) {
            systemLog(QStringLiteral("Settings file %1: line %2 cannot be read and was dropped; the other "
                                     "settings are kept.")
                          .arg(path, QString::number(line)));
        }
        if (!copied) {
            systemLog(QStringLiteral("Settings file %1 could not be copied aside, so settings changed in this run "
                                     "will not be saved.")
                          .arg(path));
            return false;
        }
        if (replaceFileDurably(path, text.readable)) {
            systemLog(QStringLiteral("Settings file %1: the original is kept as %2.").arg(path, aside));
        } else {
            systemLog(QStringLiteral("Settings file %1 could not be rewritten without the lines dropped; the "
                                     "original is kept as %2.")
                          .arg(path, aside));
        }
        return true;
    }

    // The lock file QSettings takes beside the settings, so that other writers and we take turns;
    // one left by a killed process is stale and taken over. Held while the file is read, set
    // aside, repaired or replaced; a folder we cannot write gives no lock, and the file is still read.
    std::unique_ptr<QLockFile> lockFile() const {
        auto lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
        return lock->lock() ? std::move(lock) : nullptr;
    }

    void load() {
        QVariantMap systemValues;
        for (auto it = systemPaths.crbegin(); it != systemPaths.crend(); ++it) {
            const QVariantMap values = readSystemFile(*it);
            for (auto v = values.constBegin(); v != values.constEnd(); ++v) systemValues.insert(v.key(), v.value());
        }
        // A home folder that is not there (a mistyped HOME, a home not mounted yet) is not made
        // for the settings file: the player runs without one, on the system-wide values.
        const QString home = missingHomeAbove(path);
        if (!home.isEmpty()) {
            systemLog(QStringLiteral("Home folder %1 does not exist and is not made: running on the factory defaults "
                                     "without a settings file.")
                          .arg(home));
            std::lock_guard<std::mutex> lock(mutex);
            system = std::move(systemValues);
            persistEnabled = false;
            return;
        }
        std::lock_guard<std::mutex> fileLock(fileMutex);
        const auto locked = lockFile();
        FileValues taken = takeInFile();
        if (!taken.values) {
            systemLog(QStringLiteral("Settings file %1 could not be read just now; running on the factory defaults "
                                     "without saving settings in this run.")
                          .arg(path));
        }
        std::lock_guard<std::mutex> lock(mutex);
        persistent = taken.values.value_or(QVariantMap());
        system = std::move(systemValues);
        persistEnabled = taken.values && taken.mayReplace;
    }

    void scheduleFlush() {
        // Called with mutex held.
        if (flushScheduled || !persistEnabled) return;
        flushScheduled = true;
        std::weak_ptr<Impl> weak = shared_from_this();
        flushQueue->async([weak] {
            waitMicroseconds(kFlushDelayMicroseconds);
            if (auto self = weak.lock()) self->flush();
        });
    }

    // The changes go onto the file as it is on disk now, which others may have changed.
    bool writeChanges(const QSet<QString>& keys, const QVariantMap& changes) {
        QDir().mkpath(Path::deletingLastPathComponent(path));
        const auto locked = lockFile();
        if (!locked) return false;
        FileValues onDisk = takeInFile();
        if (!onDisk.mayReplace) {
            std::lock_guard<std::mutex> lock(mutex);
            persistEnabled = false;
        }
        if (!onDisk.values || !onDisk.mayReplace) return false;
        for (const QString& key : keys) {
            const QVariant value = changes.value(key);
            if (value.isValid()) {
                onDisk.values->insert(key, value);
            } else {
                onDisk.values->remove(key);
            }
        }
        const std::optional<QByteArray> text = formatIni(*onDisk.values);
        return text && replaceFileDurably(path, *text);
    }

    bool flush() {
        std::lock_guard<std::mutex> fileLock(fileMutex);
        QVariantMap changes;
        QSet<QString> keys;
        {
            std::lock_guard<std::mutex> lock(mutex);
            flushScheduled = false;
            if (!persistEnabled) return false;
            keys = std::move(dirty);
            dirty.clear();
            for (const QString& key : keys) changes.insert(key, persistent.value(key));
        }
        if (keys.isEmpty()) return !lastWriteFailed;
        const bool ok = writeChanges(keys, changes);
        if (!ok) {
            std::lock_guard<std::mutex> lock(mutex);
            dirty.unite(keys);  // tried again at the next write or synchronize
            if (!lastWriteFailed) systemLog(QStringLiteral("Could not write settings file %1").arg(path));
        } else if (lastWriteFailed) {
            systemLog(QStringLiteral("Settings file %1 written again").arg(path));
        }
        lastWriteFailed = !ok;
        return ok;
    }

    bool synchronize() {
        ensureLoaded();
        const bool written = flush();
        std::lock_guard<std::mutex> fileLock(fileMutex);
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!persistEnabled) return false;
        }
        if (!QFileInfo::exists(path)) return written;
        const auto locked = lockFile();
        const FileValues onDisk = takeInFile();
        std::lock_guard<std::mutex> lock(mutex);
        if (!onDisk.mayReplace) persistEnabled = false;
        if (!onDisk.values) return false;
        // Keys changed here since the flush above keep their newer value.
        QVariantMap merged = *onDisk.values;
        for (const QString& key : dirty) {
            if (persistent.contains(key)) {
                merged.insert(key, persistent.value(key));
            } else {
                merged.remove(key);
            }
        }
        persistent = merged;
        return written && onDisk.mayReplace;
    }

    QVariant lookup(const QString& key) {
        ensureLoaded();
        std::lock_guard<std::mutex> lock(mutex);
        auto it = arguments.constFind(key);
        if (it != arguments.constEnd()) return *it;
        it = persistent.constFind(key);
        if (it != persistent.constEnd()) return *it;
        it = system.constFind(key);
        if (it != system.constEnd()) return *it;
        return registration.value(key);
    }

    void write(const QString& key, const QVariant& value) {
        if (key.isEmpty()) return;
        ensureLoaded();
        std::lock_guard<std::mutex> lock(mutex);
        // A value the file already holds is not written again: the operator's file keeps its
        // bytes, its order and its comments until something really changes.
        if (!dirty.contains(key) && sameInFile(persistent.value(key), value)) return;
        if (value.isValid()) {
            persistent.insert(key, value);
        } else {
            persistent.remove(key);
        }
        dirty.insert(key);
        scheduleFlush();
    }
};

UserDefaults& UserDefaults::standardUserDefaults() {
    // Lives for the whole process; the application flushes it when it quits.
    static UserDefaults* store = new UserDefaults(defaultFilePath(), systemFilePaths());
    return *store;
}

QString UserDefaults::defaultFilePath() {
    QString base = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"));
    if (base.isEmpty() || !base.startsWith(QLatin1Char('/'))) {
        base = Path::appendingPathComponent(Path::homeDirectory(), QStringLiteral(".config"));
    }
    return Path::appendingPathComponent(
        base, QStringLiteral("Vorn/%1.conf").arg(Bundle::mainBundle().bundleName()));
}

QStringList UserDefaults::systemFilePaths() {
    QString dirs = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_DIRS"));
    if (dirs.trimmed().isEmpty()) dirs = QStringLiteral("/etc/xdg");
    QStringList paths;
    for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (!dir.startsWith(QLatin1Char('/'))) continue;  // relative entries are invalid there
        paths += Path::appendingPathComponent(dir, QStringLiteral("Vorn/%1.conf").arg(Bundle::mainBundle().bundleName()));
    }
    return paths;
}

QVariantMap UserDefaults::argumentDomainFromArguments(const QStringList& arguments) {
    QVariantMap values;
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        const QString& arg = arguments.at(i);
        if (arg.size() < 2 || arg.at(0) != QLatin1Char('-') || !arg.at(1).isLetter()) continue;
        values.insert(arg.mid(1), arguments.at(i + 1));
        ++i;
    }
    return values;
}

UserDefaults::UserDefaults(const QString& filePath, const QStringList& systemFilePaths)
    : d_(std::make_shared<Impl>(filePath, systemFilePaths)) {}

UserDefaults::~UserDefaults() { d_->flush(); }

QString UserDefaults::filePath() const { return d_->path; }

void UserDefaults::registerDefaults(const QVariantMap& defaults) {
    std::lock_guard<std::mutex> lock(d_->mutex);
    for (auto it = defaults.constBegin(); it != defaults.constEnd(); ++it) d_->registration.insert(it.key(), it.value());
}

void UserDefaults::setArgumentDomain(const QVariantMap& values) {
    std::lock_guard<std::mutex> lock(d_->mutex);
    d_->arguments = values;
}

QVariant UserDefaults::objectForKey(const QString& key) const { return d_->lookup(key); }

QString UserDefaults::stringForKey(const QString& key) const {
    const QVariant v = d_->lookup(key);
    if (v.typeId() == QMetaType::QString) return v.toString();
    if (isNumber(v)) return v.toString();
    return QString();
}

bool UserDefaults::boolForKey(const QString& key) const { return boolValue(d_->lookup(key)); }

qint64 UserDefaults::integerForKey(const QString& key) const { return integerValue(d_->lookup(key)); }

QByteArray UserDefaults::dataForKey(const QString& key) const {
    const QVariant v = d_->lookup(key);
    return v.typeId() == QMetaType::QByteArray ? v.toByteArray() : QByteArray();
}

QStringList UserDefaults::stringArrayForKey(const QString& key) const {
    const QVariant v = d_->lookup(key);
    if (v.typeId() == QMetaType::QString) return {v.toString()};
    if (v.typeId() != QMetaType::QStringList && v.typeId() != QMetaType::QVariantList) return {};
    QStringList out;
    for (const QVariant& entry : v.toList()) {
        if (entry.typeId() != QMetaType::QString) return {};
        out += entry.toString();
    }
    return out;
}

void UserDefaults::setObject(const QVariant& value, const QString& forKey) { d_->write(forKey, value); }
void UserDefaults::setBool(bool value, const QString& forKey) { d_->write(forKey, QVariant(value)); }
void UserDefaults::setInteger(qint64 value, const QString& forKey) { d_->write(forKey, QVariant(value)); }
void UserDefaults::removeObjectForKey(const QString& key) { d_->write(key, QVariant()); }

bool UserDefaults::synchronize() { return d_->synchronize(); }

bool UserDefaults::boolValue(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool) return value.toBool();
    if (isNumber(value)) return value.toDouble() != 0;
    if (value.typeId() == QMetaType::QString) return leadingBool(value.toString());
    return false;
}

qint64 UserDefaults::integerValue(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool) return value.toBool() ? 1 : 0;
    if (value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float) {
        return static_cast<qint64>(value.toDouble());
    }
    if (isNumber(value)) return value.toLongLong();
    if (value.typeId() == QMetaType::QString) return leadingInteger(value.toString());
    return 0;
}
