#pragma once

#include <QtGlobal>

#include <chrono>

namespace cordavelle::test {

// Keeps a port that the program fixes (the modem's command port, the API's default port) for one
// test against every other test on this machine, also those of other build trees and of runs
// started by hand: CTest's resource locks only order the tests of a single run. The lock is a
// file lock, so a test that dies lets go of it with its process.
class FixedPortLock {
public:
    explicit FixedPortLock(quint16 port, std::chrono::milliseconds limit = std::chrono::minutes(2));
    ~FixedPortLock();
    FixedPortLock(const FixedPortLock &) = delete;
    FixedPortLock &operator=(const FixedPortLock &) = delete;

    // Whether the port became this test's within the limit.
    bool held() const { return m_held; }

private:
    int m_fd = -1;
    bool m_held = false;
};

// VARA's ports are fixed, and a start of VARA holds their IPv6 addresses until it ends: a test
// that starts VARA and one that binds those ports itself must not meet, so each takes this lock.
class VaraPortsLock : public FixedPortLock {
public:
    VaraPortsLock() : FixedPortLock(8300) {}
};

} // namespace cordavelle::test
