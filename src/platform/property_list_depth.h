#pragma once

#include <plist/plist.h>

namespace cordavelle {

// Whether the tree below `root` (the root counting as level 1) has more than `limit` levels.
// Walks without recursion, so that any depth is safe to ask about.
bool propertyListNestsDeeperThan(plist_t root, int limit);

} // namespace cordavelle
