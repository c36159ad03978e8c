#include "platform/core/PropertyList.h"

#include "platform/core/SystemLog.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>

namespace PropertyList {

namespace {

// Seconds between 1970-01-01 and the property-list epoch 2001-01-01.
constexpr qint64 kPlistEpochOffset = 978307200;
// Far deeper than any list of ours; deeper ones would only cost stack.
constexpr int kDeepestNesting = 64;

// Where the tree held a NUL byte in a key or a string (see readableTree).
const QChar kNulMark(0xFFFF);

// Turns a parsed tree into Qt values. What cannot be read (a string holding a NUL byte, which
// libplist's own accessor aborts on; nesting beyond reason) is left out, and each such place is
// named once in `problems` ("key/0/key" from the top).
class Reader {
public:
    QStringList problems;

    std::optional<QVariant> value(plist_t node, const QString& where, int depth) {
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
            case PLIST_DICT:
                if (depth >= kDeepestNesting) {
                    problems += QStringLiteral("%1 is nested more than %2 deep").arg(where, QString::number(kDeepestNesting));
                    return std::nullopt;
                }
                return plist_get_node_type(node) == PLIST_ARRAY ? array(node, where, depth) : dictionary(node, where, depth);
            default:
                return QVariant();
        }
    }

private:
    static QString inside(const QString& where, const QString& part) {
        return where.isEmpty() ? part : where + QLatin1Char('/') + part;
    }

    QVariant array(plist_t node, const QString& where, int depth) {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
            if (auto item = value(plist_array_get_item(node, i), inside(where, QString::number(i)), depth + 1)) list += *item;
        }
        return QVariant(list);
    }

    QVariant dictionary(plist_t node, const QString& where, int depth) {
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
            if (auto v = value(item, inside(where, name), depth + 1)) map.insert(name, *v);
        }
        std::free(it);
        return QVariant(map);
    }
};

// libplist aborts the program when asked for a key or a string that holds a NUL byte (a binary
// list can carry one, and so can an XML one through an escape). Its XML writer is the one part of
// it that takes such a value whole: a tree whose XML form has a NUL byte is read again from that
// form, with every NUL byte made a mark of ours that the reader leaves out.
plist_t readableTree(const QByteArray& bytes) {
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return nullptr;
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
    plist_t root = readableTree(bytes);
    if (!root) return std::nullopt;
    Reader reader;
    std::optional<QVariant> value = reader.value(root, QString(), 0);
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
