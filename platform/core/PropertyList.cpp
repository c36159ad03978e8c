#include "platform/core/PropertyList.h"

#include <QDateTime>
#include <QFile>

#include <plist/plist.h>

#include <cstdlib>

namespace PropertyList {

namespace {

// Seconds between 1970-01-01 and the property-list epoch 2001-01-01.
constexpr qint64 kPlistEpochOffset = 978307200;

QVariant toVariant(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return QVariant(v != 0);
        }
        case PLIST_UINT: {
            // libplist keeps every integer in 64 unsigned bits; negative ones come back in
            // two's complement, so the signed reading is the right one.
            uint64_t v = 0;
            plist_get_uint_val(node, &v);
            return QVariant(static_cast<qint64>(v));
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            return QVariant(v);
        }
        case PLIST_STRING: {
            char* v = nullptr;
            plist_get_string_val(node, &v);
            QString s = QString::fromUtf8(v ? v : "");
            std::free(v);
            return QVariant(s);
        }
        case PLIST_DATA: {
            char* v = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &v, &length);
            QByteArray data(v, static_cast<qsizetype>(length));
            std::free(v);
            return QVariant(data);
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return QVariant(QDateTime::fromMSecsSinceEpoch((kPlistEpochOffset + sec) * 1000 + usec / 1000));
        }
        case PLIST_ARRAY: {
            QVariantList list;
            const uint32_t n = plist_array_get_size(node);
            for (uint32_t i = 0; i < n; ++i) list += toVariant(plist_array_get_item(node, i));
            return QVariant(list);
        }
        case PLIST_DICT: {
            QVariantMap map;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, it, &key, &value);
                if (!key) break;
                map.insert(QString::fromUtf8(key), toVariant(value));
                std::free(key);
            }
            std::free(it);
            return QVariant(map);
        }
        default:
            return QVariant();
    }
}

}  // namespace

std::optional<QVariant> fromData(const QByteArray& bytes) {
    if (bytes.isEmpty()) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return std::nullopt;
    QVariant value = toVariant(root);
    plist_free(root);
    return value;
}

std::optional<QVariant> readFile(const QString& path) {
    if (path.isEmpty()) return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return fromData(file.readAll());
}

std::optional<QVariantMap> dictionaryWithContentsOfFile(const QString& path) {
    const std::optional<QVariant> value = readFile(path);
    if (!value || value->typeId() != QMetaType::QVariantMap) return std::nullopt;
    return value->toMap();
}

}  // namespace PropertyList
