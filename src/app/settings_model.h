#pragma once

#include "widgets/alert_presenter.h"
#include "base/app_appearance_mode.h"

#include <QString>

#include <optional>
#include <utility>
#include <vector>

namespace cordavelle {

class ConfigStore;
class ExperimentalFeatureManager;

// What the settings window decides; the widgets only show it.
namespace settings_model {

struct IdleDelayOption {
    QString label;
    int minutes;
};
// The idle-shutdown choices in the order shown: 0 stops at once, -1 never.
const std::vector<IdleDelayOption> &idleDelayOptions();
// The option of a stored delay; none for a value that is no option, which then stays stored
// until the user picks one.
std::optional<int> idleDelayIndex(int minutes);

QString appearanceCaption(AppAppearanceMode mode);
// `awaitsRestart`: a service runs as it was launched under the other setting.
QString networkCaption(bool allowNetworkAccess, bool awaitsRestart);
QString pairingCaption(bool requirePairing);
// Tokens travel in clear text over the network only when both are on.
bool showsPairingWarning(bool allowNetworkAccess, bool requirePairing);
// Switching pairing off lets every waiting client in, once, at the change.
bool approvesAllPending(bool before, bool after);
// Why the API port field's text can't be stored, or nothing: text that is no port from 1 to
// 65535, or a port this user may not listen on. Empty text is none: the stored port comes back.
std::optional<QString> apiPortProblem(const QString &text, const ConfigStore &config);


// The experimental master switch. Turning it on for the first time asks first: the switch stays
// off while the alert is up; "Enable" sets the warning flag, then the switch; "Cancel" changes
// nothing, so the alert comes again next time. Turning it off never asks.
class ExperimentalSwitch {
public:
    explicit ExperimentalSwitch(ExperimentalFeatureManager &manager) : m_manager(manager) {}

    // The user flipped the switch to `on`. True when the first-time alert must now be shown.
    bool flip(bool on);
    bool warningPending() const { return m_warningPending; }
    // The alert's answer.
    void answerWarning(bool enable);
    // Why the last change could not be saved, if it could not; asking clears it.
    std::optional<QString> takeFailure() { return std::exchange(m_failure, std::nullopt); }

    static Alert warningAlert();

private:
    ExperimentalFeatureManager &m_manager;
    bool m_warningPending = false;
    std::optional<QString> m_failure;
};

} // namespace settings_model
} // namespace cordavelle
