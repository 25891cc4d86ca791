#include "app/sidebar_model.h"

#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "core/service_orchestrator.h"
#include "install/wine_prefix_manager.h"

#include <QFileInfo>

namespace cordavelle {

namespace {

SidebarRow row(SidebarSection section)
{
    SidebarRow row;
    row.section = section;
    row.title = toRaw(section);
    row.icon = systemImage(section);
    return row;
}

SidebarRow serviceRow(SidebarSection section, const SidebarInputs &inputs)
{
    SidebarRow r = row(section);
    const ServiceID id = *serviceID(section);
    const auto mode = inputs.modes.find(id);
    if (mode != inputs.modes.end() && mode->second == ServiceLifecycleMode::disabled) {
        r.disabled = true;
        return r;
    }
    const auto state = inputs.states.find(id);
    const ServiceRunState now = state == inputs.states.end() ? ServiceRunState::stopped : state->second;
    r.dot = runStateTone(now);
    r.dotMeaning = runStateText(now);
    return r;
}

} // namespace

QString systemImage(SidebarSection section)
{
    switch (section) {
    case SidebarSection::setup: return QStringLiteral("checklist");
    case SidebarSection::varaHF: return QStringLiteral("wave.3.right");
    case SidebarSection::varaFM: return QStringLiteral("wave.3.right.circle");
    case SidebarSection::direwolf: return QStringLiteral("dog.fill");
    case SidebarSection::rigctld: return QStringLiteral("antenna.radiowaves.left.and.right");
    case SidebarSection::clients: return QStringLiteral("laptopcomputer.and.iphone");
    }
    return {};
}

bool isModem(SidebarSection section)
{
    return section == SidebarSection::varaHF || section == SidebarSection::varaFM ||
           section == SidebarSection::direwolf;
}

std::optional<ServiceID> serviceID(SidebarSection section)
{
    switch (section) {
    case SidebarSection::varaHF: return ServiceID::varaHF;
    case SidebarSection::varaFM: return ServiceID::varaFM;
    case SidebarSection::direwolf: return ServiceID::direwolf;
    case SidebarSection::rigctld: return ServiceID::rigctld;
    case SidebarSection::setup:
    case SidebarSection::clients: return std::nullopt;
    }
    return std::nullopt;
}

SetupChecks SetupChecks::current()
{
    SetupChecks checks;
    // The look-up tries the helper's own Wine first, so one call covers both.
    checks.wine = tools::findWine().has_value();
    const QString prefix = places::winePrefix();
    checks.winePrefix = QFileInfo(prefix + QStringLiteral("/drive_c/windows/system32")).exists() &&
                        WinePrefixManager::hasDependencies(prefix);
    checks.varaHF = ServiceOrchestrator::isVARAInstalled(VARAVariant::hf);
    checks.varaFM = ServiceOrchestrator::isVARAInstalled(VARAVariant::fm);
    checks.rigctld = tools::findRigctld().has_value();
    return checks;
}

QString setupProgress(const SetupChecks &checks)
{
    const int done = int(checks.wine) + int(checks.winePrefix) + int(checks.varaHF) + int(checks.varaFM) +
                     int(checks.rigctld);
    return done == 5 ? QStringLiteral("\u2713") : QStringLiteral("%1/5").arg(done);
}

QString updateBadgeTooltip(const std::vector<PendingDependencyUpdate> &updates)
{
    QStringList entries;
    for (const PendingDependencyUpdate &update : updates) {
        entries << update.summary();
    }
    return QStringLiteral("Update available: ") + entries.join(QStringLiteral(", "));
}

std::vector<SidebarGroup> sidebarModel(const SidebarInputs &inputs)
{
    SidebarGroup modems{QStringLiteral("Modems"), {}};
    for (SidebarSection section : allCases<SidebarSection>()) {
        if (isModem(section)) {
            modems.rows.push_back(serviceRow(section, inputs));
        }
    }
    SidebarGroup radio{QStringLiteral("Radio Control"), {serviceRow(SidebarSection::rigctld, inputs)}};

    SidebarRow clients = row(SidebarSection::clients);
    if (inputs.pendingPairings > 0) {
        clients.badge = QString::number(inputs.pendingPairings);
        clients.badgeTone = Tone::orange;
    }
    SidebarRow setup = row(SidebarSection::setup);
    if (!inputs.pendingUpdates.empty()) {
        setup.badge = QString::number(inputs.pendingUpdates.size());
        setup.badgeTone = Tone::blue;
        setup.badgeTooltip = updateBadgeTooltip(inputs.pendingUpdates);
    }
    setup.trailing = setupProgress(inputs.setup);
    SidebarGroup management{QStringLiteral("Management"), {clients, setup}};
    return {modems, radio, management};
}

} // namespace cordavelle
