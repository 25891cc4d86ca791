#pragma once

namespace cordavelle {

class AlertPresenter;
class ConfigStore;
class DependencyUpdateNudge;
class ExperimentalFeatureManager;
class HelperSetupState;
class PairingManager;
class Platform;
class RigControlServerDiscovery;
class ServiceOrchestrator;
class SettingsOpener;
class UserDefaults;
class WinePrefixHold;

// What the application shell and its delegate work with; the shared instances in the program.
// The setup surfaces and the services' pages stand above the shell and have contexts of their
// own, which the program's entry makes (app/shell_pages.h).
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
    // Held while the Wine prefix is removed, as every installer working in it holds it.
    WinePrefixHold &prefixHold;
    // The clock, the keychain, the login item, Bonjour, notifications and the places the
    // application and its start-up work with.
    Platform &platform;
};

} // namespace cordavelle
