#pragma once

namespace cordavelle {

class AudioDeviceManager;
class Clock;
class CommandRunner;
class KeepaliveRequestAdvertiser;
class LegacyDirewolfCleanup;

// What the services' own pages work with besides the objects of the application's context.
struct ServicePageParts {
    Clock &clock;
    CommandRunner &commands;
    AudioDeviceManager &audio;
    KeepaliveRequestAdvertiser &keepalive;
    LegacyDirewolfCleanup &legacyDirewolf;
};

} // namespace cordavelle
