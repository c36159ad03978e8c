#pragma once

#include <QString>
#include <QVariant>

#include <memory>

// The program's bundle: its information dictionary and the files it carries beside the
// executable. Installed: bin/vornplayer, share/vornplayer/, libexec/vornplayer/. The build
// tree has the same layout under build/, so both are found relative to the executable.
class Bundle {
public:
    Bundle(const QString& resourceDirectory, const QString& auxiliaryDirectory);

    // The bundle of the running executable (build tree or installed).
    static Bundle mainBundle();
    // Replaces the main bundle for the rest of the process (tests that need another layout).
    static void setMainBundle(const Bundle& bundle);
    static Bundle forExecutableDirectory(const QString& executableDirectory);

    QString resourceDirectory() const { return resourceDirectory_; }
    QString auxiliaryDirectory() const { return auxiliaryDirectory_; }

    // An existing file "name.type" among the resources, else a null string.
    QString pathForResource(const QString& name, const QString& type) const;
    // An existing executable file among the auxiliary executables, else a null string.
    QString pathForAuxiliaryExecutable(const QString& name) const;

    // Read from Info.plist once; empty when it is missing or unreadable.
    QVariantMap infoDictionary() const;
    QVariant objectForInfoDictionaryKey(const QString& key) const;
    // "CFBundleIdentifier" and "CFBundleName", falling back to the names built in.
    QString bundleIdentifier() const;
    QString bundleName() const;

private:
    struct InfoCache;
    QString resourceDirectory_;
    QString auxiliaryDirectory_;
    std::shared_ptr<InfoCache> info_;
};
