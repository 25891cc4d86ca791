#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>

#include <deque>
#include <map>
#include <set>
#include <vector>

namespace cordavelle::test {

// avahi-daemon's D-Bus interface as far as the helper uses it, on a test's private bus: it answers
// as the daemon does, or refuses or holds what the test says, and records what it was asked.
class FakeAvahiDaemon final : public QDBusVirtualObject {
public:
    struct Advert {
        QString name;
        bool seenLocal = true;     // the browse's flag
        uint resolvedFlags = 8;    // the resolve's flags (8: this machine's)
        QByteArrayList txt;
        quint16 port = 4533;
        bool browsed = true; // listed by every browse made
    };
    struct Asked {
        QString path;
        QString method;
        QVariantList arguments;
    };

    // Owns the daemon's name on the bus at `address` through a connection of its own.
    explicit FakeAvahiDaemon(const QString &address);
    ~FakeAvahiDaemon() override;

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;
    QString introspect(const QString &) const override { return {}; }

    // The next calls of `method` are refused with these D-Bus error names, in turn.
    void refuse(const QString &method, std::deque<QString> errors) { m_refusals[method] = std::move(errors); }
    // Calls of `method` are left unanswered until answerHeld().
    void hold(const QString &method) { m_held.insert(method); }
    void answerHeld();
    std::size_t heldCount() const { return m_waiting.size(); }

    // The daemon leaves the bus, or comes back answering GetState with `state`.
    void leave();
    void comeBack(int state);
    // Avahi's server state changes (2: running).
    void setServerState(int state);

    // A signal of the daemon's, or of any other connection on the bus.
    void emitSignal(const QString &path, const QString &interface, const QString &member, const QVariantList &arguments);
    static void emitSignalOn(QDBusConnection &connection, const QString &path, const QString &interface, const QString &member,
                             const QVariantList &arguments, const QString &destination = {});

    int count(const QString &method) const;
    QString lastPath(const QString &method) const;
    const std::vector<Asked> &asked() const { return m_asked; }
    // The paths of the objects made, in order.
    const QStringList &made() const { return m_made; }

    std::vector<Advert> adverts;

private:
    void answer(const QDBusMessage &message);
    QString newPath(const QString &kind)
    {
        m_made << QStringLiteral("/Client1/%1%2").arg(kind).arg(++m_objects);
        return m_made.last();
    }
    QVariantList found(const Advert &advert) const;

    QDBusConnection m_bus;
    std::map<QString, std::deque<QString>> m_refusals;
    std::set<QString> m_held;
    std::vector<QDBusMessage> m_waiting;
    std::vector<Asked> m_asked;
    QStringList m_made;
    int m_state = 2;
    int m_objects = 0;
};

} // namespace cordavelle::test
