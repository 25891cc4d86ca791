#pragma once

namespace cordavelle {

class AlertPresenter;
class AudioDeviceManager;
class Clock;
class CommandRunner;
class ConfigStore;
class DirewolfDiscovery;
class Installer;
class KeepaliveRequestAdvertiser;
class LegacyDirewolfCleanup;
class ManagementView;
class PageSurroundings;
class RigControlServerDiscovery;
class ServiceOrchestrator;
class UserDefaults;
class VARAInstaller;

// What the services' own pages (VARA HF and FM, Direwolf, rigctld) work with. The references
// must outlive the pages.
struct ServicePagesContext {
    ServiceOrchestrator &orchestrator;
    ConfigStore &config;
    RigControlServerDiscovery &rigControl;
    UserDefaults &defaults;
    AlertPresenter &alerts;
    Clock &clock;
    CommandRunner &commands;
    AudioDeviceManager &audio;
    KeepaliveRequestAdvertiser &keepalive;
    LegacyDirewolfCleanup &legacyDirewolf;
    VARAInstaller &varaHF;
    VARAInstaller &varaFM;
    // The Hamlib installer, whose progress the rigctld page shows.
    Installer &hamlib;
    DirewolfDiscovery &direwolfDiscovery;
    PageSurroundings &surroundings;
};

// Gives the management view the services' own pages.
void installDetailPages(ManagementView &view, const ServicePagesContext &context);

} // namespace cordavelle
