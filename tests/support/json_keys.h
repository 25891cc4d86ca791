#pragma once

#include "base/json_support.h"

#include <string>
#include <vector>

namespace cordavelle::test {

// The member names of a JSON object, in the order they stand in it.
inline std::vector<std::string> keysOf(const Json &object)
{
    std::vector<std::string> keys;
    for (const auto &[key, value] : object.items()) {
        keys.push_back(key);
    }
    return keys;
}

} // namespace cordavelle::test
