#include "property_list_walk.h"

#include <utility>
#include <vector>

namespace cordavelle {

bool propertyListNestsDeeperThan(plist_t root, int limit)
{
    std::vector<std::pair<plist_t, int>> pending{{root, 1}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        if (depth > limit) {
            return true;
        }
        if (plist_get_node_type(node) == PLIST_ARRAY) {
            const uint32_t n = plist_array_get_size(node);
            for (uint32_t i = 0; i < n; ++i) {
                pending.emplace_back(plist_array_get_item(node, i), depth + 1);
            }
        } else if (plist_get_node_type(node) == PLIST_DICT) {
            forEachDictionaryItem(node, [&pending, below = depth + 1](const char *, plist_t value) {
                pending.emplace_back(value, below);
            });
        }
    }
    return false;
}

bool xmlPropertyListNestsDeeperThan(QByteArrayView xml, int limit)
{
    const auto opensTag = [&xml](qsizetype at, QByteArrayView name) {
        const qsizetype end = at + name.size();
        return xml.sliced(at).startsWith(name) && end < xml.size()
               && (xml[end] == '>' || xml[end] == '/' || xml[end] == ' ' || xml[end] == '\t' || xml[end] == '\n'
                   || xml[end] == '\r');
    };
    int depth = 0;
    qsizetype at = xml.indexOf('<');
    while (at >= 0 && at + 1 < xml.size()) {
        if (xml.sliced(at).startsWith("<!--")) {
            const qsizetype end = xml.indexOf(QByteArrayView("-->"), at + 4);
            if (end < 0) {
                break;
            }
            at = xml.indexOf('<', end + 3);
            continue;
        }
        const qsizetype close = xml.indexOf('>', at);
        if (close < 0) {
            break;
        }
        const bool selfClosing = xml[close - 1] == '/';
        if (opensTag(at + 1, "array") || opensTag(at + 1, "dict")) {
            if (!selfClosing && ++depth > limit) {
                return true;
            }
        } else if (opensTag(at + 1, "/array") || opensTag(at + 1, "/dict")) {
            --depth;
        }
        at = xml.indexOf('<', close + 1);
    }
    return false;
}

bool binaryPropertyListHoldsMoreContainersThan(QByteArrayView bytes, qsizetype limit)
{
    // The trailer: 6 unused bytes, the size of an offset, the size of a reference, then the
    // number of objects, the top object and where the offset table starts, 8 bytes each.
    constexpr qsizetype kTrailer = 32;
    if (bytes.size() < 8 + kTrailer) {
        return false;
    }
    const auto bigEndian = [&bytes](qsizetype at, qsizetype width) {
        quint64 value = 0;
        for (qsizetype i = 0; i < width; ++i) {
            value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
        }
        return value;
    };
    const qsizetype trailer = bytes.size() - kTrailer;
    const qsizetype offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
    const quint64 objects = bigEndian(trailer + 8, 8);
    const quint64 table = bigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || table > quint64(trailer)
        || objects > (quint64(trailer) - table) / quint64(offsetSize)) {
        return false;
    }
    qsizetype containers = 0;
    for (quint64 i = 0; i < objects; ++i) {
        const quint64 offset = bigEndian(static_cast<qsizetype>(table + i * offsetSize), offsetSize);
        if (offset >= quint64(trailer)) {
            return false;
        }
        const int kind = static_cast<unsigned char>(bytes[static_cast<qsizetype>(offset)]) >> 4;
        // 0xA array, 0xC set, 0xD dictionary.
        if ((kind == 0xA || kind == 0xC || kind == 0xD) && ++containers > limit) {
            return true;
        }
    }
    return false;
}

} // namespace cordavelle
