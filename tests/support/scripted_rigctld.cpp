#include "scripted_rigctld.h"

#include <QTcpSocket>

namespace cordavelle::test {

ScriptedRigctld::ScriptedRigctld()
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_connections;
            socket->setParent(this);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                while (socket->canReadLine()) {
                    QByteArray line = socket->readLine();
                    line.chop(1);
                    m_commands.append(line);
                    if (const auto reply = answer(line)) {
                        socket->write(*reply);
                        socket->flush();
                    }
                    Q_EMIT commandReceived(line);
                }
            });
        }
    });
}

std::optional<QByteArray> ScriptedRigctld::answer(const QByteArray &command)
{
    if (!scriptedReplies.empty()) {
        // Taken apart rather than copied whole: g++ warns about copying a maybe-empty optional.
        const bool silent = !scriptedReplies.front().has_value();
        QByteArray reply = scriptedReplies.front().value_or(QByteArray());
        scriptedReplies.pop_front();
        if (silent) {
            return std::nullopt;
        }
        return reply;
    }
    if (command == "\\get_powerstat") {
        return QByteArray(powerOn ? "1\n" : "0\n");
    }
    if (command.startsWith("\\set_powerstat ")) {
        powerOn = command.endsWith('1');
        return QByteArray("RPRT 0\n");
    }
    return QByteArray("RPRT -4\n");
}

} // namespace cordavelle::test
