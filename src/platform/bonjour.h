#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace cordavelle {

// A DNS-SD TXT record: keys with optional values, kept in the order they were given. Keys
// compare without regard to ASCII case, as DNS-SD requires; the first occurrence of a key wins.
class BonjourTxtRecord {
public:
    struct Entry {
        QString key;
        std::optional<QByteArray> value; // absent for a bare key ("flag" rather than "flag=")
        bool operator==(const Entry &) const = default;
    };

    BonjourTxtRecord() = default;
    BonjourTxtRecord(std::initializer_list<std::pair<QString, QString>> textEntries);

    // Adds or replaces the value of `key`.
    void insert(const QString &key, const QByteArray &value);
    void insert(const QString &key, const QString &text) { insert(key, text.toUtf8()); }

    bool contains(const QString &key) const;
    // The value of `key`; absent when the key is missing or bare.
    std::optional<QByteArray> value(const QString &key) const;
    // The value decoded as UTF-8 text; absent when missing, bare or not valid UTF-8.
    std::optional<QString> text(const QString &key) const;

    const std::vector<Entry> &entries() const { return m_entries; }
    bool isEmpty() const { return m_entries.empty(); }

    // The wire form (length-prefixed strings). Absent when a key is empty, holds "=", or an entry
    // does not fit the 255 bytes that one string may carry. An empty record is one empty string.
    std::optional<QByteArray> encode() const;
    // Reads the wire form; strings without a key and repeated keys are dropped, and a string that
    // runs past the end is cut off there.
    static BonjourTxtRecord decode(const QByteArray &wire);

    bool operator==(const BonjourTxtRecord &) const = default;

private:
    std::vector<Entry> m_entries;
};

// What an advertisement announces. An empty name stands for the machine's own name; an empty
// domain for the default registration domain.
struct BonjourServiceDescription {
    QString name;
    QString type;
    QString domain;
    BonjourTxtRecord txt;
};

// One service instance found by a browser. `txt` is absent when the service could not be
// resolved to its TXT record.
struct BonjourBrowseResult {
    QString name;
    QString type;   // as the network reports it, e.g. "_http._tcp."
    QString domain; // e.g. "local."
    std::optional<BonjourTxtRecord> txt;
    // The host the service points at ("name.local."), as resolved; empty when unknown. Anyone may
    // point an advert at any host, so it proves nothing about where the service runs.
    QString host = {};
    // Whether the daemon says this machine announced the service: the only word on that to trust.
    bool local = false;

    // "name.type.domain", the printed form of the service endpoint.
    QString description() const;
    bool operator==(const BonjourBrowseResult &) const = default;
};

// The name that Bonjour picks after `name` was found taken: "Name" becomes "Name (2)", and a
// name already ending in " (n)" counts on to " (n+1)". The result stays within the 63 bytes of
// a DNS label by shortening the base name.
QString nextBonjourServiceName(const QString &name);

// A standing advertisement; destroying it withdraws the service.
class BonjourRegistration : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The name under which the service stands on the network, once `registered` was emitted;
    // it differs from the requested name after a conflict. Empty before that.
    virtual QString registeredName() const = 0;
    // Withdraws the service; `withdrawn` tells once it no longer stands. Destroying a registration
    // withdraws it too, without telling when.
    virtual void withdraw() = 0;

Q_SIGNALS:
    // The service is published under `name`; again after an interruption, once it stands anew.
    void registered(const QString &name);
    // The service does not stand for now (the daemon stopped or can't be reached); it is published
    // again, with `registered`, once the daemon is back.
    void interrupted(const QString &reason);
    // Publishing failed for good; the service is not announced.
    void failed(const QString &error);
    // After withdraw(): the daemon has taken the service off the network, or is gone with it.
    void withdrawn();
    // After withdraw(): the daemon has not done so yet (it is busy or does not answer); it still
    // may announce the service meanwhile.
    void withdrawalPending(const QString &reason);
};

// A running browse of one service type; destroying it stops the browse. Results arrive only
// once each service's TXT record is known (or could not be resolved).
class BonjourBrowser : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The complete current result set, in the order the services appeared.
    virtual QList<BonjourBrowseResult> results() const = 0;
    // Whether results() is what the network shows now. While the daemon is gone they are the
    // services it listed last, which may or may not still stand: unknown, not withdrawn.
    virtual bool isCurrent() const = 0;

Q_SIGNALS:
    // The complete result set after every change, also when it became empty.
    void resultsChanged(const QList<BonjourBrowseResult> &results);
    // The browse's state, printed: "ready", "unavailable(<reason>)" (results not current; the
    // browse starts over once the daemon is back), "failed(<reason>)".
    void stateChanged(const QString &state);
};

// Advertising and browsing DNS-SD services. Signals of the objects it makes are emitted from
// the event loop of the thread that made them, never from inside the call that made them, and
// nothing it does waits on the daemon.
class Bonjour {
public:
    virtual ~Bonjour() = default;

    // Announces `service` on `port`. A name taken on the network is replaced by the next free
    // one in the "Name (2)" manner, and `registered` reports the name actually used.
    virtual std::unique_ptr<BonjourRegistration> advertise(const BonjourServiceDescription &service,
                                                           quint16 port) = 0;
    // Browses `type` in `domain` (empty for the default browse domain, normally "local.").
    virtual std::unique_ptr<BonjourBrowser> browse(const QString &type, const QString &domain = {}) = 0;
};

} // namespace cordavelle

Q_DECLARE_METATYPE(cordavelle::BonjourBrowseResult)
