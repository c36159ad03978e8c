#include "platform/core/Bundle.h"

#include "platform/core/PathUtilities.h"
#include "platform/core/PropertyList.h"

#include <QFileInfo>

#include <mutex>
#include <optional>

#include <unistd.h>

struct Bundle::InfoCache {
    std::once_flag once;
    QVariantMap info;
};

namespace {

std::mutex gMainBundleMutex;
std::optional<Bundle> gMainBundle;

QString executableDirectory() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return QStringLiteral(".");
    return Path::deletingLastPathComponent(QString::fromLocal8Bit(buffer, static_cast<qsizetype>(n)));
}

}  // namespace

Bundle::Bundle(const QString& resourceDirectory, const QString& auxiliaryDirectory)
    : resourceDirectory_(resourceDirectory), auxiliaryDirectory_(auxiliaryDirectory),
      info_(std::make_shared<InfoCache>()) {}

Bundle Bundle::forExecutableDirectory(const QString& executableDirectory) {
    // The build tree keeps share/ beside the executable; an installation one level up.
    for (const QString& prefix : {executableDirectory, Path::deletingLastPathComponent(executableDirectory)}) {
        const QString resources = Path::appendingPathComponent(prefix, QStringLiteral(VORN_RESOURCE_SUBDIR));
        if (QFileInfo(resources).isDir()) {
            return Bundle(resources, Path::appendingPathComponent(prefix, QStringLiteral(VORN_LIBEXEC_SUBDIR)));
        }
    }
    return Bundle(Path::appendingPathComponent(executableDirectory, QStringLiteral(VORN_RESOURCE_SUBDIR)),
                  Path::appendingPathComponent(executableDirectory, QStringLiteral(VORN_LIBEXEC_SUBDIR)));
}

Bundle Bundle::mainBundle() {
    std::lock_guard<std::mutex> lock(gMainBundleMutex);
    if (!gMainBundle) gMainBundle = forExecutableDirectory(executableDirectory());
    return *gMainBundle;
}

void Bundle::setMainBundle(const Bundle& bundle) {
    std::lock_guard<std::mutex> lock(gMainBundleMutex);
    gMainBundle = bundle;
}

QString Bundle::pathForResource(const QString& name, const QString& type) const {
    if (name.isEmpty()) return QString();
    const QString file = type.isEmpty() ? name : name + QLatin1Char('.') + type;
    const QString path = Path::appendingPathComponent(resourceDirectory_, file);
    return QFileInfo(path).isFile() ? path : QString();
}

QString Bundle::pathForAuxiliaryExecutable(const QString& name) const {
    if (name.isEmpty()) return QString();
    const QString path = Path::appendingPathComponent(auxiliaryDirectory_, name);
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable() ? path : QString();
}

QVariantMap Bundle::infoDictionary() const {
    std::call_once(info_->once, [this] {
        const QString path = Path::appendingPathComponent(resourceDirectory_, QStringLiteral("Info.plist"));
        if (auto dict = PropertyList::dictionaryWithContentsOfFile(path)) info_->info = *dict;
    });
    return info_->info;
}

QVariant Bundle::objectForInfoDictionaryKey(const QString& key) const { return infoDictionary().value(key); }

QString Bundle::bundleIdentifier() const {
    const QString id = objectForInfoDictionaryKey(QStringLiteral("CFBundleIdentifier")).toString();
    return id.isEmpty() ? QStringLiteral(VORN_BUNDLE_IDENTIFIER) : id;
}

QString Bundle::bundleName() const {
    const QString name = objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString();
    return name.isEmpty() ? QStringLiteral(VORN_BUNDLE_NAME) : name;
}
