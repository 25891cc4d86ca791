#pragma once

#include "support/fixture_http_server.h"

#include <QString>
#include <QUrl>

#include <string>

namespace cordavelle::test {

// One row of an installer's table of remote failures: where the fault is and what the user reads.
struct RemoteFailure {
    QString path; // empty: nothing listens at the remote's address
    FixtureHttpServer::Fault fault;
    QString error; // the whole text, or its start when it ends in ": "
};

// What every installer's table of remote failures shares: the fixture server's address as the
// texts name it, a port where nothing listens, the setting up of one row and the check of the
// text the user reads.
class RemoteFailureTable {
public:
    explicit RemoteFailureTable(FixtureHttpServer &server);

    // "127.0.0.1:<port>" of the fixture server.
    const QString &here() const { return m_here; }
    // The text of a connection to the port where nothing listens.
    QString refused() const;
    // Serves the row's fault, and gives the remote's base the installer is to use: the fixture
    // server's, or for a row without a path the port where nothing listens.
    QUrl arrange(const RemoteFailure &failure);
    static std::string describe(const RemoteFailure &failure);
    // `shown` is the row's text (or starts with it).
    static void expectShown(const QString &shown, const RemoteFailure &failure);

private:
    FixtureHttpServer &m_server;
    QString m_here;
    quint16 m_closedPort;
};

} // namespace cordavelle::test
