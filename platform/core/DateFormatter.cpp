#include "platform/core/DateFormatter.h"

#include "platform/core/LocalTimeZone.h"

#include <QStringList>

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

namespace {

icu::UnicodeString toUnicode(const QString& s) {
    return icu::UnicodeString(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<int32_t>(s.size()));
}

QString fromUnicode(const icu::UnicodeString& s) {
    return QString(reinterpret_cast<const QChar*>(s.getBuffer()), s.length());
}

}  // namespace

DateFormatter::DateFormatter(const QString& pattern, const QString& localeId, const QString& timeZoneId)
    : pattern_(pattern) {
    icu::Locale locale =
        localeId.isEmpty() ? icu::Locale::getDefault() : icu::Locale(localeId.toUtf8().constData());
    UErrorCode status = U_ZERO_ERROR;
    locale.setKeywordValue("numbers", "latn", status);
    status = U_ZERO_ERROR;
    // Folders are named, and logs stamped, by the Gregorian date whatever the user's calendar
    // (a Thai locale would count years from 543 BC): uploaders name folders that way.
    locale.setKeywordValue("calendar", "gregorian", status);
    status = U_ZERO_ERROR;
    auto format = std::make_unique<icu::SimpleDateFormat>(toUnicode(pattern), locale, status);
    if (U_FAILURE(status)) return;
    if (!timeZoneId.isEmpty()) format->adoptTimeZone(icu::TimeZone::createTimeZone(toUnicode(timeZoneId)));
    followsLocalZone_ = timeZoneId.isEmpty();
    zoneGeneration_ = LocalTimeZone::generation();
    if (followsLocalZone_) format->adoptTimeZone(icu::TimeZone::createDefault());
    format_ = std::move(format);
}

DateFormatter::~DateFormatter() = default;

QString DateFormatter::stringFromDate(Clock::time_point instant) const {
    if (!format_) return QString();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(instant.time_since_epoch()).count();
    icu::UnicodeString out;
    {
        // ICU's formatters keep a working calendar: one user at a time.
        std::lock_guard<std::mutex> lock(mutex_);
        if (followsLocalZone_) {
            const unsigned generation = LocalTimeZone::generation();
            if (generation != zoneGeneration_) {
                zoneGeneration_ = generation;
                format_->adoptTimeZone(icu::TimeZone::createDefault());
            }
        }
        format_->format(static_cast<UDate>(millis), out);
    }
    return fromUnicode(out);
}

QString DateFormatter::folderPatternProblem(const QString& pattern) {
    // The letters of Unicode date patterns that print something.
    static const QString fields = QStringLiteral("GyYuUrQqMLwWdDFgEecabBhHKkmsSAzZOvVXx");
    bool quoted = false;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern.at(i);
        if (c == QLatin1Char('\'')) {
            if (i + 1 < pattern.size() && pattern.at(i + 1) == QLatin1Char('\'')) {
                ++i;  // '' is a quote character
                continue;
            }
            quoted = !quoted;
            continue;
        }
        if (!quoted && c.isLetter() && c.unicode() < 128 && !fields.contains(c)) {
            return QStringLiteral("'%1' is not a date field").arg(c);
        }
    }
    if (quoted) return QStringLiteral("a quote is not closed");
    const QString name = DateFormatter(pattern).stringFromDate(Clock::now());
    if (name.trimmed().isEmpty()) return QStringLiteral("it gives an empty name");
    for (const QString& part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String(".") || part == QLatin1String("..")) return QStringLiteral("it gives \"%1\"").arg(part);
    }
    return QString();
}
