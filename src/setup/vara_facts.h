#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace cordavelle {

// What is on disk for one VARA modem, as the setup's rows read it. Each fact is a function
// because it touches the file system, and a row looks at it only in the states where it matters.
struct VARAFacts {
    std::function<bool()> installed;   // the modem's program is in the prefix
    std::function<bool()> prefixReady; // the prefix can take an install
    std::function<std::optional<QString>()> installedVersion;
};

} // namespace cordavelle
