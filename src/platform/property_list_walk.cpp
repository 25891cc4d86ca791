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

} // namespace cordavelle
