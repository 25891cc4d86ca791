// The steps of the prefix's full set-up: wineboot, the audio defaults in the prefix's registry,
// cabextract where winetricks finds it, and the runtime packages VARA needs.
#include "wine_prefix_manager.h"

#include "base/helper_error.h"
#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "base/wine_environment.h"
#include "platform/cancellation.h"
#include "platform/files.h"
#include "platform/program_file.h"
#include "platform/tool_locator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>

namespace cordavelle {

namespace {

struct RegistryDefault {
    const char *key;
    const char *valueName;
    const char *data;
    const char *step;
};

// PulseAudio's driver, which PulseAudio and PipeWire desktops both serve, and the DirectSound
// format that keeps the modems clear of audio format crashes.
constexpr std::array kAudioDefaults{
    RegistryDefault{"HKEY_CURRENT_USER\\Software\\Wine\\Drivers", "Audio", "pulse", "Configuring PulseAudio driver"},
    RegistryDefault{"HKEY_CURRENT_USER\\Software\\Wine\\DirectSound", "DefaultSampleRate", "48000",
                    "Setting DirectSound default sample rate"},
    RegistryDefault{"HKEY_CURRENT_USER\\Software\\Wine\\DirectSound", "DefaultBitsPerSample", "16",
                    "Setting DirectSound default bits per sample"},
};

const std::array<QString, 3> kPackages{QStringLiteral("vb6run"), QStringLiteral("pdh"), QStringLiteral("win7")};

QString userName()
{
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? qEnvironmentVariable("LOGNAME") : user;
}

QProcessEnvironment winetricksEnvironment(const QString &wine, const QString &toolsFolder, const QString &prefix)
{
    return WineEnvironment::winetricks(wine, toolsFolder, places::homeFolder(), userName(), prefix);
}

} // namespace

QCoro::Task<void> WinePrefixManager::initializePrefix(std::stop_token stop)
{
    const std::optional<QString> wine = m_with.tools.findWine();
    if (!wine) {
        throw tools::noWineError();
    }
    setState(State::initializing(QStringLiteral("Creating Wine prefix...")));
    appendLog(QStringLiteral("Initializing Wine prefix at ") + m_with.prefix);
    const QString parent = QFileInfo(m_with.prefix).path();
    if (!makeFolders(parent)) {
        throw FileError(QStringLiteral("The folder \u201C%1\u201D could not be made.").arg(parent));
    }
    co_await runProcess(*wine, WineEnvironment::winebootInitArguments(), WineEnvironment::prefixSetup(m_with.prefix),
                        QStringLiteral("Initializing Wine prefix"), stop);
    appendLog(QStringLiteral("Wine prefix initialized successfully"));
    co_await configureAudioDefaults(*wine, stop);
}

QCoro::Task<void> WinePrefixManager::configureAudioDefaults(QString winePath, std::stop_token stop)
{
    setState(State::initializing(QStringLiteral("Configuring audio driver...")));
    const QProcessEnvironment environment = WineEnvironment::prefixSetup(m_with.prefix);
    std::size_t i = 0;
    for (; i < kAudioDefaults.size(); ++i) {
        if (i == 0) {
            appendLog(QStringLiteral("Setting PulseAudio as default Wine audio driver"));
        } else if (i == 1) {
            appendLog(QStringLiteral("Planting DirectSound defaults (48000 Hz / 16-bit) \u2014 mitigates #64 audio "
                                     "format crashes"));
        }
        const RegistryDefault &value = kAudioDefaults[i];
        co_await runProcess(winePath,
                            WineEnvironment::regAddArguments(QString::fromUtf8(value.key),
                                                             QString::fromUtf8(value.valueName),
                                                             QString::fromUtf8(value.data)),
                            environment, QString::fromUtf8(value.step), stop);
    }
    appendLog(QStringLiteral("PulseAudio + DirectSound defaults configured"));
}

QCoro::Task<void> WinePrefixManager::ensureCabextract(QString toolsFolder, std::stop_token stop)
{
    // Looked for on the search path winetricks will be given, not on the helper's own.
    const QString wine = m_with.tools.findWine().value_or(QString());
    QStringList path = winetricksEnvironment(wine, toolsFolder, m_with.prefix).value(QStringLiteral("PATH")).split(u':');
    if (wine.isEmpty()) {
        path.removeFirst();
    }
    // Wine's folder and the helper's tools folder are this machine's paths already; the fixed
    // folders after them are named ones, which the tool locator places.
    const QStringList ownFolders{QFileInfo(wine).path(), toolsFolder};
    const ToolLocator &locator = m_with.locator;
    bool beforeToolsFolder = true;
    for (const QString &folder : path) {
        const QString named = folder + QStringLiteral("/cabextract");
        const QString candidate = ownFolders.contains(folder) ? named : locator.hostPath(named);
        beforeToolsFolder = beforeToolsFolder && folder != toolsFolder;
        if (!ToolLocator::isExecutableFile(candidate)) {
            continue;
        }
        const ProgramFile file = inspectProgramFile(candidate);
        if (!file.changeable) {
            appendLog(QStringLiteral("cabextract already available on PATH"));
            co_return;
        }
        // winetricks runs the first cabextract on its PATH: a copy of the helper's own in the
        // tools folder comes before this one, unless this one lies in Wine's own folder.
        const QString passedOver = passedOverText(QStringLiteral("cabextract"), PassedOver{candidate, *file.changeable});
        if (beforeToolsFolder) {
            throw DescribedError(passedOver);
        }
        appendLog(passedOver);
        break;
    }

    const QString source = m_with.tools.cabextractSource();
    if (!ToolLocator::isExecutableFile(source)) {
        setState(State::initializing(QStringLiteral("Installing cabextract...")));
        appendLog(QStringLiteral("Downloading cabextract (required by winetricks)..."));
        co_await m_with.tools.installCabextract(stop);
    }
    if (!ToolLocator::isExecutableFile(source)) {
        throw WinePrefixError::processExited(QStringLiteral("cabextract install"), 1);
    }
    // A folder of the helper's own (0700) that nobody else can slip a program into.
    const QString folder = makePrivateFolder(toolsFolder);
    const QString staged = folder + QStringLiteral("/cabextract");
    QFile::remove(staged);
    if (!QFile::copy(source, staged)) {
        throw FileError(QStringLiteral("cabextract could not be copied to \u201C%1\u201D.").arg(folder));
    }
    if (!QFile::setPermissions(staged, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                           QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther)) {
        throw FileError(QStringLiteral("The permissions of \u201C%1\u201D could not be set.").arg(staged));
    }
    appendLog(QStringLiteral("cabextract staged at ") + staged);
}

QCoro::Task<void> WinePrefixManager::installDependencies(QString toolsFolder, std::stop_token stop)
{
    std::optional<QString> winetricks = m_with.tools.findWinetricks();
    if (!winetricks) {
        // A Wine that came without it, or the Wine install's own fetch of it failed: fetched here
        // as that install does, so that the set-up is no dead end where only it is started.
        appendLog(QStringLiteral("Downloading winetricks..."));
        try {
            co_await m_with.tools.installWinetricks(stop);
        } catch (const OperationCancelled &) {
            throw;
        } catch (const std::exception &error) {
            throw DescribedError(tools::withAptAdvice(QString::fromUtf8(error.what()), QStringLiteral("winetricks")));
        }
        throwIfStopped(stop);
        appendLog(QStringLiteral("winetricks installed"));
        winetricks = m_with.tools.findWinetricks();
    }
    if (!winetricks) {
        throw WinePrefixError::winetricksNotFound(tools::lookUpWinetricks().passedOver);
    }
    const std::optional<QString> wine = m_with.tools.findWine();
    if (!wine) {
        throw tools::noWineError();
    }
    const QProcessEnvironment environment = winetricksEnvironment(*wine, toolsFolder, m_with.prefix);
    std::size_t i = 0;
    for (; i < kPackages.size(); ++i) {
        const QString &package = kPackages[i];
        const QString step = QStringLiteral("Installing %1 (%2/%3)").arg(package).arg(i + 1).arg(kPackages.size());
        setState(State::initializing(step + QStringLiteral("...")));
        appendLog(QStringLiteral("Installing winetricks package: ") + package);
        co_await runProcess(*winetricks, WineEnvironment::winetricksArguments(package), environment, step, stop);
        appendLog(QStringLiteral("Finished installing ") + package);
    }
    setState(State::ready());
    appendLog(QStringLiteral("All dependencies installed successfully"));
}

} // namespace cordavelle
