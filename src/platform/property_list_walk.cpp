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
            forEachDictionaryItem(node, [&pending, depth](const char *, plist_t value) {
                pending.emplace_back(value, depth + 1);
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

} // namespace cordavelle
