#pragma once

#include "private_session_bus.h"
#include "scoped_environment.h"

#include <QString>

#include <memory>
#include <optional>

namespace cordavelle::test {

class ProcessHandle;
class TestPlatform;

// A real gnome-keyring on a private session bus, which this process's Secret Service clients then
// use, with its login collection unlocked as the default one, in `env`'s home; ended with the
// object. A test can stop it (SIGSTOP), so that it stops answering, and let it go on.
class KeyringOnPrivateBus {
public:
    explicit KeyringOnPrivateBus(TestPlatform &env);
    ~KeyringOnPrivateBus();
    KeyringOnPrivateBus(const KeyringOnPrivateBus &) = delete;
    KeyringOnPrivateBus &operator=(const KeyringOnPrivateBus &) = delete;

    // Why there is no keyring to use; null when there is one.
    const char *whyNot() const { return m_whyNot; }
    void stop();
    void resume();
    // Whether the service reports the login collection as locked, asked afresh; nothing while the
    // login collection is not its default one or the service does not answer.
    std::optional<bool> loginLocked() const;

private:
    PrivateSessionBus m_bus;
    ScopedEnvironment m_variables;
    // The name of the test's own connection to the bus, which never asks the bus to start
    // anything.
    QString m_connection;
    // The daemon, which the launcher leaves: held from when it answers on the bus, so that no
    // later process given its number gets its signals.
    std::unique_ptr<ProcessHandle> m_daemon;
    const char *m_whyNot = nullptr;
};

} // namespace cordavelle::test
