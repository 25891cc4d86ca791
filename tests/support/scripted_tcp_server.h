#pragma once

#include <QByteArray>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

namespace cordavelle::test {

// A real TCP server on 127.0.0.1 that serves one connection by a fixed script, on its own
// thread, so that code which blocks the main thread on a socket can be tested against it.
class ScriptedTcpServer {
public:
    enum class Then { staySilent, close, keepSending };

    // Accepts one client, waits for its first bytes, sends `reply` (nothing when empty), then
    // stays silent until the client leaves or the server is destroyed, or closes, or sends the
    // reply again every 100 ms until then.
    ScriptedTcpServer(QByteArray reply, Then then);
    // Accepts one client and closes the connection at once, reading nothing.
    static std::unique_ptr<ScriptedTcpServer> closingAtOnce();
    ~ScriptedTcpServer();

    ScriptedTcpServer(const ScriptedTcpServer &) = delete;
    ScriptedTcpServer &operator=(const ScriptedTcpServer &) = delete;

    quint16 port() const { return m_port; }
    // What the client sent so far.
    QByteArray received() const;

private:
    ScriptedTcpServer(QByteArray reply, Then then, bool closeAtOnce);
    void serve(std::promise<quint16> listening);

    QByteArray m_reply;
    Then m_then;
    bool m_closeAtOnce;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::thread m_thread;
};

} // namespace cordavelle::test
