#pragma once

#include "fake_audio_system.h"
#include "fake_bonjour.h"
#include "manual_clock.h"
#include "memory_keychain.h"
#include "recording_command_runner.h"
#include "recording_log_sink.h"
#include "recording_notifications.h"
#include "recording_terminal.h"
#include "test_files.h"

#include "platform/platform.h"

#include <memory>

namespace cordavelle::test {

class FixedSystemInfo final : public SystemInfo {
public:
    QString machineArchitecture() const override { return architecture; }
    QString hostName() const override { return host; }
    int lowestBindablePort() const override { return lowestPort; }
    QString architecture = QStringLiteral("x86_64");
    QString host = QStringLiteral("testhost");
    int lowestPort = 1024;
};

// An interface list that holds what the test put in it; empty at first.
class FixedNetworkInterfaces final : public NetworkInterfaces {
public:
    QList<InterfaceAddress> addresses() const override { return list; }
    QList<InterfaceAddress> list;
};

// A private platform context for one test: a temporary root for every folder, a manual clock,
// a recording log, fixed machine facts, and property-list defaults inside the root. Tools named
// by fixed paths ("/usr/local/bin/direwolf") are looked for below the root too, sound devices
// come from a FakeAudioSystem, terminals are only recorded, the keychain is in memory, Bonjour
// is an in-memory network (FakeBonjour), and command-line tools and signals are only recorded
// by a RecordingCommandRunner unless the test asks for the real ones (useSystemTools), and Wine
// records its audio devices as a macOS Wine does.
// Whatever clock the platform in force has at each call, for objects a fixture builds before
// its test picks the clock (useSystemClock).
class PlatformClock final : public Clock {
public:
    SteadyTime now() const override { return Platform::current().clock().now(); }
    WallTime wallNow() const override { return Platform::current().clock().wallNow(); }
    QCoro::Task<bool> sleep(std::chrono::milliseconds duration, std::stop_token stop = {}) override
    {
        return Platform::current().clock().sleep(duration, std::move(stop));
    }
};

// Whatever command runner the platform in force has at each call, for objects a fixture builds
// before its test picks the real tools (useSystemTools).
class PlatformCommandRunner final : public CommandRunner {
public:
    QCoro::Task<CommandResult> run(Command command) override { return runner().run(std::move(command)); }
    QCoro::Task<CommandResult> runStreaming(Command command, OutputHandler onOutput, std::stop_token stop = {},
                                            StartHandler onStarted = {}) override
    {
        return runner().runStreaming(std::move(command), std::move(onOutput), std::move(stop), std::move(onStarted));
    }
    CommandResult runAndWait(const Command &command) override { return runner().runAndWait(command); }
    void signalProcess(int64_t pid, int signal) override { runner().signalProcess(pid, signal); }
    std::optional<QString> executableOf(int64_t pid) override { return runner().executableOf(pid); }

private:
    static CommandRunner &runner() { return Platform::current().commandRunner(); }
};

// Whatever keychain the platform in force has at each call, for objects a fixture builds before
// its test gives the platform a keychain of its own.
class PlatformKeychain final : public Keychain {
public:
    QCoro::Task<void> settle() override { return keychain().settle(); }
    QCoro::Task<bool> run(std::function<void(Keychain &)> operation) override
    {
        return keychain().run(std::move(operation));
    }
    bool awaitsKeyring() const override { return keychain().awaitsKeyring(); }
    QCoro::Task<bool> keyringTakenOver(std::stop_token stop) override
    {
        return keychain().keyringTakenOver(std::move(stop));
    }
    int add(const QString &service, const QString &account, const QByteArray &data) override
    {
        return keychain().add(service, account, data);
    }
    int read(const QString &service, const QString &account, QByteArray *data) override
    {
        return keychain().read(service, account, data);
    }
    int remove(const QString &service, const QString &account) override { return keychain().remove(service, account); }
    int count(const QString &service, int *count) override { return keychain().count(service, count); }
    int removeAll(const QString &service) override { return keychain().removeAll(service); }
    int accounts(const QString &service, QStringList *accounts) override
    {
        return keychain().accounts(service, accounts);
    }

private:
    static Keychain &keychain() { return Platform::current().keychain(); }
};

class TestPlatform {
public:
    TestPlatform();
    ~TestPlatform();

    Platform &platform() { return m_scope->context(); }
    ManualClock &clock() { return *m_clock; }
    RecordingLogSink &log() { return *m_log; }
    FixedSystemInfo &systemInfo() { return *m_systemInfo; }
    FixedNetworkInterfaces &networkInterfaces() { return *m_networkInterfaces; }
    FakeAudioSystem &audio() { return *m_audio; }
    RecordingTerminal &terminal() { return *m_terminal; }
    // Where a path that the system names literally lies in this test ("<root>/usr/bin/…").
    QString hostPath(const QString &namedPath) const { return root() + namedPath; }
    MemoryKeychain &keychain() { return *m_keychain; }
    RecordingAttention &attention() { return *m_attention; }
    RecordingNotifications &notifications() { return *m_notifications; }
    FakeBonjour &bonjour() { return *m_bonjour; }
    RecordingCommandRunner &commands() { return *m_commands; }
    QString root() const { return m_dir.path(); }
    UserDefaults &defaults() { return platform().standardDefaults(); }

    // The platform's clock of the moment (see PlatformClock).
    Clock &currentClock() { return m_currentClock; }
    // The platform's command runner of the moment (see PlatformCommandRunner).
    CommandRunner &currentCommands() { return m_currentCommands; }
    // The platform's keychain of the moment (see PlatformKeychain).
    Keychain &currentKeychain() { return m_currentKeychain; }

    // Uses the real steady and wall clocks instead of the manual one.
    void useSystemClock();
    // Back to the manual clock, for a test of a fixture that picked the real ones.
    void useManualClock();
    // Runs tools and sends signals for real, finding the tools on this machine.
    void useSystemTools();

private:
    // Named short: Direwolf reads a configuration file by a path of 99 characters at most, and
    // the helper's lies deep in the home below this folder. First, so that it goes last, once
    // nothing of the platform's is left to write there.
    OwnTemporaryFolder m_dir;
    std::shared_ptr<ManualClock> m_clock;
    std::shared_ptr<RecordingLogSink> m_log;
    std::shared_ptr<FixedSystemInfo> m_systemInfo;
    std::shared_ptr<FixedNetworkInterfaces> m_networkInterfaces;
    std::shared_ptr<FakeAudioSystem> m_audio;
    std::shared_ptr<RecordingTerminal> m_terminal;
    std::shared_ptr<MemoryKeychain> m_keychain;
    std::shared_ptr<RecordingAttention> m_attention;
    std::shared_ptr<RecordingNotifications> m_notifications;
    std::shared_ptr<FakeBonjour> m_bonjour;
    std::shared_ptr<RecordingCommandRunner> m_commands;
    std::unique_ptr<Platform::Scope> m_scope;
    PlatformClock m_currentClock;
    PlatformCommandRunner m_currentCommands;
    PlatformKeychain m_currentKeychain;
};

} // namespace cordavelle::test
