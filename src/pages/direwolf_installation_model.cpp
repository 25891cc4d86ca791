#include "direwolf_page_model.h"

#include "base/helper_error.h"
#include "radio/direwolf_discovery.h"

#include <QFileInfo>

namespace cordavelle::direwolf_page {

namespace {

const QString kChooseCustomHelp = QStringLiteral(
    "Point the Helper at a specific direwolf binary — e.g. one you compiled yourself, or one installed in a folder the "
    "Helper doesn't search.");
const QString kAptUpgrade = QStringLiteral("sudo apt-get install --only-upgrade -y direwolf");

std::optional<QString> installCommand(const InstallationFacts &facts)
{
    return DirewolfDiscovery::installCommand(facts.aptGetPath, facts.brewPath);
}

std::optional<QString> homebrewPrefixOf(const QString &path)
{
    for (const QString &prefix : DirewolfDiscovery::kHomebrewPrefixes) {
        if (path.startsWith(prefix + QLatin1Char('/'))) {
            return prefix;
        }
    }
    for (const QString &folder : tools::homebrewOnLinuxFolders()) {
        if (path.startsWith(folder + QLatin1Char('/'))) {
            return QFileInfo(folder).path();
        }
    }
    return std::nullopt;
}

InstallButton homebrewInstaller(const QString &help)
{
    return {QStringLiteral("Install Homebrew"), help, DirewolfDiscovery::kHomebrewInstallCommand, true};
}

void setInstalledTitle(Installation &out, const InstallationFacts &facts)
{
    const tools::DirewolfChoice &choice = *facts.choice;
    out.titleTone = Tone::green;
    switch (choice.source) {
    case tools::DirewolfSource::custom:
        if (facts.customRefusal) {
            out.title = *facts.customRefusal;
            out.titleTone = Tone::red;
            out.refused = true;
            return;
        }
        out.title = QStringLiteral("Direwolf — custom path");
        out.accentTitle = true;
        return;
    case tools::DirewolfSource::legacy:
        out.title = QStringLiteral("Legacy Helper-managed Direwolf");
        out.titleTone = Tone::orange;
        out.legacy = true;
        return;
    case tools::DirewolfSource::system: out.title = QStringLiteral("Direwolf installed (system package)"); return;
    case tools::DirewolfSource::packageManager:
        if (const auto prefix = homebrewPrefixOf(choice.path)) {
            out.title = QStringLiteral("Direwolf installed (") + homebrewLabel(*prefix) + QLatin1Char(')');
        } else {
            out.title = QStringLiteral("Direwolf installed");
            out.titleTone = Tone::secondary;
        }
        return;
    }
}

} // namespace

QString homebrewLabel(const QString &prefix)
{
    // On Linux neither MacPorts nor an Intel Homebrew exists: a copy in "/opt/local" or
    // "/usr/local" is named by its folder (typically a build of one's own).
    if (prefix == QLatin1String("/opt/homebrew") || prefix.endsWith(QLatin1String("/.linuxbrew"))) {
        return QStringLiteral("Homebrew");
    }
    return prefix;
}

std::optional<QString> updateCommand(const InstallationFacts &facts)
{
    if (!facts.choice) {
        return std::nullopt;
    }
    switch (facts.choice->source) {
    case tools::DirewolfSource::system:
        return facts.aptGetPath ? std::optional(kAptUpgrade) : std::nullopt;
    case tools::DirewolfSource::packageManager:
        // brew updates only what lies in its own prefix, next to brew itself.
        if (facts.brewPath && QFileInfo(*facts.brewPath).path() == QFileInfo(facts.choice->path).path()) {
            return *facts.brewPath + QStringLiteral(" upgrade direwolf");
        }
        return std::nullopt;
    case tools::DirewolfSource::custom:
    case tools::DirewolfSource::legacy: return std::nullopt;
    }
    return std::nullopt;
}

Installation installation(const InstallationFacts &facts)
{
    Installation out;
    const auto install = installCommand(facts);
    if (facts.choice) {
        out.view = Installation::View::installed;
        out.path = facts.choice->path;
        setInstalledTitle(out, facts);
        if (out.legacy) {
            out.text = QStringLiteral(
                "This copy was installed by an older beta and is missing the hamlib support needed for CAT-based PTT. ") +
                (facts.aptGetPath ? QStringLiteral("Install Direwolf with apt") : QStringLiteral("Install Direwolf via Homebrew")) +
                QStringLiteral(" for the current recommended path — the Helper will automatically prefer that binary "
                               "once it's installed.");
            if (install) {
                out.commands.push_back({facts.aptGetPath ? QStringLiteral("Install Direwolf")
                                                         : QStringLiteral("Install via Homebrew"),
                                        QStringLiteral("Opens a terminal to run `") + *install +
                                            QStringLiteral("`.  The Helper will automatically prefer the new binary "
                                                           "once it's installed."),
                                        *install, true});
            } else {
                out.commands.push_back(homebrewInstaller(QStringLiteral(
                    "Homebrew is required to install the current Direwolf.  Come back here to install Direwolf once "
                    "Homebrew finishes.")));
            }
        }
        if (const auto update = updateCommand(facts)) {
            out.commands.push_back({QStringLiteral("Check for Update"),
                                    QStringLiteral("Opens a terminal to run `") + *update + QStringLiteral("`."),
                                    *update, false});
        }
        out.chooseCustomHelp = kChooseCustomHelp;
        out.resetToAuto = !facts.customPath.isEmpty();
        return out;
    }
    if (facts.passedOver) {
        // Shown where it was found, as unusable, with the ways to another copy.
        out.view = Installation::View::installed;
        out.path = facts.passedOver->path;
        out.title = HelperError::direwolfNotFound(facts.passedOver).description();
        out.titleTone = Tone::red;
        out.refused = true;
        if (install) {
            out.commands.push_back({QStringLiteral("Install Direwolf"),
                                    QStringLiteral("Opens a terminal and runs `") + *install + QStringLiteral("`."),
                                    *install, true});
        }
        out.chooseCustomHelp = QStringLiteral(
            "Point the Helper at a specific direwolf binary — e.g. a hand-compiled build.");
        return out;
    }
    if (install) {
        out.view = Installation::View::packageManagerWithoutDirewolf;
        out.text = QStringLiteral(
            "Direwolf is not installed. Direwolf provides the AX.25 software TNC used by Cordavelle's Packet "
            "transport.");
        out.commands.push_back({QStringLiteral("Install Direwolf"),
                                QStringLiteral("Opens a terminal and runs `") + *install +
                                    QStringLiteral("`.  You'll drive the install; the Helper picks up the new binary "
                                                   "automatically when you come back."),
                                *install, true});
        out.chooseCustomHelp = kChooseCustomHelp;
        return out;
    }
    out.view = Installation::View::noPackageManager;
    out.text = QStringLiteral(
        "Direwolf is installed via Homebrew, which isn't on this computer yet. Install Homebrew first — it's a "
        "package manager for command-line tools like Direwolf.");
    out.commands.push_back(homebrewInstaller(QStringLiteral(
        "Opens a terminal and runs the official Homebrew installer from brew.sh.  Once Homebrew finishes, come back "
        "here and click Install Direwolf.")));
    out.chooseCustomHelp = QStringLiteral(
        "If you already have a Direwolf binary from another source (hand-compiled, etc.), point the Helper at it "
        "directly.");
    out.caption = QStringLiteral(
        "Already have Homebrew and this button is showing? On Linux Homebrew installs to "
        "/home/linuxbrew/.linuxbrew, or to ~/.linuxbrew without administrator rights — check that `brew` is in the "
        "bin folder of one of them.");
    return out;
}

} // namespace cordavelle::direwolf_page
