#pragma once

#include <plist/plist.h>

#include <QByteArrayView>

#include <cstdlib>
#include <memory>

namespace cordavelle {

// Calls `visit(key, value)` for each item of the dictionary `dict`, in its stored order. The key
// is valid only during the call.
template <class Visit>
void forEachDictionaryItem(plist_t dict, Visit &&visit)
{
    plist_dict_iter raw = nullptr;
    plist_dict_new_iter(dict, &raw);
    const std::unique_ptr<void, decltype(&std::free)> it(raw, &std::free);
    for (;;) {
        char *rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, it.get(), &rawKey, &value);
        const std::unique_ptr<char, decltype(&std::free)> key(rawKey, &std::free);
        if (!value) {
            return;
        }
        visit(static_cast<const char *>(key.get()), value);
    }
}

// Whether the tree below `root` (the root counting as level 1) has more than `limit` levels.
// Walks without recursion, so that any depth is safe to ask about.
bool propertyListNestsDeeperThan(plist_t root, int limit);

// Whether the XML text of a property list opens more than `limit` arrays and dictionaries inside
// one another. Read from the text itself, before the property-list library, whose reader
// recurses once per level and runs out of stack on a deep enough file.
bool xmlPropertyListNestsDeeperThan(QByteArrayView xml, int limit);

// Whether a binary property list holds more than `limit` arrays, sets and dictionaries, counted
// in its object table. No nesting can be deeper than that count, so a file within it is safe to
// hand to the library's reader, which also recurses once per level. A table the count can't be
// read from is left for the reader to refuse.
bool binaryPropertyListHoldsMoreContainersThan(QByteArrayView bytes, qsizetype limit);

} // namespace cordavelle
