#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <memory>

// The per-user settings store. A read looks, in this order, at the values given on the
// command line for this run ("-prefKey value"), the user's own values (kept on disk in an
// INI file), the system-wide values of a fleet (read-only INI files, such as
// /etc/xdg/Vorn/VornPlayer.conf) and the registered factory defaults (memory only). A write of
// the value the user's file already holds changes nothing on disk. Every single read or write is
// atomic from any thread. Writes reach the disk through an atomic replace shortly after they
// are made, and at once on synchronize(); the new file is on the disk before it replaces the
// old one. A file that is not text is set aside whole ("<file>.corrupt-<time>"); lines that
// cannot be read are dropped and reported by number, with a copy of the original kept aside,
// and every other value is kept.
class UserDefaults {
public:
    // Safe to call from any thread; the file is read at the first read or write.
    static UserDefaults& standardUserDefaults();
    // $XDG_CONFIG_HOME/Vorn/VornPlayer.conf, or ~/.config/Vorn/VornPlayer.conf.
    static QString defaultFilePath();
    // Vorn/VornPlayer.conf in each folder of $XDG_CONFIG_DIRS (default /etc/xdg), the first
    // listed first.
    static QStringList systemFilePaths();
    // The "-key value" pairs of a command line (the program's name first, as argv has it).
    static QVariantMap argumentDomainFromArguments(const QStringList& arguments);

    explicit UserDefaults(const QString& filePath, const QStringList& systemFilePaths = {});
    ~UserDefaults();  // writes what is pending
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    QString filePath() const;

    void registerDefaults(const QVariantMap& defaults);
    void setArgumentDomain(const QVariantMap& values);

    // Absent gives an invalid QVariant.
    QVariant objectForKey(const QString& key) const;
    // A string, or a number in decimal; otherwise a null string.
    QString stringForKey(const QString& key) const;
    // Numbers are true when not zero; strings by their first significant character
    // ("YES", "true", "1".."9" are true). Absent gives false.
    bool boolForKey(const QString& key) const;
    // Numbers, booleans and strings with a leading integer; otherwise 0.
    qint64 integerForKey(const QString& key) const;
    // Data, else a null QByteArray.
    QByteArray dataForKey(const QString& key) const;
    // A list of strings; a single string reads as a list of one (the INI form cannot tell
    // them apart). Anything else gives an empty list.
    QStringList stringArrayForKey(const QString& key) const;

    // An invalid value removes the key.
    void setObject(const QVariant& value, const QString& forKey);
    void setBool(bool value, const QString& forKey);
    void setInteger(qint64 value, const QString& forKey);
    void removeObjectForKey(const QString& key);

    // Writes pending changes now and takes in changes made by others; false when the file
    // could not be written.
    bool synchronize();

    // Conversions shared with the typed readers.
    static bool boolValue(const QVariant& value);
    static qint64 integerValue(const QVariant& value);

private:
    struct Impl;
    std::shared_ptr<Impl> d_;
};
