#include "log/KORVAL_Base.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/SystemLog.h"

#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

extern char* program_invocation_short_name;

namespace {

QString firstLine(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    QByteArray text = f.readAll();
    text.replace('\0', '\n');  // device-tree strings end in a zero byte
    return QString::fromUtf8(text.split('\n').value(0)).trimmed();
}

QString osRelease(const QString& key) {
    QFile f(QStringLiteral("/etc/os-release"));
    if (!f.open(QIODevice::ReadOnly)) return QString();
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (!line.startsWith(key.toUtf8() + '=')) continue;
        QString value = QString::fromUtf8(line.mid(key.size() + 1)).trimmed();
        if (value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')) && value.size() >= 2) value = value.mid(1, value.size() - 2);
        return value;
    }
    return QString();
}

// The system's own words for itself, in the form "Version <name> (Build <kernel>)".
QString osVersionText() {
    utsname u {};
    uname(&u);
    QString name = osRelease(QStringLiteral("PRETTY_NAME"));
    if (name.isEmpty()) name = QString::fromLocal8Bit(u.sysname);
    return QStringLiteral("Version %1 (Build %2)").arg(name, QString::fromLocal8Bit(u.release));
}

// The base library's version as one number, major times 100 plus minor, the patch level as
// decimals: Qt 6.4.2 gives 604.2.
double baseLibraryVersion() {
    return (QT_VERSION >> 16) * 100.0 + ((QT_VERSION >> 8) & 0xff) + (QT_VERSION & 0xff) / 10.0;
}

unsigned long long installedMemoryMB() {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return 0;
    return (static_cast<unsigned long long>(info.totalram) * info.mem_unit) >> 20;
}

QString homeTilded(const QString& path) {
    const QString home = Path::homeDirectory();
    if (path == home) return QStringLiteral("~");
    return path.startsWith(home + QLatin1Char('/')) ? QLatin1Char('~') + path.mid(home.size()) : path;
}

}  // namespace

std::optional<QVariantMap> KORVAL_Base::vmStats() {
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) pageSize = 4096;
    unsigned long long freeBytes = 0;
    bool known = false;
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (meminfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : meminfo.readAll().split('\n')) {
            if (!line.startsWith("MemFree:")) continue;
            freeBytes = line.mid(8).trimmed().split(' ').value(0).toULongLong(&known) * 1024;
        }
    }
    if (!known) {
        struct sysinfo info {};
        if (sysinfo(&info) != 0) return std::nullopt;
        freeBytes = static_cast<unsigned long long>(info.freeram) * info.mem_unit;
    }
    const quint32 pages = static_cast<quint32>(freeBytes / static_cast<unsigned long long>(pageSize));
    const quint64 bytes = static_cast<quint64>(pages) * static_cast<quint64>(pageSize);
    return QVariantMap{{QStringLiteral("freePages"), pages},
                       {QStringLiteral("freeBytes"), bytes},
                       {QStringLiteral("freeMB"), bytes >> 20}};
}

QString KORVAL_Base::hostModelAndArch() {
    QString model;
    for (const char* source : {"/sys/devices/virtual/dmi/id/product_name", "/sys/devices/virtual/dmi/id/board_name",
                               "/proc/device-tree/model", "/sys/firmware/devicetree/base/model"}) {
        model = firstLine(QString::fromLatin1(source));
        if (!model.isEmpty()) break;
    }
    utsname u {};
    if (uname(&u) != 0) return QString();
    if (model.isEmpty()) model = QStringLiteral("Unknown");
    return fmt("%@ (%@)", model, QString::fromLocal8Bit(u.machine));
}

template <class Self>
QString KORVAL_Base::systemVersionInfoOf() {
    const std::optional<QVariantMap> stats = Self::vmStats();
    const int freeMB = stats ? static_cast<int>(stats->value(QStringLiteral("freeMB")).toULongLong()) : 0;
    return fmt("Mac OS X %@ foundation (%.3f);\n%uMB (%dMB free); %u CPU; %@ (%d-bit); %@", osVersionText(),
               baseLibraryVersion(), static_cast<unsigned>(installedMemoryMB()), freeMB,
               static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)), "LittleEndian", 64, Self::hostModelAndArch());
}

template <class Self>
QString KORVAL_Base::startupInfoOf() {
    return QString(80, QLatin1Char('^')) +
           fmt("\n%@ starting up\n%@", QString::fromLocal8Bit(program_invocation_short_name), Self::systemVersionInfo());
}

template QString KORVAL_Base::systemVersionInfoOf<KORVAL_Base>();
template QString KORVAL_Base::systemVersionInfoOf<KORVAL_Log>();
template QString KORVAL_Base::startupInfoOf<KORVAL_Base>();
template QString KORVAL_Base::startupInfoOf<KORVAL_Log>();

QString KORVAL_Base::systemVersionInfo() { return systemVersionInfoOf<KORVAL_Base>(); }
QString KORVAL_Base::startupInfo() { return startupInfoOf<KORVAL_Base>(); }

QString KORVAL_Base::safeTempFileReporting(int* descriptor, void (*report)(const QString&)) {
    QString folder = QString::fromLocal8Bit(qgetenv("TMPDIR"));
    if (folder.isEmpty()) folder = QStringLiteral(P_tmpdir);
    const QString templatePath = Path::appendingPathComponent(folder, QStringLiteral("XXXXXXXXXXXXXXXX"));
    QByteArray name = QFile::encodeName(templatePath);
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        const int error = errno;
        report(fmt("ERROR: failed to create temporary file %@ (Error %d: %s)", templatePath, error, std::strerror(error)));
        if (descriptor) *descriptor = fd;
        return QString();
    }
    if (descriptor) {
        *descriptor = fd;
    } else {
        close(fd);
    }
    return QFile::decodeName(name);
}

QString KORVAL_Base::safeTempFile(int* descriptor) { return safeTempFileReporting(descriptor, &systemLog); }

QString KORVAL_Base::firstFoundDirectoryType(unsigned long kind, unsigned long domainMask) {
    using namespace SearchPath;
    if (domainMask == 0) domainMask = AllDomainsMask;
    QStringList found;
    if (domainMask & UserDomainMask) {
        auto user = [](QStandardPaths::StandardLocation location) { return QStandardPaths::writableLocation(location); };
        QString path;
        switch (kind) {
            case ApplicationDirectory: path = user(QStandardPaths::ApplicationsLocation); break;
            case LibraryDirectory:
            case ApplicationSupportDirectory: path = user(QStandardPaths::GenericDataLocation); break;
            case DocumentDirectory: path = user(QStandardPaths::DocumentsLocation); break;
            case DesktopDirectory: path = user(QStandardPaths::DesktopLocation); break;
            case CachesDirectory: path = user(QStandardPaths::GenericCacheLocation); break;
            case DownloadsDirectory: path = user(QStandardPaths::DownloadLocation); break;
            case MoviesDirectory: path = user(QStandardPaths::MoviesLocation); break;
            case MusicDirectory: path = user(QStandardPaths::MusicLocation); break;
            case PicturesDirectory: path = user(QStandardPaths::PicturesLocation); break;
            case ItemReplacementDirectory: path = user(QStandardPaths::TempLocation); break;
            case TrashDirectory: path = Path::appendingPathComponent(user(QStandardPaths::GenericDataLocation), QStringLiteral("Trash")); break;
            default: break;
        }
        if (!path.isEmpty()) found += homeTilded(path);
    }
    if (domainMask & LocalDomainMask) {
        if (kind == ApplicationDirectory) found += QStringLiteral("/usr/local/share/applications");
        if (kind == LibraryDirectory || kind == ApplicationSupportDirectory) found += QStringLiteral("/usr/local/share");
        if (kind == UserDirectory) found += QStringLiteral("/home");
    }
    if (domainMask & SystemDomainMask) {
        if (kind == ApplicationDirectory) found += QStringLiteral("/usr/share/applications");
        if (kind == LibraryDirectory || kind == ApplicationSupportDirectory) found += QStringLiteral("/usr/share");
    }
    return found.isEmpty() ? QString() : found.first();
}
