#pragma once

namespace cordavelle {

class AlertPresenter;
class ConfigStore;
class DependencyUpdateNudge;
class ExperimentalFeatureManager;
class HelperSetupState;
class PairingManager;
class RigControlServerDiscovery;
class ServiceOrchestrator;
class SettingsOpener;
class UserDefaults;

// What the application shell and its delegate work with; the shared instances in the program.
// The setup surfaces and the services' pages have contexts of their own (app/setup_views.h,
// app/detail_pages.h).
struct AppContext {
    ConfigStore &config;
    ServiceOrchestrator &orchestrator;
    PairingManager &pairing;
    RigControlServerDiscovery &discovery;
    UserDefaults &defaults;
    AlertPresenter &alerts;
    HelperSetupState &setup;
    SettingsOpener &settingsOpener;
    // The settings window's experimental switches.
    ExperimentalFeatureManager &experimental;
    // Checked once start-up has begun browsing; its pending updates badge the Setup row.
    DependencyUpdateNudge &updateNudge;
};

} // namespace cordavelle
