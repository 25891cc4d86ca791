#pragma once

#include "platform/bonjour.h"

#include <QPointer>

#include <map>
#include <memory>
#include <vector>

namespace cordavelle::test {

// A Bonjour "network" held in memory. Advertisements are recorded (and renamed against the
// names the test marks as taken, as the real layer does); browsers see the result sets the test
// publishes. Signals are queued like the real layer's: process events to receive them.
class FakeBonjour final : public Bonjour {
public:
    struct Advertisement {
        BonjourServiceDescription service;
        quint16 port = 0;
        QString registeredName;
    };

    FakeBonjour();
    ~FakeBonjour() override;

    std::unique_ptr<BonjourRegistration> advertise(const BonjourServiceDescription &service, quint16 port) override;
    std::unique_ptr<BonjourBrowser> browse(const QString &type, const QString &domain = {}) override;

    // The host of this machine, which result() gives every service unless told otherwise.
    static inline const QString kThisHost = QStringLiteral("testhost.local.");

    // The advertisements that stand now, in the order they were made.
    std::vector<Advertisement> advertisements() const;
    // Every advertise() call so far, also those withdrawn since.
    int advertiseCalls() const;
    // Marks `name` of `type` as held by some other machine.
    void takeName(const QString &type, const QString &name);
    // Makes the next advertise() fail with `error` (reported through `failed`).
    void failNextAdvertisement(const QString &error);

    // Replaces what the network shows for `type` and tells every running browser of it (once the
    // daemon is back, when it is stopped).
    void setResults(const QString &type, const QList<BonjourBrowseResult> &results);
    // Reports a browser state to every running browser of `type`.
    void emitState(const QString &type, const QString &state);
    // Browsers of `type` that are running now.
    int runningBrowsers(const QString &type) const;
    int browseCalls() const;
    // The daemon stops: advertisements are interrupted, browsers keep their results but say they
    // are not current. Once started again, advertisements are registered anew and browsers get
    // what setResults() gave last.
    void stopDaemon();
    void startDaemon();

    // A browse result for a service of `type` with the given TXT record, announced by this machine
    // unless `local` is false.
    static BonjourBrowseResult result(const QString &name, const QString &type, std::optional<BonjourTxtRecord> txt,
                                      bool local = true, const QString &host = kThisHost);

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace cordavelle::test
