#include "test_platform.h"

#include "fixed_wine_drivers.h"

#include <QDir>

namespace cordavelle::test {

TestPlatform::TestPlatform()
    : m_dir(QDir::tempPath() + QStringLiteral("/tp-XXXXXX")),
      m_clock(std::make_shared<ManualClock>()),
      m_log(std::make_shared<RecordingLogSink>()),
      m_systemInfo(std::make_shared<FixedSystemInfo>()),
      m_networkInterfaces(std::make_shared<FixedNetworkInterfaces>()),
      m_audio(std::make_shared<FakeAudioSystem>()),
      m_terminal(std::make_shared<RecordingTerminal>()),
      m_keychain(std::make_shared<MemoryKeychain>()),
      m_attention(std::make_shared<RecordingAttention>()),
      m_notifications(std::make_shared<RecordingNotifications>()),
      m_bonjour(std::make_shared<FakeBonjour>()),
      m_commands(std::make_shared<RecordingCommandRunner>())
{
    auto context = std::make_unique<Platform>();
    auto paths = std::make_shared<RootedPaths>(m_dir.path());
    QDir().mkpath(paths->home());
    QDir().mkpath(paths->temporary());
    context->setPaths(paths);
    context->setClock(m_clock);
    context->setLogSink(m_log);
    context->setSystemInfo(m_systemInfo);
    context->setNetworkInterfaces(m_networkInterfaces);
    context->setAudioSystem(m_audio);
    context->setTerminal(m_terminal);
    context->setToolLocator(std::make_shared<RootedToolLocator>(m_dir.path()));
    context->setKeychain(m_keychain);
    context->setAttention(m_attention);
    context->setNotifications(m_notifications);
    context->setBonjour(m_bonjour);
    context->setCommandRunner(m_commands);
    // The system's databases, where a loaded machine may take longer than the window's thread
    // waits to read them ahead: no launch check of a test reads "still being read".
    context->setAccounts(std::make_shared<SystemAccounts>(std::chrono::seconds(30)));
    context->setWineDrivers(std::make_shared<FixedWineDrivers>(QStringList{QStringLiteral("winecoreaudio.drv")}));
    // No test reaches the internet: a test that needs a remote service points it at a local server.
    context->setRemoteServices(RemoteServices::allAt(QUrl(QStringLiteral("http://127.0.0.1:9"))));
    m_scope = std::make_unique<Platform::Scope>(std::move(context));
}

TestPlatform::~TestPlatform() = default;

void TestPlatform::useSystemClock() { platform().setClock(std::make_shared<SystemClock>()); }

void TestPlatform::useManualClock() { platform().setClock(m_clock); }

void TestPlatform::useSystemTools()
{
    platform().setCommandRunner(std::make_shared<LinuxCommandRunner>());
    platform().setToolLocator(std::make_shared<SystemToolLocator>());
}

} // namespace cordavelle::test
