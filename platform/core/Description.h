#pragma once

#include <QString>
#include <QVariant>

// Descriptions of values in the platform's style, as log lines print them.
namespace Description {

// A list reads "(", then one entry a line indented by four spaces with strings in double
// quotes, entries separated by commas, then ")"; a dictionary "{", then "    key = value;"
// a line, then "}"; data "{length = N, bytes = 0x...}"; an absent value "(null)".
QString describe(const QVariant& value);

// "<ClassName: 0x55d0c2a1b2c0>"
QString ofObject(const char* className, const void* object);

}  // namespace Description
