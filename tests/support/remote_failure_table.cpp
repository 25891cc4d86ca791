#include "support/remote_failure_table.h"

#include <gtest/gtest.h>

namespace cordavelle::test {

RemoteFailureTable::RemoteFailureTable(FixtureHttpServer &server)
    : m_server(server), m_here(QStringLiteral("127.0.0.1:%1").arg(server.port())),
      // A server's port, free again once it has gone.
      m_closedPort(FixtureHttpServer().port())
{
}

QString RemoteFailureTable::refused() const
{
    return QStringLiteral("Could not reach 127.0.0.1:%1: Connection refused").arg(m_closedPort);
}

QUrl RemoteFailureTable::arrange(const RemoteFailure &failure)
{
    if (failure.path.isEmpty()) {
        return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_closedPort));
    }
    m_server.serveFault(failure.path, failure.fault);
    return m_server.base();
}

std::string RemoteFailureTable::describe(const RemoteFailure &failure)
{
    return (failure.path + QLatin1Char(' ') + QString::number(int(failure.fault))).toStdString();
}

void RemoteFailureTable::expectShown(const QString &shown, const RemoteFailure &failure)
{
    if (failure.error.endsWith(QStringLiteral(": "))) {
        EXPECT_TRUE(shown.startsWith(failure.error)) << shown.toStdString();
    } else {
        EXPECT_EQ(shown, failure.error);
    }
}

} // namespace cordavelle::test
