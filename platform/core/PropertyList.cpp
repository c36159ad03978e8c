#include "platform/core/PropertyList.h"

#include "platform/core/SystemLog.h"

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <QStringList>

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace PropertyList {

namespace {

// Seconds between 1970-01-01 and the property-list epoch 2001-01-01.
constexpr qint64 kPlistEpochOffset = 978307200;
// Far deeper and larger than any list of ours. libplist reads and frees nested containers
// recursively (a deep binary list overflows its stack), and its XML writer indents each level.
constexpr int kDeepestNesting = 64;
constexpr qsizetype kLargestList = 1024 * 1024;

// Where the tree held a NUL byte in a key or a string (see readableTree).
const QChar kNulMark(0xFFFF);

// Turns a parsed tree into Qt values. A key or string holding a NUL byte (which libplist's own
// accessors abort on) is left out, and each such place is named in `problems` ("key/0/key").
class Reader {
public:
    QStringList problems;

    std::optional<QVariant> value(plist_t node, const QString& where) {
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
                uint64_t length = 0;
                const char* v = plist_get_string_ptr(node, &length);
                if (!v) return QVariant(QString::fromUtf8(""));
                const QString text = QString::fromUtf8(v, static_cast<qsizetype>(length));
                if (std::memchr(v, 0, static_cast<size_t>(length)) || text.contains(kNulMark)) {
                    problems += QStringLiteral("the string at %1 holds a NUL byte").arg(where);
                    return std::nullopt;
                }
                return QVariant(text);
            }
            case PLIST_DATA: {
                uint64_t length = 0;
                const char* v = plist_get_data_ptr(node, &length);
                return QVariant(QByteArray(v, v ? static_cast<qsizetype>(length) : 0));
            }
            case PLIST_DATE: {
                int32_t sec = 0, usec = 0;
                plist_get_date_val(node, &sec, &usec);
                return QVariant(QDateTime::fromMSecsSinceEpoch((kPlistEpochOffset + sec) * 1000 + usec / 1000));
            }
            case PLIST_ARRAY:
                return array(node, where);
            case PLIST_DICT:
                return dictionary(node, where);
            default:
                return QVariant();
        }
    }

private:
    static QString inside(const QString& where, const QString& part) {
        return where.isEmpty() ? part : where + QLatin1Char('/') + part;
    }

    QVariant array(plist_t node, const QString& where) {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
            if (auto item = value(plist_array_get_item(node, i), inside(where, QString::number(i)))) list += *item;
        }
        return QVariant(list);
    }

    QVariant dictionary(plist_t node, const QString& where) {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!key) break;
            const QString name = QString::fromUtf8(key);
            std::free(key);
            if (name.contains(kNulMark)) {
                problems += QStringLiteral("the key %1 holds a NUL byte").arg(inside(where, QString(name).replace(kNulMark, QLatin1String("\\0"))));
                continue;
            }
            if (auto v = value(item, inside(where, name))) map.insert(name, *v);
        }
        std::free(it);
        return QVariant(map);
    }
};

quint64 bigEndian(const QByteArray& bytes, quint64 at, int size) {
    quint64 v = 0;
    for (int i = 0; i < size; ++i) v = (v << 8) | static_cast<uchar>(bytes.at(static_cast<qsizetype>(at) + i));
    return v;
}

// Whether a binary list nests containers deeper than the limit (or in a circle), from its object
// table alone, level by level; what does not add up is left to libplist to refuse.
bool binaryNestsTooDeep(const QByteArray& bytes) {
    const quint64 size = static_cast<quint64>(bytes.size());
    if (size < 8 + 32) return false;
    const int offsetSize = static_cast<uchar>(bytes.at(bytes.size() - 26));
    const int refSize = static_cast<uchar>(bytes.at(bytes.size() - 25));
    const quint64 objects = bigEndian(bytes, size - 24, 8);
    const quint64 top = bigEndian(bytes, size - 16, 8);
    const quint64 table = bigEndian(bytes, size - 8, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || objects == 0 || objects > size || top >= objects ||
        table >= size || (size - table) / static_cast<quint64>(offsetSize) < objects) {
        return false;
    }
    QSet<quint64> level{top};
    for (int depth = 0; !level.isEmpty(); ++depth) {
        if (depth > kDeepestNesting) return true;
        QSet<quint64> next;
        for (const quint64 object : std::as_const(level)) {
            const quint64 at = bigEndian(bytes, table + object * static_cast<quint64>(offsetSize), offsetSize);
            if (at >= size) continue;
            const uchar marker = static_cast<uchar>(bytes.at(static_cast<qsizetype>(at)));
            const int kind = marker >> 4;
            if (kind != 0xA && kind != 0xC && kind != 0xD) continue;
            quint64 count = marker & 0x0F;
            quint64 refs = at + 1;
            if (count == 0x0F) {
                if (refs >= size || (static_cast<uchar>(bytes.at(static_cast<qsizetype>(refs))) >> 4) != 0x1) continue;
                const int countSize = 1 << (static_cast<uchar>(bytes.at(static_cast<qsizetype>(refs))) & 0x3);
                if (refs + 1 + static_cast<quint64>(countSize) > size) continue;
                count = bigEndian(bytes, refs + 1, countSize);
                refs += 1 + static_cast<quint64>(countSize);
            }
            if (kind == 0xD) count = count > size ? count : count * 2;
            if (count > size || refs + count * static_cast<quint64>(refSize) > size) continue;
            for (quint64 i = 0; i < count; ++i) {
                const quint64 child = bigEndian(bytes, refs + i * static_cast<quint64>(refSize), refSize);
                if (child < objects) next.insert(child);
            }
        }
        level = next;
    }
    return false;
}

// How deep the tree nests containers, counted no further than one past the limit; keys are
// not read.
int nesting(plist_t node, int depth = 0) {
    if (depth > kDeepestNesting) return depth;
    int deepest = depth;
    if (plist_get_node_type(node) == PLIST_ARRAY) {
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n && deepest <= kDeepestNesting; ++i) {
            deepest = std::max(deepest, nesting(plist_array_get_item(node, i), depth + 1));
        }
    } else if (plist_get_node_type(node) == PLIST_DICT) {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (plist_t item = nullptr; deepest <= kDeepestNesting; item = nullptr) {
            plist_dict_next_item(node, it, nullptr, &item);
            if (!item) break;
            deepest = std::max(deepest, nesting(item, depth + 1));
        }
        std::free(it);
    }
    return deepest;
}

// libplist aborts the program when asked for a key or a string that holds a NUL byte (a binary
// list can carry one, and so can an XML one through an escape). Its XML writer is the one part of
// it that takes such a value whole: a tree whose XML form has a NUL byte is read again from that
// form, with every NUL byte made a mark of ours that the reader leaves out.
plist_t readableTree(const QByteArray& bytes, QString* problem) {
    if (bytes.size() > kLargestList) {
        *problem = QStringLiteral("it is %1 bytes, far more than any property list (at most %2)")
                       .arg(QString::number(bytes.size()), QString::number(kLargestList));
        return nullptr;
    }
    const QString tooDeep = QStringLiteral("it nests more than %1 levels deep").arg(kDeepestNesting);
    if (plist_is_binary(bytes.constData(), static_cast<uint32_t>(bytes.size())) && binaryNestsTooDeep(bytes)) {
        *problem = tooDeep;
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return nullptr;
    if (nesting(root) > kDeepestNesting) {
        plist_free(root);
        *problem = tooDeep;
        return nullptr;
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    QByteArray text(xml, xml ? static_cast<qsizetype>(length) : 0);
    plist_to_xml_free(xml);
    if (!text.contains('\0')) return root;
    plist_free(root);
    text.replace(QByteArray(1, '\0'), QString(kNulMark).toUtf8());
    root = nullptr;
    plist_from_xml(text.constData(), static_cast<uint32_t>(text.size()), &root);
    return root;
}

std::optional<QVariant> parse(const QByteArray& bytes, const QString& origin) {
    if (bytes.isEmpty()) return std::nullopt;
    QString refused;
    plist_t root = readableTree(bytes, &refused);
    if (!refused.isEmpty()) systemLog(QStringLiteral("Property list %1: %2; not read.").arg(origin, refused));
    if (!root) return std::nullopt;
    Reader reader;
    std::optional<QVariant> value = reader.value(root, QString());
    plist_free(root);
    for (const QString& problem : std::as_const(reader.problems)) {
        systemLog(QStringLiteral("Property list %1: %2; left out.").arg(origin, problem));
    }
    return value;
}

}  // namespace

std::optional<QVariant> fromData(const QByteArray& bytes) { return parse(bytes, QStringLiteral("(in memory)")); }

std::optional<QVariant> readFile(const QString& path) {
    if (path.isEmpty()) return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return parse(file.readAll(), path);
}

std::optional<QVariantMap> dictionaryWithContentsOfFile(const QString& path) {
    const std::optional<QVariant> value = readFile(path);
    if (!value || value->typeId() != QMetaType::QVariantMap) return std::nullopt;
    return value->toMap();
}

}  // namespace PropertyList
