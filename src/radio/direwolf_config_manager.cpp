#include "direwolf_config_manager.h"

#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "base/spaces_and_tabs.h"
#include "platform/files.h"
#include "radio/direwolf_config_parser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

namespace cordavelle {

namespace {

constexpr auto kServices = HelperLogger::Category::services;

const QString kDefaultDeviceName = QStringLiteral("default");

RigControlServerChoice nativeRigControl(const DirewolfConfig &config, const DirewolfConfigManager::Environment &environment,
                                        std::optional<quint16> port)
{
    if (port) {
        return {RigControlServerEndpoint{{}, *port}, {}};
    }
    if (environment.rigControl) {
        return *environment.rigControl;
    }
    if (!environment.discovery) {
        return {};
    }
    return chooseRigControlServer(*environment.discovery, config.nativeRigControlRadioName, environment.helperPorts);
}

const AudioDevice *firstWithUID(const std::vector<AudioDevice> &devices, const QString &uid)
{
    for (const AudioDevice &device : devices) {
        if (device.uid == uid) {
            return &device;
        }
    }
    return nullptr;
}

const AudioDevice *firstDefaultInput(const std::vector<AudioDevice> &devices)
{
    for (const AudioDevice &device : devices) {
        if (device.isDefaultInput) {
            return &device;
        }
    }
    return nullptr;
}

QString defaultInputName(const std::vector<AudioDevice> &inputDevices)
{
    if (const AudioDevice *device = firstDefaultInput(inputDevices)) {
        return device->name;
    }
    HelperLogger::warning(QStringLiteral("[Direwolf] System default input device requested but no ALSA input "
                                         "devices are enumerated as default — Direwolf will surface its own error"),
                          kServices);
    return kDefaultDeviceName;
}

QStringList pttLines(const DirewolfConfig &config, const DirewolfConfigManager::Environment &environment, int rigctldPort,
                     std::optional<quint16> nativeRigControlPort)
{
    const DirewolfPTTMethod method = config.pttMethod.value_or(DirewolfPTTMethod::vox());
    switch (method.kind()) {
    case DirewolfPTTMethod::Kind::vox:
        return {};
    case DirewolfPTTMethod::Kind::serial: {
        const QString path = trimmedSpacesAndTabs(DirewolfConfigManager::withoutControlCharacters(method.portPath()));
        if (path.isEmpty()) {
            return {};
        }
        // Direwolf ignores a serial PTT line that names no control line; RTS is the usual wiring.
        return {QStringLiteral("PTT ") + DirewolfConfigManager::quotedForDirewolfConf(path) + QStringLiteral(" RTS")};
    }
    case DirewolfPTTMethod::Kind::rigctld:
        return {QStringLiteral("PTT RIG 2 127.0.0.1:") + QString::number(rigctldPort)};
    case DirewolfPTTMethod::Kind::nativeCorvexa: {
        // Looked at only here: the choice reads the machine's socket table for every listed server.
        const RigControlServerChoice choice = nativeRigControl(config, environment, nativeRigControlPort);
        if (choice.chosen) {
            return {QStringLiteral("PTT RIG 2 127.0.0.1:") + QString::number(choice.chosen->port)};
        }
        const QString name =
            trimmedSpacesAndTabs(DirewolfConfigManager::withoutControlCharacters(config.nativeRigControlRadioName));
        const QString radio = name.isEmpty() ? QStringLiteral("any Native-source radio")
                                             : QStringLiteral("the '") + name + QStringLiteral("' Native radio");
        // Every line begins as the parser knows the generated ones: a line it took for the user's
        // would be kept in every later file.
        if (!choice.passedOver.empty()) {
            QStringList lines{QStringLiteral("# PTT: 'CAT via Cordavelle' selected but no Cordavelle"),
                              QStringLiteral("# RigControlServer advertisement for ") + radio +
                                  QStringLiteral(" could be used; passed over:")};
            for (const PassedOverRigControlServer &passed : choice.passedOver) {
                lines << QStringLiteral("# Passed over: ") + shownRigControlServer(passed.server) + QLatin1Char(' ') +
                             passed.reason + QLatin1Char('.');
            }
            lines << QStringLiteral("# Start Cordavelle first, then Stop and Start Direwolf.  Falling back to VOX.");
            return lines;
        }
        return {
            QStringLiteral("# PTT: 'CAT via Cordavelle' selected but no Cordavelle"),
            QStringLiteral("# RigControlServer advertisement for ") + radio + QStringLiteral(" was discovered."),
            QStringLiteral("# Start Cordavelle first, then Stop and Start Direwolf.  Falling back to VOX."),
        };
    }
    }
    return {};
}

// The current file as text; missing, unreadable or not UTF-8 counts as empty.
QString readExisting(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError()) {
        return {};
    }
    return text;
}

} // namespace

QString DirewolfConfigManager::configPath() { return places::direwolfConfigFile(); }

QString DirewolfConfigManager::legacyConfigPath() { return places::legacyDirewolfConfigFile(); }

QString DirewolfConfigManager::writeConfig(const DirewolfConfig &config, const Environment &environment)
{
    const QString legacy = legacyConfigPath();
    if (QFileInfo::exists(legacy) && QFile::remove(legacy)) {
        HelperLogger::info(QStringLiteral("[DirewolfConfig] Removed legacy config at ") + legacy, kServices);
    }

    const QString path = configPath();
    const DirewolfConfigParser::ParseResult existing = DirewolfConfigParser::parse(readExisting(path));
    const QString text = assembleConfig(config, existing.userLines, environment);

    // A reset may have removed the support folder since it was first made.
    makeFolders(folderOf(path));
    writeFileAtomically(path, text.toUtf8());

    QString message = QStringLiteral("[DirewolfConfig] Wrote config to ") + path;
    if (existing.hasUserContent) {
        message += QStringLiteral(" (preserved %1 user lines)").arg(existing.userLines.size());
    }
    HelperLogger::info(message, kServices);
    return path;
}

QString DirewolfConfigManager::assembleConfig(const DirewolfConfig &config, const QStringList &preservedUserLines,
                                              const Environment &environment)
{
    QString text = renderConfig(config, environment);
    if (preservedUserLines.isEmpty()) {
        return text;
    }
    while (text.endsWith(QStringLiteral("\n\n"))) {
        text.chop(1);
    }
    if (!text.endsWith(QLatin1Char('\n'))) {
        text += QLatin1Char('\n');
    }
    text += QLatin1Char('\n');
    text += DirewolfConfigParser::kUserBlockMarker + QLatin1Char('\n');
    text += kUserBlockComment + QLatin1Char('\n');
    text += QLatin1Char('\n');
    text += preservedUserLines.join(QLatin1Char('\n'));
    if (!text.endsWith(QLatin1Char('\n'))) {
        text += QLatin1Char('\n');
    }
    return text;
}

QString DirewolfConfigManager::renderConfig(const DirewolfConfig &config, const Environment &environment,
                                            std::optional<int> rigctldPort,
                                            std::optional<quint16> nativeRigControlPort)
{
    const int rigPort = rigctldPort.value_or(environment.rigctldPort);

    QString station = trimmedSpacesAndTabs(withoutControlCharacters(config.callsign).toUpper());
    if (config.ssid != 0) {
        station += QLatin1Char('-') + QString::number(config.ssid);
    }

    static const std::vector<AudioDevice> kNone;
    const std::vector<AudioDevice> &inputs = environment.audio ? environment.audio->inputDevices() : kNone;
    const std::vector<AudioDevice> &outputs = environment.audio ? environment.audio->outputDevices() : kNone;
    const QString input = withoutControlCharacters(disambiguateForDirewolf(
        resolveAudioDeviceName(config, inputs), resolvedInputUID(config, inputs), inputs));
    const QString output = withoutControlCharacters(disambiguateForDirewolf(
        resolveAudioOutputName(config, outputs), trimmedSpacesAndTabs(config.customAudioOutputUID), outputs));
    QString adevice = QStringLiteral("ADEVICE ") + quotedForDirewolfConf(input);
    if (!output.isEmpty() && output != input) {
        adevice += QLatin1Char(' ') + quotedForDirewolfConf(output);
    }

    QStringList lines{
        QStringLiteral("# direwolf.conf — generated by Cordavelle Helper"),
        QStringLiteral("# Do not edit this file. Changes are overwritten on each service start."),
        QStringLiteral("# Edit settings in the Cordavelle Helper app instead."),
        QString(),
        QStringLiteral("# ---- Channel 0 ----"),
        adevice,
        QStringLiteral("ACHANNELS 1"),
        QString(),
        QStringLiteral("CHANNEL 0"),
        QStringLiteral("MYCALL ") + station,
        QStringLiteral("MODEM ") + QString::number(toRaw(config.speed)),
        QStringLiteral("TXDELAY 50"),
    };
    lines << pttLines(config, environment, rigPort, nativeRigControlPort);
    lines << QString() << QStringLiteral("# ---- AGW Server ----") << QStringLiteral("AGWPORT ") + QString::number(config.agwPort)
          << QString() << QStringLiteral("# ---- KISS Server ----")
          << QStringLiteral("KISSPORT ") + QString::number(config.kissPort) << QString();
    return lines.join(QLatin1Char('\n'));
}

QString DirewolfConfigManager::resolveAudioDeviceName(const DirewolfConfig &config,
                                                      const std::vector<AudioDevice> &inputDevices)
{
    if (config.audioDevice == DirewolfAudioDevice::default_) {
        return defaultInputName(inputDevices);
    }
    const QString uid = trimmedSpacesAndTabs(config.customAudioDeviceUID);
    const QString name = trimmedSpacesAndTabs(config.customAudioDeviceName);
    if (!uid.isEmpty()) {
        if (const AudioDevice *device = firstWithUID(inputDevices, uid)) {
            return device->name;
        }
        HelperLogger::warning(QStringLiteral("[Direwolf] Configured audio device UID '") + uid +
                                  QStringLiteral("' not currently enumerated — falling back"),
                              kServices);
    }
    if (!name.isEmpty()) {
        return name;
    }
    HelperLogger::warning(QStringLiteral("[Direwolf] No audio device configured — falling back to system default"),
                          kServices);
    return defaultInputName(inputDevices);
}

QString DirewolfConfigManager::resolveAudioOutputName(const DirewolfConfig &config,
                                                      const std::vector<AudioDevice> &outputDevices)
{
    const QString uid = trimmedSpacesAndTabs(config.customAudioOutputUID);
    if (uid.isEmpty()) {
        return {};
    }
    if (const AudioDevice *device = firstWithUID(outputDevices, uid)) {
        return device->name;
    }
    HelperLogger::warning(QStringLiteral("[Direwolf] Configured audio output UID '") + uid +
                              QStringLiteral("' not currently enumerated — falling back to single-device mode"),
                          kServices);
    return {};
}

QString DirewolfConfigManager::resolvedInputUID(const DirewolfConfig &config, const std::vector<AudioDevice> &inputDevices)
{
    if (config.audioDevice == DirewolfAudioDevice::default_) {
        const AudioDevice *device = firstDefaultInput(inputDevices);
        return device ? device->uid : QString();
    }
    const QString uid = trimmedSpacesAndTabs(config.customAudioDeviceUID);
    return firstWithUID(inputDevices, uid) ? uid : QString();
}

QString DirewolfConfigManager::disambiguateForDirewolf(const QString &name, const QString &uid,
                                                       const std::vector<AudioDevice> &devices)
{
    if (name.isEmpty()) {
        return {};
    }
    std::vector<const AudioDevice *> same;
    for (const AudioDevice &device : devices) {
        if (device.name == name) {
            same.push_back(&device);
        }
    }
    if (same.size() < 2 || uid.isEmpty()) {
        return name;
    }
    for (size_t k = 0; k < same.size(); ++k) {
        if (same[k]->uid == uid) {
            return name + QLatin1Char(':') + QString::number(k + 1);
        }
    }
    return name;
}

QString DirewolfConfigManager::quotedForDirewolfConf(const QString &text)
{
    bool hasSpace = false;
    for (const QChar c : text) {
        if (c.isSpace()) {
            hasSpace = true;
            break;
        }
    }
    if (!hasSpace) {
        return text;
    }
    QString inner = text;
    inner.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + inner + QLatin1Char('"');
}

QString DirewolfConfigManager::withoutControlCharacters(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const auto category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph) {
            continue;
        }
        out += c;
    }
    return out;
}

} // namespace cordavelle
