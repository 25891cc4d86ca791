#pragma once

#include <QString>

#include <optional>

namespace cordavelle {

// Tells the name the API is announced under over Bonjour.
class AdvertisedName {
public:
    virtual ~AdvertisedName() = default;
    // The registered name once known; absent while nothing is advertised.
    virtual std::optional<QString> advertisedName() = 0;
};

} // namespace cordavelle
