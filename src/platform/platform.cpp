#include "platform.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>
#include "avahi_bonjour.h"
#include "files.h"

namespace cordavelle {

namespace {
Platform *g_current = nullptr;
} // namespace

Platform::Platform()
    : m_clock(std::make_shared<SystemClock>()),
      m_paths(std::make_shared<XdgPaths>()),
      m_systemInfo(std::make_shared<UnameSystemInfo>()),
      m_logSink(StderrLogSink::fromEnvironment()),
      m_appActivation(std::make_shared<RecordedAppActivation>()),
      m_toolLocator(std::make_shared<SystemToolLocator>()),
      m_attention(std::make_shared<NoWindowAttention>()),
      m_commandRunner(std::make_shared<LinuxCommandRunner>()),
      m_wineDrivers(std::make_shared<LinuxWineDrivers>()),
      m_accounts(std::make_shared<SystemAccounts>()),
      m_remoteServices(RemoteServices::fromEnvironment())
{
}

Platform::~Platform() = default;

AudioSystem &Platform::audioSystem()
{
    if (!m_audioSystem) {
        m_audioSystem = std::make_shared<AlsaAudioSystem>();
    }
    return *m_audioSystem;
}

Terminal &Platform::terminal()
{
    if (!m_terminal) {
        m_terminal = std::make_shared<LinuxTerminal>();
    }
    return *m_terminal;
}

Platform &Platform::current()
{
    if (!g_current) {
        // The production context lives until the process ends.
        g_current = new Platform();
    }
    return *g_current;
}

Platform::Scope::Scope(std::unique_ptr<Platform> context)
    : m_context(std::move(context)), m_previous(g_current)
{
    g_current = m_context.get();
}

Platform::Scope::~Scope() { g_current = m_previous; }

LoginItem &Platform::loginItem()
{
    if (!m_loginItem) {
        // The preferences folder lies directly in the configuration home.
        const QString configHome = QFileInfo(m_paths->preferences()).path();
        m_loginItem = std::make_shared<XdgAutostartLoginItem>(XdgAutostartLoginItem::defaultAutostartFolder(configHome),
                                                              kApplicationIdentifier,
                                                              XdgAutostartLoginItem::runningExecutable());
    }
    return *m_loginItem;
}

Notifications &Platform::notifications()
{
    if (!m_notifications) {
        m_notifications = std::make_shared<FreedesktopNotifications>();
    }
    return *m_notifications;
}

Keychain &Platform::keychain()
{
    if (!m_keychain) {
        m_keychain = std::make_shared<LinuxKeychain>(keychainFile(), clock());
    }
    return *m_keychain;
}

QString Platform::keychainFile() const
{
    return m_paths->applicationSupport() + QStringLiteral("/Cordavelle Helper/keychain.json");
}

QStringList Platform::keepStoredFilesPrivate()
{
    QStringList failed;
    const auto restrict = [&failed](const QString &path) {
        if (!restrictToOwner(path)) {
            failed << path;
        }
    };
    const QString preferences = m_paths->preferences();
    const QString support = QFileInfo(keychainFile()).path();
    for (const QString &folder : {preferences, support}) {
        // Made private from the start, so nothing is ever readable in between.
        makeFolders(QFileInfo(folder).path());
        ::mkdir(QFile::encodeName(folder).constData(), 0700);
        restrict(folder);
    }
    const QStringList files = QDir(preferences).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : files) {
        restrict(preferences + QLatin1Char('/') + name);
    }
    restrict(keychainFile());
    return failed;
}

HttpClient &Platform::httpClient()
{
    if (!m_httpClient) {
        m_httpClient = std::make_shared<QtHttpClient>(m_clock);
    }
    return *m_httpClient;
}

PeerOwners &Platform::peerOwners()
{
    if (!m_peerOwners) {
        m_peerOwners = std::make_shared<KernelPeerOwners>();
    }
    return *m_peerOwners;
}

NetworkInterfaces &Platform::networkInterfaces()
{
    if (!m_networkInterfaces) {
        m_networkInterfaces = std::make_shared<KernelNetworkInterfaces>();
    }
    return *m_networkInterfaces;
}

Bonjour &Platform::bonjour()
{
    if (!m_bonjour) {
        m_bonjour = std::make_shared<AvahiBonjour>();
    }
    return *m_bonjour;
}

QString Platform::preferencesFile(const QString &domain)
{
    return m_paths->preferences() + QLatin1Char('/') + domain + QStringLiteral(".plist");
}

UserDefaults &Platform::defaults(const QString &domain)
{
    auto it = m_domains.find(domain);
    if (it == m_domains.end()) {
        it = m_domains.emplace(domain, std::make_unique<PlistUserDefaults>(domain, preferencesFile(domain))).first;
    }
    return *it->second;
}

} // namespace cordavelle
