#include "app/CommandLine.h"

#include "app/AppDelegate.h"
#include "app/Settings.h"
#include "app/StatusReport.h"

#include "platform/core/Bundle.h"
#include "platform/core/PropertyList.h"
#include "platform/core/RunningApplication.h"
#include "platform/core/UserDefaults.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

const char* const kExtraHelp = R"(
Settings for one run:
  -<setting> value       Uses value for the setting for this run only, without storing it,
                         e.g. -%4 /srv/videos.
                         -%5 127.0.0.1:9477 serves /metrics, /status
                         and /screenshot.png; -%6 requires a token.
  Qt's own options take one dash as well, e.g. -platform offscreen.

Settings (type, factory value; meaning):
%7
Files:
  settings               %1
  fleet-wide settings    %8 (read below the user's, never written)
  log                    %2 (written only when its folder exists)
  old log                %3

Exit status:
  0  success (or another instance was already running and came to the front)
  1  failure
  2  wrong arguments
  3  --status: no instance is running
  4  --status: an instance runs but did not answer within 2 s
)";

void print(std::FILE* to, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
    std::fflush(to);
}

// Our options start with two dashes (or are -h); a single-dash argument is a "-key value" pair
// for the player or one of Qt's, and its value is skipped so that a value may start with "--".
QStringList ownArguments(int argc, char** argv) {
    QStringList own{QStringLiteral("vornplayer")};
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg.startsWith(QLatin1String("--")) || arg == QLatin1String("-h") || arg == QLatin1String("-?")) {
            own += arg;
        } else if (arg.size() >= 2 && arg.at(0) == QLatin1Char('-') && arg.at(1).isLetter()) {
            ++i;
        }
    }
    return own;
}

QString settingsPathText() {
    return QStringLiteral("$XDG_CONFIG_HOME/Vorn/%1.conf (default ~/.config/Vorn/%1.conf)")
        .arg(QStringLiteral(VORN_BUNDLE_NAME));
}

QString helpText(const QCommandLineParser& parser) {
    // The settings come from their table and their factory values from the file the player
    // registers, so that the help can never tell of a setting or a value that is not there.
    const QVariantMap factory =
        PropertyList::dictionaryWithContentsOfFile(
            Bundle::mainBundle().pathForResource(QStringLiteral("FactoryDefault"), QStringLiteral("plist")))
            .value_or(QVariantMap());
    QString settings;
    for (const SettingDeclaration* setting : Setting::all) {
        settings += QStringLiteral("  -%1\n      %2, %3; %4\n")
                        .arg(setting->name(), Settings::typeText(*setting),
                             Settings::valueText(factory.value(setting->name())), QString::fromUtf8(setting->meaning));
    }
    return parser.helpText() + QString::fromUtf8(kExtraHelp)
                                   .arg(settingsPathText(), AppDelegate::logFilePath(), AppDelegate::oldLogFilePath(),
                                        Setting::TamrinVideosFolder.name(), Setting::StatusListenAddress.name(),
                                        Setting::StatusToken.name(), settings, UserDefaults::systemFilePaths().join(QStringLiteral(", ")));
}

int status(bool asJson) {
    const RunningApplication::StatusAnswer answer =
        RunningApplication::requestStatus(QStringLiteral(VORN_BUNDLE_IDENTIFIER), CommandLine::kStatusTimeoutMs);
    switch (answer.outcome) {
        case RunningApplication::StatusAnswer::Outcome::NotRunning:
            print(stderr, QStringLiteral("%1 is not running\n").arg(QStringLiteral(VORN_BUNDLE_NAME)));
            return CommandLine::NoInstanceRunning;
        case RunningApplication::StatusAnswer::Outcome::NoAnswer:
            print(stderr, QStringLiteral("%1 is running but did not answer within %2 s\n")
                              .arg(QStringLiteral(VORN_BUNDLE_NAME), QString::number(CommandLine::kStatusTimeoutMs / 1000)));
            return CommandLine::InstanceNotAnswering;
        case RunningApplication::StatusAnswer::Outcome::Answered:
            break;
    }
    if (answer.reply.isEmpty()) {
        print(stderr, QStringLiteral("%1 is quitting\n").arg(QStringLiteral(VORN_BUNDLE_NAME)));
        return CommandLine::Failure;
    }
    const QJsonDocument document = QJsonDocument::fromJson(answer.reply);
    if (!document.isObject()) {
        print(stderr, QStringLiteral("%1 gave an answer that is not a status\n").arg(QStringLiteral(VORN_BUNDLE_NAME)));
        return CommandLine::Failure;
    }
    print(stdout, asJson ? QString::fromUtf8(document.toJson(QJsonDocument::Indented))
                         : StatusReport::text(document.object()));
    return CommandLine::Success;
}

}  // namespace

namespace CommandLine {

std::optional<int> run(int argc, char** argv) {
    const QStringList arguments = ownArguments(argc, argv);
    if (arguments.size() == 1) return std::nullopt;

    // Only for what the options need (the parser's texts, the status request's socket); it is
    // gone before the player's own application is made.
    char name[] = "vornplayer";
    char* coreArgv[] = {name, nullptr};
    int coreArgc = 1;
    QCoreApplication core(coreArgc, coreArgv);
    QCoreApplication::setApplicationName(QStringLiteral("vornplayer"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORN_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("%1 %2: an unattended player for the newest videos of a folder, for a wall screen.")
            .arg(QStringLiteral(VORN_BUNDLE_NAME), QStringLiteral(VORN_VERSION)));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("?"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Shows the version and exits."));
    const QCommandLineOption statusOption(QStringLiteral("status"),
                                          QStringLiteral("Asks the running player what it does, and exits."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("With --status: answers in JSON."));
    parser.addOptions({help, version, statusOption, json});

    if (!parser.parse(arguments)) {
        print(stderr, QStringLiteral("vornplayer: %1\n\n%2").arg(parser.errorText(), helpText(parser)));
        return UsageError;
    }
    if (parser.isSet(help)) {
        print(stdout, helpText(parser));
        return Success;
    }
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("%1 %2\n").arg(QStringLiteral(VORN_BUNDLE_NAME), QStringLiteral(VORN_VERSION)));
        return Success;
    }
    if (parser.isSet(statusOption)) return status(parser.isSet(json));
    print(stderr, QStringLiteral("vornplayer: --json goes with --status\n\n%1").arg(helpText(parser)));
    return UsageError;
}

}  // namespace CommandLine
