#pragma once

#include "install/wine_prefix_manager.h"

#include <optional>

namespace cordavelle::test {

// The Wine prefix set-up's tools where a test puts them; cabextract is taken as there already,
// and fetching it or winetricks does nothing.
struct FixedPrefixTools final : WinePrefixManager::Tools {
    std::optional<QString> findWine() override { return wine; }
    std::optional<QString> findWinetricks() override { return winetricks; }
    QString cabextractSource() override { return cabextract; }
    QCoro::Task<void> installCabextract(std::stop_token) override { co_return; }
    QCoro::Task<void> installWinetricks(std::stop_token) override { co_return; }

    std::optional<QString> wine;
    std::optional<QString> winetricks;
    QString cabextract;
};

} // namespace cordavelle::test
