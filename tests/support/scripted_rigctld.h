#pragma once

#include <QByteArray>
#include <QList>
#include <QTcpServer>

#include <deque>
#include <functional>
#include <optional>

namespace cordavelle::test {

// A stand-in for rigctld on 127.0.0.1 (any free port) that speaks the few power commands the
// helper uses: "\get_powerstat" answers the power state, "\set_powerstat N" sets it and answers
// "RPRT 0". Replies can be scripted per command, including no reply at all. It runs on the
// test's own event loop.
class ScriptedRigctld : public QObject {
    Q_OBJECT
public:
    ScriptedRigctld();

    quint16 port() const { return m_server.serverPort(); }

    // Every command line received, without its line feed, in order.
    const QList<QByteArray> &commands() const { return m_commands; }
    int connections() const { return m_connections; }

    bool powerOn = true;
    // Replies for the next commands, one per command; an empty optional means "stay silent".
    // When none is left, the commands are answered as rigctld would.
    std::deque<std::optional<QByteArray>> scriptedReplies;

Q_SIGNALS:
    void commandReceived(const QByteArray &command);

private:
    std::optional<QByteArray> answer(const QByteArray &command);

    QTcpServer m_server;
    QList<QByteArray> m_commands;
    int m_connections = 0;
};

} // namespace cordavelle::test
