#pragma once

#include "widgets/status_look.h"
#include "base/service_model.h"
#include "install/dependency_update_nudge.h"

#include <QString>

#include <map>
#include <optional>
#include <vector>

namespace cordavelle {

// The management window's sidebar entries. The raw value is also the row's title.
enum class SidebarSection { setup, varaHF, varaFM, direwolf, rigctld, clients };

template <>
struct EnumTraits<SidebarSection> {
    static constexpr bool iterable = true;
    static constexpr std::array cases{SidebarSection::setup,    SidebarSection::varaHF,  SidebarSection::varaFM,
                                      SidebarSection::direwolf, SidebarSection::rigctld, SidebarSection::clients};
    static constexpr std::array<std::string_view, 6> raw{"Setup", "VARA HF", "VARA FM", "Direwolf", "rigctld", "Clients"};
};

// The symbol drawn beside the section's title.
QString systemImage(SidebarSection section);
// VARA HF, VARA FM and Direwolf: the sections listed under "Modems".
bool isModem(SidebarSection section);
// The service a section is the page of; none for Setup and Clients.
std::optional<ServiceID> serviceID(SidebarSection section);

// The five things a first setup installs, each a file-system check.
struct SetupChecks {
    bool wine = false;
    bool winePrefix = false;
    bool varaHF = false;
    bool varaFM = false;
    bool rigctld = false;

    // The checks as they stand now, through the helper's own places and tool look-ups.
    static SetupChecks current();
};

// "n/5" while something is missing, a check mark once all five are there.
QString setupProgress(const SetupChecks &checks);

// "Update available: Wine 9.0 → 9.1, Hamlib 4.5 → 4.6"
QString updateBadgeTooltip(const std::vector<PendingDependencyUpdate> &updates);

// What the sidebar reads of the helper's state.
struct SidebarInputs {
    std::map<ServiceID, ServiceRunState> states;
    std::map<ServiceID, ServiceLifecycleMode> modes;
    int pendingPairings = 0;
    std::vector<PendingDependencyUpdate> pendingUpdates;
    SetupChecks setup;
};

struct SidebarRow {
    SidebarSection section = SidebarSection::setup;
    QString title;
    QString icon;
    // Service rows: the state dot, or "Disabled" in its place.
    std::optional<Tone> dot;
    // The run state the dot's colour stands for.
    QString dotMeaning;
    bool disabled = false;
    // A count in a capsule (orange for pairing requests, blue for updates); empty for none.
    QString badge;
    Tone badgeTone = Tone::orange;
    QString badgeTooltip;
    // Right-aligned text (the setup progress).
    QString trailing;

    bool operator==(const SidebarRow &) const = default;
};

struct SidebarGroup {
    QString title;
    std::vector<SidebarRow> rows;
};

// "Modems" (VARA HF, VARA FM, Direwolf), "Radio Control" (rigctld), "Management" (Clients,
// Setup): every row, and nothing outside these groups.
std::vector<SidebarGroup> sidebarModel(const SidebarInputs &inputs);

} // namespace cordavelle
