#pragma once

// The connection to avahi-daemon that every publication and browse of the Avahi backend shares.

#include "bonjour.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <deque>
#include <functional>
#include <map>
#include <vector>

class QDBusServiceWatcher;

namespace cordavelle {

namespace avahi {

inline const QString kService = QStringLiteral("org.freedesktop.Avahi");
inline const QString kServer = QStringLiteral("org.freedesktop.Avahi.Server");
inline const QString kEntryGroup = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
inline const QString kServiceBrowser = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
inline const QString kServiceResolver = QStringLiteral("org.freedesktop.Avahi.ServiceResolver");

// Avahi's own numbers (avahi-common/defs.h).
constexpr int kAnyInterface = -1;
constexpr int kAnyProtocol = -1;
constexpr uint kLookupNoAddress = 8; // a lookup flag: resolve the SRV and TXT records only
constexpr uint kResultLocal = 8;     // a result flag: announced by this machine
constexpr int kServerRunning = 2;
constexpr int kGroupEstablished = 2;
constexpr int kGroupCollision = 3;
constexpr int kGroupFailure = 4;

// A signal for an object whose creation has not been answered yet waits this long for it, and at
// most this many of one object wait.
constexpr int kUnclaimedSignalMs = 5000;
constexpr std::size_t kMaxUnclaimedSignals = 64;

inline const QString kNotRunning = QStringLiteral("avahi-daemon is not running");
inline const QString kNoAnswer = QStringLiteral("avahi-daemon does not answer");
inline const QString kRenaming = QStringLiteral("avahi-daemon is settling this machine's host name");
inline const QString kNoBus = QStringLiteral("the system bus can't be reached, so neither can avahi-daemon");

enum class Failure { none, absent, noAnswer, collision, other };

Failure failureNamed(const QString &name);
Failure failureOf(const QDBusMessage &reply);
// A refusal that says nothing of what was asked: the bus or the daemon was too busy for it.
bool isTransient(const QString &errorName);
QString replyErrorText(const QDBusMessage &reply);

QByteArrayList byteArrays(const QVariant &value);
QVariant txtArgument(const BonjourTxtRecord &txt);
BonjourTxtRecord txtRecord(const QByteArrayList &strings);

// Which calls go first when more are asked than may be outstanding: what ends something of the
// user's, then what the user's own actions need, then other hosts' adverts.
enum class Lane { withdrawal, own, others };

} // namespace avahi

// What a publication or a browse hears from the daemon beside its own calls' replies.
class AvahiPeer {
public:
    virtual ~AvahiPeer() = default;
    // The daemon stopped: every object of ours it held is gone with it.
    virtual void daemonGone(const QString &reason) = 0;
    // A daemon took the name (again): start over with it.
    virtual void daemonBack() = 0;
    // A signal of the object at a path this peer claimed.
    virtual void signalArrived(const QDBusMessage &message) = 0;
    // The daemon holds this machine's host name (again), or no longer does for now (it is
    // registering it, or renaming the machine after another host claimed it): a service's record
    // names the host name it was added under, so services are published only while it holds it.
    virtual void serverRunning() {}
    virtual void serverNotRunning(const QString &) {}
};

// One connection to the daemon for every publication and browse: it follows the daemon's name on
// the bus, hands each object's signals to the peer that made it, and keeps the calls outstanding
// on the connection well under what the bus allows one connection (128 replies), the rest waiting
// in its own queue. A refusal for a busy bus is asked again after a growing pause for as long as
// whoever asked is there.
class AvahiLink final : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxOutstanding = 32;
    // Other hosts' adverts may hold no more than this: a crowd of them, each resolve waiting for
    // the daemon's own time-out, leaves room for the user's.
    static constexpr int kMaxOutstandingForOthers = 24;
    static constexpr int kFirstRetryMs = 250;
    static constexpr int kLongestRetryMs = 4000;

    using Done = std::function<void(const QDBusMessage &)>;

    explicit AvahiLink(const QDBusConnection &bus);
    ~AvahiLink() override;

    bool connected() const { return m_bus.isConnected(); }
    bool serverRunning() const { return m_serverState == avahi::kServerRunning; }

    void attach(AvahiPeer *peer) { m_peers.push_back(peer); }
    void detach(AvahiPeer *peer);
    // Routes the signals of the object at `path` to `peer`, those already come first.
    void claim(const QString &path, AvahiPeer *peer);
    void release(const QString &path) { m_claims.erase(path); }

    // Asks the daemon without waiting for it. `done` gets the reply, unless `owner` is gone by then
    // or the daemon changed meanwhile (the peers then start over anyway). A transient refusal is
    // asked again; one that names no answer only `noAnswerRetries` times when that is not negative.
    void call(QObject *owner, const QString &path, const QString &interface, const QString &method,
              const QVariantList &arguments, avahi::Lane lane, Done done, int noAnswerRetries = -1);
    // Asks for an object of ours. `taken` gets the reply and says whether the object it names is
    // still wanted; one that is not, or whose owner is gone, is freed at once.
    void create(QObject *owner, const QString &method, const QVariantList &arguments, avahi::Lane lane,
                std::function<bool(const QDBusMessage &)> taken);
    // Frees an object of ours, or withdraws a group's services (`method` "Reset"). `done`, if any,
    // once the daemon has answered or is gone: only then is it no longer published.
    void free(const QString &path, const QString &interface, std::function<void()> done = {},
              const QString &method = QStringLiteral("Free"));

    int outstanding() const { return m_outstanding; }
    std::size_t waiting() const { return m_queue.size(); }

private Q_SLOTS:
    void serverStateChanged(const QDBusMessage &message);
    void signalArrived(const QDBusMessage &message);
    void ownerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    struct Call {
        QPointer<QObject> owner = {};
        bool ownerless = false; // a withdrawal, which the link sees through itself
        bool answerOrphans = false; // asked while the owner was there, answered also once it is gone
        QDBusMessage message = {};
        avahi::Lane lane = avahi::Lane::own;
        Done done = {};
        int noAnswerRetries = -1;
        int attempts = 0;
        quint64 generation = 0;
    };

    void enqueue(Call call);
    void pump();
    void send(Call call);
    void finished(Call call, const QDBusMessage &reply);
    void retryLater(Call call);
    bool wanted(const Call &call) const { return call.ownerless || !call.owner.isNull(); }

    void askServerState();
    void setServerState(int state);
    bool isClaimedBy(const QString &path, AvahiPeer *peer) const;
    // A peer told may delete itself or another: each is looked up again before it is told.
    void forEachPeer(const std::function<void(AvahiPeer *)> &tell);

    QDBusConnection m_bus;
    QDBusServiceWatcher *m_watcher = nullptr;
    quint64 m_generation = 0;
    // Avahi's server state (2 running); negative while it is not known.
    int m_serverState = -1;
    std::vector<AvahiPeer *> m_peers;
    std::map<QString, AvahiPeer *> m_claims;
    std::map<QString, std::vector<QDBusMessage>> m_unclaimed;
    std::deque<Call> m_queue;
    int m_outstanding = 0;
    int m_outstandingForOthers = 0;
};

} // namespace cordavelle
