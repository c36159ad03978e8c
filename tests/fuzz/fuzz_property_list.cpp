// The factory defaults as the player reads them: a property list (XML or binary), each value
// then judged against the settings table.
#include "app/Settings.h"
#include "platform/core/PropertyList.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<QVariant> value = PropertyList::fromData(bytes);
    if (!value) return 0;
    const QVariantMap dictionary = value->toMap();
    for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) Settings::factoryValueProblem(it.key(), it.value());
    return 0;
}
