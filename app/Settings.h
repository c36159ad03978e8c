#pragma once

// Every setting of the player, declared once: its key, its type, its bounds, who reads and writes
// it, and the preferences control that stands for it. The factory values live in
// FactoryDefault.plist, not here, and are checked against this table at start-up; an absent value
// reads as none, false or 0. Everything else in the program names a setting through this table.
#include "platform/ui/PreferencesModel.h"

#include <QByteArray>
#include <QLatin1String>
#include <QString>
#include <QStringList>
#include <QVariant>

enum class SettingType { String, Path, Data, Bool, Integer, StringList };

struct SettingDeclaration {
    const char* key;
    SettingType type;
    // The range of an integer, for its factory value and the preferences window; both 0 for no bounds.
    qint64 minimum;
    qint64 maximum;
    // Who reads and who writes it, for the reader of this table.
    const char* readBy;
    const char* writtenBy;
    // The control of the preferences window bound to it; None when the window does not show it.
    PreferencesControl preferencesControl;
    // What it means, for --help and the manual page: one sentence for the operator.
    const char* meaning = "";

    QString name() const { return QLatin1String(key); }
    bool hasBounds() const { return minimum != 0 || maximum != 0; }
    bool inPreferences() const { return preferencesControl != PreferencesControl::None; }
};

namespace Setting {

inline constexpr SettingDeclaration TamrinVideosFolder{
    "prefTamrinVideosFolder", SettingType::Path, 0, 0,
    "scan (base of the daily folder), validation, folder chooser, reveal command, preferences",
    "validation (the path found through the reference), folder chooser", PreferencesControl::SourceFolder, "The source folder; each day's videos are in a folder named after the date inside it."};
inline constexpr SettingDeclaration TamrinVideosFolderAliasData{
    "prefTamrinVideosFolderAliasData", SettingType::Data, 0, 0, "validation, scan (where a volume belongs)",
    "folder references, for validation and the folder chooser", PreferencesControl::None, "A reference to the source folder, so that it is found again after it moved or its volume was mounted anew (written by the player)."};
inline constexpr SettingDeclaration TamrinVideosFolderIsValid{
    "prefTamrinVideosFolderIsValid", SettingType::Bool, 0, 0, "nobody", "validation, folder chooser",
    PreferencesControl::None, "Whether the source folder was there at the last check (written by the player)."};
inline constexpr SettingDeclaration DoAttemptToCreateFolderIfMissing{
    "prefDoAttemptToCreateFolderIfMissing", SettingType::Bool, 0, 0, "validation", "preferences",
    PreferencesControl::CreateMissingFolder, "Make the source folder when it is missing (never on a volume that is not mounted)."};
inline constexpr SettingDeclaration DailyDateFormat{
    "prefDailyDateFormat", SettingType::String, 0, 0, "scan, preferences (preview)", "preferences",
    PreferencesControl::DailyPattern, "The Unicode date pattern that names each day's folder; the day changes at 03:00."};
inline constexpr SettingDeclaration RepeatListItemsCount{
    "prefRepeatListItemsCount", SettingType::Integer, 1, 100, "scan (how many newest files)", "preferences",
    PreferencesControl::NewestCount, "How many of the newest files play in turn."};
inline constexpr SettingDeclaration NewMovieRepeatLoopCount{
    "prefNewMovieRepeatLoopCount", SettingType::Integer, 1, 50, "play queue (plays of a new file)", "preferences",
    PreferencesControl::RepeatCount, "How many times in a row a new file plays."};
inline constexpr SettingDeclaration ArrayOfPathsOfLastItems{
    "prefArrayOfPathsOfLastItems", SettingType::StringList, 0, 0, "nobody (not restored at launch)",
    "play queue, for files opened by hand", PreferencesControl::None, "The files last opened by hand (written by the player)."};
inline constexpr SettingDeclaration DoShowMenuBar{
    "prefDoShowMenuBar", SettingType::Bool, 0, 0, "window set-up at launch, menu-bar command", "menu bar, preferences",
    PreferencesControl::ShowMenuBar, "Show the menu bar."};
inline constexpr SettingDeclaration AppVersionString{
    "prefAppVersionString", SettingType::String, 0, 0, "nobody", "launch, every time", PreferencesControl::None, "The version of the player that ran last (written by the player)."};

// "host:port" the status server listens on (/metrics, /status, /screenshot.png); empty: no server.
inline constexpr SettingDeclaration StatusListenAddress{
    "prefStatusListenAddress", SettingType::String, 0, 0, "status services at launch", "the operator (settings file, arguments)",
    PreferencesControl::None, "Address and port of the status server (/, /metrics, /status, /screenshot.png), such as 127.0.0.1:9477; empty: no server."};
// When set, every request to the status server carries it as "Authorization: Bearer <token>".
inline constexpr SettingDeclaration StatusToken{
    "prefStatusToken", SettingType::String, 0, 0, "status services at launch", "the operator (settings file, arguments)",
    PreferencesControl::None, "A token every request to the status server must carry (Authorization: Bearer <token>); empty: none."};

// A file holding the token (its first line), so that the token is never on a command line; refused
// when other users may read it. It wins over prefStatusToken.
inline constexpr SettingDeclaration StatusTokenFile{
    "prefStatusTokenFile", SettingType::Path, 0, 0, "status services at launch", "the operator (settings file, arguments)",
    PreferencesControl::None,
    "A file whose first line is the status server's token, readable by its owner (and group) only; wins over "
    "prefStatusToken and keeps the token off the command line."};

// Names besides loopback that requests to a status server bound to loopback may give as their
// Host (a proxy's public name, when it passes that on); comma-separated.
inline constexpr SettingDeclaration StatusHostNames{
    "prefStatusHostNames", SettingType::String, 0, 0, "status services at launch", "the operator (settings file, arguments)",
    PreferencesControl::None,
    "Host names, comma-separated, that a status server listening on loopback answers besides 127.0.0.1, localhost and "
    "[::1] (others get 421); empty: those only."};

// Where the verified local copies of the videos and the last listing of the source folder live;
// empty: "Vorn/VornPlayer" in the user's cache folder ($XDG_CACHE_HOME, else ~/.cache).
inline constexpr SettingDeclaration LocalCopiesFolder{
    "prefLocalCopiesFolder", SettingType::Path, 0, 0, "local copies at launch", "the operator (settings file, arguments)",
    PreferencesControl::None,
    "Where the verified local copies of the videos, and the last listing of the source folder, are kept; empty: "
    "$XDG_CACHE_HOME/Vorn/VornPlayer (~/.cache/Vorn/VornPlayer)."};
// The most the local copies may take, in bytes; absent: 4 GiB or a tenth of the free space,
// whichever is smaller; 0: no local copies.
inline constexpr SettingDeclaration LocalCopiesMaxBytes{
    "prefLocalCopiesMaxBytes", SettingType::Integer, 0, 0, "local copies at launch", "the operator (settings file, arguments)",
    PreferencesControl::None,
    "The most the local copies may take, in bytes; absent: 4 GiB or a tenth of the free space, whichever is smaller; "
    "0 turns local copies off."};
// How fast the copier may read the share, in bytes a second; absent: 64 MiB/s; 0: no bound.
inline constexpr SettingDeclaration LocalCopiesBytesPerSecond{
    "prefLocalCopiesBytesPerSecond", SettingType::Integer, 0, 0, "local copies at launch",
    "the operator (settings file, arguments)", PreferencesControl::None,
    "How fast the copier may read the source folder, in bytes a second; absent: 64 MiB/s; 0: no bound."};

// The screen's name on the operator's page; absent or empty: the host name.
inline constexpr SettingDeclaration ScreenName{
    "prefScreenName", SettingType::String, 0, 0, "operator's page (each answer)", "the operator (settings file, arguments)",
    PreferencesControl::None,
    "The screen's name in the title and heading of the operator's page, so that the pages of many screens can be "
    "told apart; absent or empty: the host name."};

inline constexpr const SettingDeclaration* all[] = {
    &TamrinVideosFolder,   &TamrinVideosFolderAliasData, &TamrinVideosFolderIsValid,
    &DoAttemptToCreateFolderIfMissing, &DailyDateFormat, &RepeatListItemsCount,
    &NewMovieRepeatLoopCount, &ArrayOfPathsOfLastItems, &DoShowMenuBar,
    &AppVersionString, &StatusListenAddress, &StatusToken, &StatusTokenFile, &StatusHostNames,
    &LocalCopiesFolder, &LocalCopiesMaxBytes, &LocalCopiesBytesPerSecond, &ScreenName};

}  // namespace Setting

// Keys of in-memory dictionaries that name settings (a folder-preference triple and the folder
// panel's parameters); they are not settings themselves.
namespace SettingTripleKey {
inline constexpr const char* FolderName = "prefFolderNameKey";
inline constexpr const char* FolderAliasData = "prefFolderAliasDataKey";
inline constexpr const char* FolderNameIsValid = "prefFolderNameIsValidKey";
// Optional: a further boolean setting turned on once a folder is chosen.
inline constexpr const char* PathEnable = "prefPathEnableKey";
}  // namespace SettingTripleKey

// Typed access to the settings store through the table. Safe from any thread.
namespace Settings {

QVariant object(const SettingDeclaration& setting);
QString string(const SettingDeclaration& setting);
bool flag(const SettingDeclaration& setting);
qint64 integer(const SettingDeclaration& setting);
QByteArray data(const SettingDeclaration& setting);
QStringList stringList(const SettingDeclaration& setting);

void setObject(const SettingDeclaration& setting, const QVariant& value);
void setFlag(const SettingDeclaration& setting, bool value);
void remove(const SettingDeclaration& setting);
// Writes pending changes and takes in changes made by others.
bool synchronize();

// A count setting (the newest files, the plays of a new file) as at least 1: a zero or negative
// value is taken as 1 (one file, one play). Says once in the log, for each value, that it was.
qint64 positiveCount(const SettingDeclaration& setting);

// The one setting of the table with this key; none for a key that is not a setting.
const SettingDeclaration* find(const QString& key);

// The "-key value" pairs of a command line (the program's name first) that name settings of the
// table, for this run. A key with its value missing (the end, or another setting's key next) is
// left out, and an unknown key that looks like a setting ("-pref...") is kept but reported;
// `problems` gets one sentence for each, naming the nearest key of the table.
QVariantMap argumentDomain(const QStringList& arguments, QStringList* problems);
// The key of the table nearest to `key` (fewest letters to change, case ignored).
QString nearestKey(const QString& key);
// A setting's type in the words of --help and the manual page ("integer from 1 to 100").
QString typeText(const SettingDeclaration& setting);
// A factory value as the settings file would hold it; "(none)" for none.
QString valueText(const QVariant& value);

// Why a factory value does not fit the table: its key is no setting, it is not of the setting's
// type, or an integer lies outside the setting's bounds. Empty when it fits.
QString factoryValueProblem(const QString& key, const QVariant& value);

// The pattern that names the daily folder when "prefDailyDateFormat" is absent or blank.
inline constexpr const char* kDefaultDailyDateFormat = "yyyyMMdd";
// The daily folder's date changes at this time of day, not at midnight.
inline constexpr int kDayChangeHour = 3;
inline constexpr int kDayChangeMinute = 0;

}  // namespace Settings
