#pragma once

#include "base/service_config.h"
#include "radio/audio_device_manager.h"
#include "radio/rig_control_server_choice.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace cordavelle {

// Produces the direwolf.conf that Direwolf is started with: a part rebuilt from the settings on
// every write, and below it the lines the user added by hand, which survive every rewrite.
class DirewolfConfigManager {
public:
    DirewolfConfigManager() = delete;

    // What a rendering reads besides the settings record.
    struct Environment {
        // The port of the helper's own rigctld.
        int rigctldPort = 4532;
        // The enumerated sound devices; none: no devices.
        const AudioDeviceManager *audio = nullptr;
        // The client's rig-control servers; none: no servers.
        const RigControlServerDiscovery *discovery = nullptr;
        // The ports of the helper's own, which no advert of `discovery` may be taken at.
        QList<quint16> helperPorts;
        // The choice of the client's rig-control server already made for the PTT; with it,
        // `discovery` is not asked.
        std::optional<RigControlServerChoice> rigControl;
    };

    static inline const QString kUserBlockComment =
        QStringLiteral("# The lines below were added by hand.  Cordavelle preserves them on Save.");

    // The file that Direwolf is started with, in the support folder.
    static QString configPath();
    // Where earlier versions kept it; deleted on sight.
    static QString legacyConfigPath();

    // Writes the file atomically, keeping the hand-added lines of the existing one, and returns
    // its path. Throws FileError when it cannot be written (the old file then stays).
    static QString writeConfig(const DirewolfConfig &config, const Environment &environment);

    // The whole file text: the generated part and, when there are preserved lines, the user block.
    static QString assembleConfig(const DirewolfConfig &config, const QStringList &preservedUserLines,
                                  const Environment &environment);
    // The generated part alone. Without `rigctldPort` the environment's is used; without
    // `nativeRigControlPort` the environment's choice of server, else a choice from the discovery's
    // list (chooseRigControlServer).
    static QString renderConfig(const DirewolfConfig &config, const Environment &environment,
                                std::optional<int> rigctldPort = std::nullopt,
                                std::optional<quint16> nativeRigControlPort = std::nullopt);

    static QString resolveAudioDeviceName(const DirewolfConfig &config, const std::vector<AudioDevice> &inputDevices);
    static QString resolveAudioOutputName(const DirewolfConfig &config, const std::vector<AudioDevice> &outputDevices);
    static QString resolvedInputUID(const DirewolfConfig &config, const std::vector<AudioDevice> &inputDevices);
    // Direwolf picks a device by name; of several devices with one name, "name:k" picks the k-th.
    static QString disambiguateForDirewolf(const QString &name, const QString &uid,
                                           const std::vector<AudioDevice> &devices);
    // Bare when the text has no whitespace; otherwise in double quotes with inner quotes doubled.
    static QString quotedForDirewolfConf(const QString &text);
    // Drops line breaks and every other control character, which would otherwise start a new
    // directive of their own choosing inside the file.
    static QString withoutControlCharacters(const QString &text);
};

} // namespace cordavelle
