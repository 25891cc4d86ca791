#pragma once

#include "app/setup_installers.h"
#include "app/sidebar_model.h"

#include <functional>

class QDialog;
class QWidget;

namespace cordavelle {

class AlertPresenter;
class AppActivation;
class ConfigStore;
class HelperSetupState;
class UserDefaults;

// What the setup checklist and the first-run wizard work with. The references must outlive
// both.
struct SetupContext {
    SetupInstallers installers;
    ConfigStore &config;
    UserDefaults &defaults;
    AlertPresenter &alerts;
    // Whether the wizard is asked for, and the record that set-up was completed.
    HelperSetupState &state;
    // Tells the wizard's Packet page when the desktop makes the helper active again.
    AppActivation &activation;
};

// The management window's Setup page: every dependency with its state and action. `select`
// sends the window to another section (a row's "Configure").
QWidget *makeSetupChecklistPage(const SetupContext &context, std::function<void(SidebarSection)> select,
                                QWidget *parent = nullptr);

// The first-run wizard's sheet over `parent`. Only its Done closes it; that records that set-up
// was completed and clears the request for the wizard, and sends the window to the Setup page
// through `select` when an install failed or is still running.
QDialog *makeSetupWizard(const SetupContext &context, std::function<void(SidebarSection)> select, QWidget *parent);

} // namespace cordavelle
