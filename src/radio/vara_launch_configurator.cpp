#include "vara_launch_configurator.h"

#include "radio/vara_config_manager.h"

#include "platform/files.h"

#include <QFileInfo>
#include <QStringList>

namespace cordavelle {

VARALaunchConfigurator::Error VARALaunchConfigurator::Error::writeFailed(const QString &underlyingDescription)
{
    return Error(Code::writeFailed, underlyingDescription);
}

VARALaunchConfigurator::Error::Error(Code code, QString underlying)
    : DescribedError(QStringLiteral("Failed to write VARA ini: ") + underlying), m_code(code),
      m_underlying(std::move(underlying))
{
}

namespace {

// The radios whose audio reaches the computer as a network or virtual device rather than a
// USB codec.
bool prefersVirtualNetworkAudio(std::optional<int> rigModel)
{
    return rigModel && (*rigModel == 2036 || (*rigModel >= 23005 && *rigModel <= 23012));
}

} // namespace

VARALaunchConfigurator::Outcome VARALaunchConfigurator::selfHeal(VARAVariant variant, std::optional<int> rigModel,
                                                                 const WineDrivers &drivers)
{
    using Manager = VARAConfigManager;
    if (!QFileInfo::exists(Manager::iniPath(variant))) {
        return Outcome::iniMissing();
    }

    Manager::VARASettings settings = Manager::readSettings(variant);
    const bool preferVirtualNetwork = prefersVirtualNetworkAudio(rigModel);
    const QString arrow = QStringLiteral(" \u2192 ");
    QStringList notes;

    if (settings.inputDeviceName.isEmpty()) {
        if (const auto device = Manager::suggestedDevice(Manager::AudioDirection::input, preferVirtualNetwork, drivers)) {
            settings.inputDeviceName = device->displayName;
            notes.append(QStringLiteral("input device") + arrow + device->displayName);
        }
    }
    if (settings.outputDeviceName.isEmpty()) {
        if (const auto device = Manager::suggestedDevice(Manager::AudioDirection::output, preferVirtualNetwork, drivers)) {
            settings.outputDeviceName = device->displayName;
            notes.append(QStringLiteral("output device") + arrow + device->displayName);
        }
    }
    const int port = commandPort(variant);
    if (settings.tcpCommandPort != port) {
        notes.append(QStringLiteral("port ") + QString::number(settings.tcpCommandPort) + arrow + QString::number(port));
        settings.tcpCommandPort = port;
    }
    if (notes.isEmpty()) {
        return Outcome::unchanged();
    }

    try {
        Manager::writeSettings(settings, variant);
    } catch (const VARAConfigError &error) {
        throw Error::writeFailed(error.description());
    } catch (const FileError &error) {
        throw Error::writeFailed(error.description());
    }
    return Outcome::healed(notes.join(QStringLiteral(", ")));
}

} // namespace cordavelle
