#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>

// What the utility library adds to strings. A null QString stands for "none".
namespace KORVAL_NSStringAdditions {

// The string-encoding numbers of the desktop platform the library came from.
enum Encoding : std::uint32_t {
    ASCII = 1,
    JapaneseEUC = 3,
    UTF8 = 4,
    ISOLatin1 = 5,
    ShiftJIS = 8,
    ISOLatin2 = 9,
    Unicode = 10,  // UTF-16
    WindowsCP1251 = 11,
    WindowsCP1252 = 12,
    WindowsCP1253 = 13,
    WindowsCP1254 = 14,
    WindowsCP1250 = 15,
    ISO2022JP = 21,
    MacOSRoman = 30,
    UTF16BigEndian = 0x90000100,
    UTF16LittleEndian = 0x94000100,
    UTF32 = 0x8c000100,
    UTF32BigEndian = 0x98000100,
    UTF32LittleEndian = 0x9c000100,
};

// Comparison options: case-insensitive (1); numeric (64) is what the comparison below uses too.
enum CompareOptions : unsigned { CaseInsensitiveSearch = 1, NumericSearch = 64 };

// -1, 0 or +1; letters compare without regard to case, digit runs by their value ("a9" < "a10").
int numericalCaseInsensitiveCompare(const QString& self, const QString& other);

// The text of a C string of `maxLength` bytes at most (0: up to its zero byte or zero unit) in the
// encoding. A UTF-8 byte-order mark is skipped; a UTF-16 or UTF-32 one sets the byte order. The
// empty string when there are no bytes, none when they are not valid in the encoding, the
// encoding is unknown, or the text is longer than the converter takes (2^31 - 1 bytes).
QString stringWithCString(const char* bytes, std::uint64_t maxLength, std::uint32_t encoding);

// The string without any of these characters (code points).
QString stringByDeletingCharactersInSet(const QString& self, const QSet<char32_t>& characters);

struct Range {
    qsizetype location = 0;
    qsizetype length = 0;
};

// Within the range, every occurrence of find[i] replaced by values[i] (the empty string where the
// list of values is shorter), pair by pair in list order; case-insensitive with option 1.
QString stringByReplacingSubStrings(const QString& self, const QStringList& find, const QStringList& values,
                                    unsigned options, Range range);

}  // namespace KORVAL_NSStringAdditions

namespace KORVAL_NSDateAdditions {
// The instant (milliseconds since 1970) formatted with a Unicode date pattern, in the user's
// locale and the local time zone.
QString stringWithUTSFormat(qint64 millisecondsSinceEpoch, const QString& pattern);
}  // namespace KORVAL_NSDateAdditions

namespace KORVAL_NSObjectAdditions {
// None, always.
QString pathToSelf();
}  // namespace KORVAL_NSObjectAdditions
