#include "settings_opener.h"

#include "app/app_log.h"

namespace cordavelle {

SettingsOpener &SettingsOpener::shared()
{
    static SettingsOpener opener;
    return opener;
}

void SettingsOpener::open()
{
    if (!m_action) {
        appLog().error(QStringLiteral(
            "openSettings action not yet wired — Settings window cannot be opened from this context"));
        return;
    }
    // A copy: the action may replace itself.
    const auto action = m_action;
    action();
}

} // namespace cordavelle
