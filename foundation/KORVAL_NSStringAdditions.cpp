#include "foundation/KORVAL_NSStringAdditions.h"

#include "platform/core/DateFormatter.h"

#include <QSysInfo>

#include <unicode/coll.h>
#include <unicode/ucnv.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

namespace KORVAL_NSStringAdditions {

namespace {

const char* converterName(std::uint32_t encoding) {
    switch (encoding) {
        case ASCII: return "US-ASCII";
        case JapaneseEUC: return "EUC-JP";
        case UTF8: return "UTF-8";
        case ISOLatin1: return "ISO-8859-1";
        case ShiftJIS: return "Shift_JIS";
        case ISOLatin2: return "ISO-8859-2";
        case Unicode: return "UTF-16";
        case WindowsCP1251: return "windows-1251";
        case WindowsCP1252: return "windows-1252";
        case WindowsCP1253: return "windows-1253";
        case WindowsCP1254: return "windows-1254";
        case WindowsCP1250: return "windows-1250";
        case ISO2022JP: return "ISO-2022-JP";
        case MacOSRoman: return "macintosh";
        case UTF16BigEndian: return "UTF-16BE";
        case UTF16LittleEndian: return "UTF-16LE";
        case UTF32: return "UTF-32";
        case UTF32BigEndian: return "UTF-32BE";
        case UTF32LittleEndian: return "UTF-32LE";
        default: return nullptr;
    }
}

// The bytes "." takes in the encoding.
int unitWidth(std::uint32_t encoding) {
    switch (encoding) {
        case Unicode:
        case UTF16BigEndian:
        case UTF16LittleEndian: return 2;
        case UTF32:
        case UTF32BigEndian:
        case UTF32LittleEndian: return 4;
        default: return 1;
    }
}

constexpr std::uint64_t kIcuMaxLength = std::numeric_limits<int32_t>::max();

// Strict decoding: any byte that is not valid in the encoding makes the result none.
QString decode(const char* bytes, std::uint64_t length, const char* converter) {
    if (length == 0) return QString(QLatin1String(""));
    // ICU counts in 32 bits: a longer text would come back cut short, so it is refused whole.
    if (length > kIcuMaxLength) return QString();
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UConverter, void (*)(UConverter*)> conv(ucnv_open(converter, &status), ucnv_close);
    if (U_FAILURE(status)) return QString();
    ucnv_setToUCallBack(conv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    QString out(static_cast<qsizetype>(std::min(length * 2 + 2, kIcuMaxLength)), Qt::Uninitialized);
    const int32_t n = ucnv_toUChars(conv.get(), reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                                    bytes, static_cast<int32_t>(length), &status);
    if (U_FAILURE(status)) return QString();
    out.truncate(n);
    return out;
}

std::uint32_t unitAt(const char* p, int width) {
    std::uint32_t v = 0;
    std::memcpy(&v, p, static_cast<size_t>(width));  // in the machine's byte order
    return v;
}

}  // namespace

int numericalCaseInsensitiveCompare(const QString& self, const QString& other) {
    static std::mutex mutex;
    static std::unique_ptr<icu::Collator> collator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) return std::unique_ptr<icu::Collator>();
        c->setStrength(icu::Collator::SECONDARY);  // letter case does not count
        c->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
        return c;
    }();
    // ICU takes lengths in 32 bits: longer strings compare without the numeric rule rather than cut short.
    if (!collator || static_cast<std::uint64_t>(std::max(self.size(), other.size())) > kIcuMaxLength) {
        const int r = self.compare(other, Qt::CaseInsensitive);
        return r < 0 ? -1 : r > 0 ? 1 : 0;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::lock_guard<std::mutex> lock(mutex);
    const UCollationResult r = collator->compare(reinterpret_cast<const UChar*>(self.utf16()), static_cast<int32_t>(self.size()),
                                                 reinterpret_cast<const UChar*>(other.utf16()), static_cast<int32_t>(other.size()), status);
    return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

QString stringWithCString(const char* bytes, std::uint64_t maxLength, std::uint32_t encoding) {
    const char* converter = converterName(encoding);
    const int width = unitWidth(encoding);
    if (!bytes || !converter) return QString();
    if (maxLength != 0 && static_cast<std::uint64_t>(width) > maxLength) return QString();
    const std::uint64_t limit = maxLength == 0 ? UINT64_MAX : maxLength;

    if (width == 1) {
        // Byte by byte: a shorter text ends in its zero byte, which stops the comparison.
        const bool utf8Mark = encoding == UTF8 && limit >= 4 && bytes[0] == '\xEF' && bytes[1] == '\xBB' &&
                              bytes[2] == '\xBF';
        const std::uint64_t start = utf8Mark ? 3 : 0;
        const char* text = bytes + start;
        const std::uint64_t length = maxLength == 0 ? std::strlen(text) : strnlen(text, limit - start);
        return decode(text, length, converter);
    }

    std::uint64_t units = 0;
    const std::uint64_t maxUnits = limit / static_cast<std::uint64_t>(width);
    while (units < maxUnits && unitAt(bytes + units * width, width) != 0) ++units;
    if (units == 0) return QString(QLatin1String(""));
    const std::uint32_t first = unitAt(bytes, width);
    const std::uint32_t mark = width == 2 ? 0xFEFFu : 0x0000FEFFu;
    const std::uint32_t swappedMark = width == 2 ? 0xFFFEu : 0xFFFE0000u;
    if (first != mark && first != swappedMark) return decode(bytes, units * width, converter);
    // The mark tells the byte order and is not part of the text. The rest is decoded in that
    // order by a converter that looks for no mark, so a U+FEFF right after it stays a character.
    const bool littleEndian = (QSysInfo::ByteOrder == QSysInfo::LittleEndian) == (first == mark);
    const char* ordered = width == 2 ? (littleEndian ? "UTF-16LE" : "UTF-16BE") : (littleEndian ? "UTF-32LE" : "UTF-32BE");
    return decode(bytes + width, (units - 1) * width, ordered);
}

QString stringByDeletingCharactersInSet(const QString& self, const QSet<char32_t>& characters) {
    QString out;
    out.reserve(self.size());
    for (const char32_t c : self.toUcs4()) {
        if (!characters.contains(c)) out += QString::fromUcs4(&c, 1);
    }
    return out;
}

QString stringByReplacingSubStrings(const QString& self, const QStringList& find, const QStringList& values,
                                    unsigned options, Range range) {
    const qsizetype location = qBound<qsizetype>(0, range.location, self.size());
    const qsizetype length = qBound<qsizetype>(0, range.length, self.size() - location);
    QString work = self.mid(location, length);
    const Qt::CaseSensitivity cs = (options & CaseInsensitiveSearch) ? Qt::CaseInsensitive : Qt::CaseSensitive;
    for (qsizetype i = 0; i < find.size(); ++i) {
        if (find[i].isEmpty()) continue;
        work.replace(find[i], i < values.size() ? values[i] : QString(), cs);
    }
    return self.left(location) + work + self.mid(location + length);
}

}  // namespace KORVAL_NSStringAdditions

namespace KORVAL_NSDateAdditions {
QString stringWithUTSFormat(qint64 millisecondsSinceEpoch, const QString& pattern) {
    const DateFormatter formatter(pattern);
    return formatter.stringFromDate(DateFormatter::Clock::time_point(std::chrono::milliseconds(millisecondsSinceEpoch)));
}
}  // namespace KORVAL_NSDateAdditions

namespace KORVAL_NSObjectAdditions {
QString pathToSelf() { return QString(); }
}  // namespace KORVAL_NSObjectAdditions
