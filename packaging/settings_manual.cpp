// Writes the manual page's list of settings (roff) from the table of settings and the factory
// values, so that the manual lists every setting with its type, factory value and meaning.
// Usage: settings_manual FactoryDefault.plist > settings.roff
#include "app/Settings.h"

#include "platform/core/PropertyList.h"

#include <cstdio>

namespace {

// Text as roff reads it literally: backslashes and dashes escaped, no line taken for a request.
QString roff(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('\\'), QLatin1String("\\e"));
    out.replace(QLatin1Char('-'), QLatin1String("\\-"));
    if (out.startsWith(QLatin1Char('.')) || out.startsWith(QLatin1Char('\''))) out.prepend(QLatin1String("\\&"));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: settings_manual FactoryDefault.plist\n");
        return 2;
    }
    const auto factory = PropertyList::dictionaryWithContentsOfFile(QString::fromLocal8Bit(argv[1]));
    if (!factory) {
        std::fprintf(stderr, "settings_manual: cannot read %s\n", argv[1]);
        return 1;
    }
    QString out;
    for (const SettingDeclaration* setting : Setting::all) {
        out += QStringLiteral(".TP\n.B %1\n.IR \"%2, factory value %3\" .\n.br\n%4\n")
                   .arg(setting->name(), roff(Settings::typeText(*setting)),
                        roff(Settings::valueText(factory->value(setting->name()))), roff(QString::fromUtf8(setting->meaning)));
    }
    const QByteArray bytes = out.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    return 0;
}
