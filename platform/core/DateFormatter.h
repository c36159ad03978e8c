#pragma once

#include <QString>

#include <chrono>
#include <memory>
#include <mutex>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class SimpleDateFormat;
U_NAMESPACE_END

// Formats instants with a Unicode date pattern (ICU), in the local time zone (followed when it
// changes while the program runs) and the
// user's locale, always in the Gregorian calendar and with Latin digits so that folder names
// and log stamps stay what uploaders and readers expect.
// Safe to use from several threads at once.
class DateFormatter {
public:
    using Clock = std::chrono::system_clock;

    // localeId and timeZoneId empty: the user's locale and the local time zone.
    explicit DateFormatter(const QString& pattern, const QString& localeId = QString(),
                           const QString& timeZoneId = QString());
    ~DateFormatter();
    DateFormatter(const DateFormatter&) = delete;
    DateFormatter& operator=(const DateFormatter&) = delete;

    bool isValid() const { return format_ != nullptr; }

    // Why a pattern cannot name a folder (an unclosed quote, a letter that is no date field, an
    // empty name, "." or ".."); an empty string when it can. ICU itself takes almost anything.
    static QString folderPatternProblem(const QString& pattern);
    QString pattern() const { return pattern_; }
    QString stringFromDate(Clock::time_point instant) const;

private:
    QString pattern_;
    std::unique_ptr<icu::SimpleDateFormat> format_;
    mutable std::mutex mutex_;
    // In the local zone: it follows the system's zone (see LocalTimeZone).
    bool followsLocalZone_ = false;
    mutable unsigned zoneGeneration_ = 0;
};
