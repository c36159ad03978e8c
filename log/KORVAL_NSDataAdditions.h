#pragma once

#include <QByteArray>
#include <QString>

// What the utility library adds to byte buffers.
namespace KORVAL_NSDataAdditions {

// The bytes of the range as hex-and-characters lines, sixteen bytes a line, offsets counted from
// the range's start; runs of identical lines collapse into "* last line repeated N times", also
// at the end of the range. The empty text for an empty range, none for a range outside the data.
QString hexdump(const QByteArray& data, qsizetype location, qsizetype length);

}  // namespace KORVAL_NSDataAdditions
