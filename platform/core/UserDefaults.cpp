#include "platform/core/UserDefaults.h"

#include "platform/core/Bundle.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/SystemLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QStringDecoder>

#include <climits>
#include <mutex>

namespace {

constexpr std::uint64_t kFlushDelayMicroseconds = 200000;

// QSettings reads almost anything as INI without complaint, so the file is checked first:
// UTF-8 text whose lines are blank, comments, [sections] or key=value pairs.
QString iniProblem(const QByteArray& bytes) {
    if (bytes.contains('\0')) return QStringLiteral("it holds NUL bytes");
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) return QStringLiteral("it is not UTF-8 text");
    int lineNumber = 0;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        ++lineNumber;
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#'))) continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) continue;
        if (line.contains(QLatin1Char('='))) continue;
        return QStringLiteral("line %1 is neither a [section] nor a key=value pair").arg(lineNumber);
    }
    return QString();
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

}  // namespace

struct UserDefaults::Impl : std::enable_shared_from_this<UserDefaults::Impl> {
    explicit Impl(const QString& path) : path(path) {}

    const QString path;
    mutable std::mutex mutex;  // the three layers and the pending set
    QVariantMap arguments;
    QVariantMap persistent;
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

    void load() {
        std::lock_guard<std::mutex> fileLock(fileMutex);
        QFile file(path);
        if (file.exists()) {
            QString problem;
            if (!file.open(QIODevice::ReadOnly)) {
                problem = QStringLiteral("it cannot be read (%1)").arg(file.errorString());
            } else {
                problem = iniProblem(file.readAll());
                file.close();
            }
            if (problem.isEmpty()) {
                QSettings settings(path, QSettings::IniFormat);
                if (settings.status() != QSettings::NoError) problem = QStringLiteral("the settings reader refused it");
            }
            if (!problem.isEmpty()) {
                putAside(problem);
                return;
            }
        }
        QVariantMap values = readFile();
        std::lock_guard<std::mutex> lock(mutex);
        persistent = std::move(values);
    }

    void putAside(const QString& problem) {
        const QString aside = asideName(path);
        if (QFile::rename(path, aside)) {
            systemLog(QStringLiteral("Settings file %1 is unusable: %2. Kept it as %3; running on the factory "
                                     "defaults.")
                          .arg(path, problem, aside));
            return;
        }
        // The bad file stays where it is and is never overwritten: nothing of it is lost.
        std::lock_guard<std::mutex> lock(mutex);
        persistEnabled = false;
        systemLog(QStringLiteral("Settings file %1 is unusable: %2. It could not be moved aside, so settings "
                                 "changed in this run will not be saved; running on the factory defaults.")
                      .arg(path, problem));
    }

    QVariantMap readFile() const {
        QVariantMap values;
        QSettings settings(path, QSettings::IniFormat);
        for (const QString& key : settings.allKeys()) values.insert(key, settings.value(key));
        return values;
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
        QDir().mkpath(Path::deletingLastPathComponent(path));
        QSettings settings(path, QSettings::IniFormat);
        for (const QString& key : keys) {
            const QVariant value = changes.value(key);
            if (value.isValid()) {
                settings.setValue(key, value);
            } else {
                settings.remove(key);
            }
        }
        settings.sync();
        const bool ok = settings.status() == QSettings::NoError;
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
        const QVariantMap onDisk = readFile();
        std::lock_guard<std::mutex> lock(mutex);
        // Keys changed here since the flush above keep their newer value.
        QVariantMap merged = onDisk;
        for (const QString& key : dirty) {
            if (persistent.contains(key)) {
                merged.insert(key, persistent.value(key));
            } else {
                merged.remove(key);
            }
        }
        persistent = merged;
        return written;
    }

    QVariant lookup(const QString& key) {
        ensureLoaded();
        std::lock_guard<std::mutex> lock(mutex);
        auto it = arguments.constFind(key);
        if (it != arguments.constEnd()) return *it;
        it = persistent.constFind(key);
        if (it != persistent.constEnd()) return *it;
        return registration.value(key);
    }

    void write(const QString& key, const QVariant& value) {
        if (key.isEmpty()) return;
        ensureLoaded();
        std::lock_guard<std::mutex> lock(mutex);
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
    static UserDefaults* store = new UserDefaults(defaultFilePath());
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

UserDefaults::UserDefaults(const QString& filePath) : d_(std::make_shared<Impl>(filePath)) {}

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
