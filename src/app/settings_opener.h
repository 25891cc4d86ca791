#pragma once

#include <functional>

namespace cordavelle {

// Lets code outside the windows (an alert, the API-failure path) open the settings window.
class SettingsOpener {
public:
    static SettingsOpener &shared();

    // What opens the settings window; replacing it releases the previous one.
    void setAction(std::function<void()> action) { m_action = std::move(action); }

    // Opens the settings window; without an action it logs an error and does nothing.
    void open();

private:
    std::function<void()> m_action;
};

} // namespace cordavelle
