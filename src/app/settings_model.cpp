#include "settings_model.h"

#include "base/tcp_port.h"
#include "core/config_store.h"
#include "core/experimental_features.h"

namespace cordavelle::settings_model {

const std::vector<IdleDelayOption> &idleDelayOptions()
{
    static const std::vector<IdleDelayOption> options{
        {QStringLiteral("Immediately"), 0},  {QStringLiteral("1 minute"), 1},    {QStringLiteral("5 minutes"), 5},
        {QStringLiteral("15 minutes"), 15}, {QStringLiteral("30 minutes"), 30}, {QStringLiteral("Never"), -1},
    };
    return options;
}

std::optional<int> idleDelayIndex(int minutes)
{
    const auto &options = idleDelayOptions();
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (options[i].minutes == minutes) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

QString appearanceCaption(AppAppearanceMode mode)
{
    switch (mode) {
    case AppAppearanceMode::dock:
        return QStringLiteral("The app appears in the taskbar. Open it from the taskbar or the application menu.");
    case AppAppearanceMode::menuBar:
        return QStringLiteral("The app appears only in the system tray. No taskbar entry is shown.");
    case AppAppearanceMode::both:
        return QStringLiteral("The app appears in both the taskbar and the system tray.");
    }
    return {};
}

QString networkCaption(bool allowNetworkAccess, bool awaitsRestart)
{
    const QString caption =
        allowNetworkAccess
            ? QStringLiteral("Services are accessible from other devices on the local network (e.g., iPad).")
            : QStringLiteral("Services are only accessible from this computer (localhost). Enable for iPad or "
                             "remote client access.");
    return awaitsRestart ? caption + QStringLiteral(" Restart required to take effect.") : caption;
}

QString pairingCaption(bool requirePairing)
{
    return requirePairing ? QStringLiteral("New clients must be approved before accessing services. Check the Clients "
                                           "tab for pending requests.")
                          : QStringLiteral("All clients are accepted automatically. Clients are still tracked in the "
                                           "Clients tab.");
}

bool showsPairingWarning(bool allowNetworkAccess, bool requirePairing) { return allowNetworkAccess && requirePairing; }

bool approvesAllPending(bool before, bool after) { return before && !after; }

std::optional<QString> apiPortProblem(const QString &text, const ConfigStore &config)
{
    if (text.trimmed().isEmpty()) {
        return std::nullopt;
    }
    const std::optional<int> port = parsePort(text);
    return port ? config.apiPortProblem(*port) : invalidPortText();
}

bool ExperimentalSwitch::flip(bool on)
{
    if (on && !m_manager.warningShown()) {
        m_warningPending = true;
        return true;
    }
    m_failure = m_manager.setMasterEnabled(on);
    return false;
}

void ExperimentalSwitch::answerWarning(bool enable)
{
    m_warningPending = false;
    if (enable) {
        m_failure = m_manager.setWarningShown(true);
        if (!m_failure) {
            m_failure = m_manager.setMasterEnabled(true);
        }
    }
}

Alert ExperimentalSwitch::warningAlert()
{
    Alert alert;
    alert.message = QStringLiteral("Enable Experimental Features?");
    alert.informativeText = QStringLiteral("Experimental features are under active development and may be "
                                           "incomplete, unstable, or change without notice.");
    alert.buttons = {QStringLiteral("Enable"), QStringLiteral("Cancel")};
    return alert;
}

} // namespace cordavelle::settings_model
