#pragma once

#include "platform/peer_owner.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include <sys/types.h>
#include <unistd.h>

namespace cordavelle::test {

struct SocketAddress;

// A uid that owns nothing on the machine and needs no account.
inline constexpr uid_t kOtherUid = 54321;

// Looks as `uid` while it lives, in every thread: what it makes is that user's, and a peer that
// connects to a socket it listens on is told that user. Only root can, and only root looks back.
class ActingAs {
public:
    explicit ActingAs(uid_t uid) : m_ok(::seteuid(uid) == 0) {}
    ~ActingAs() { EXPECT_EQ(::seteuid(0), 0); }
    ActingAs(const ActingAs &) = delete;
    ActingAs &operator=(const ActingAs &) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_ok;
};

// Answers of a PeerOwners double, the same for every connection.
class ScriptedPeerOwners final : public PeerOwners {
public:
    PeerOwner ownerOfPeer(qintptr, const sockaddr_storage &) override
    {
        ++asked;
        return answer;
    }
    PeerOwner answer{PeerOwner::Kind::thisUser, 0, {}};
    int asked = 0;
};

// A TCP client run by another user: a child process that drops to kOtherUid (or `user`), connects,
// sends `request` and reads until the connection closes. Only root can start one (`started()` is
// false otherwise).
class OtherUserClient {
public:
    OtherUserClient(const QHostAddress &host, quint16 port, const QByteArray &request, uid_t user = kOtherUid);
    ~OtherUserClient();
    OtherUserClient(const OtherUserClient &) = delete;
    OtherUserClient &operator=(const OtherUserClient &) = delete;

    // Whether it may be started: as root, and otherwise false with the test noted as one that
    // needs root (see runsAsRoot()).
    static bool canStart();
    bool started() const { return m_pid > 0; }
    // Lets `pump` run until the child is done; then the number of bytes that came back, or nothing
    // when it could not connect or did not finish within 30 s (which fails the test).
    std::optional<long> bytesReceived(const std::function<void()> &pump);
    // The same with the test's event loop running meanwhile, for a server of the test.
    std::optional<long> bytesReceived();

private:
    // Once the child is done and collected.
    std::optional<long> result();

    pid_t m_pid = -1;
    int m_result = -1;
};

// A program of another user (kOtherUid) that listens on a TCP port of `host` (IPv6 alone for an
// IPv6 address) and accepts and closes every connection, or with `listen` false only binds it:
// a child process that drops to that user, so that the socket is theirs in the kernel's table.
// Only root can start one (`listening()` is false otherwise, or when the port could not be had).
// With `owner` this user, the same program stays this user's: another program of the user's own.
class OtherUserListener {
public:
    explicit OtherUserListener(quint16 port, const QHostAddress &host = QHostAddress(QHostAddress::LocalHost),
                               bool listen = true, uid_t owner = kOtherUid);
    // The same on a local socket at `path`, which anyone may connect to and which is its file
    // there: the folder must let that user write while it binds.
    explicit OtherUserListener(const QString &path, bool listen = true);
    ~OtherUserListener();
    OtherUserListener(const OtherUserListener &) = delete;
    OtherUserListener &operator=(const OtherUserListener &) = delete;

    // Whether the socket is bound, and listening when asked to.
    bool listening() const { return m_listening; }
    pid_t pid() const { return m_pid; }

private:
    void start(const SocketAddress &address, bool listen, uid_t owner);

    pid_t m_pid = -1;
    bool m_listening = false;
};

} // namespace cordavelle::test
