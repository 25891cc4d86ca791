#pragma once

#include "radio/rig_control_server_endpoint.h"

#include <QCoroTask>
#include <QList>
#include <QObject>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace cordavelle {

class Bonjour;
class BonjourBrowser;
struct BonjourBrowseResult;
class Clock;

// Finds the rig-control servers that the client announces over Bonjour, one per radio it
// drives, and keeps them as a list sorted by radio name.
class RigControlServerDiscovery final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<cordavelle::RigControlServerEndpoint> endpoints READ endpoints NOTIFY endpointsChanged)
    Q_PROPERTY(bool isBrowsing READ isBrowsing NOTIFY isBrowsingChanged)
    Q_PROPERTY(bool isCurrent READ isCurrent NOTIFY isCurrentChanged)
public:
    static inline const QString kServiceType = QStringLiteral("_cordavelle-rigcontrol._tcp");

    static RigControlServerDiscovery &shared();

    RigControlServerDiscovery(Bonjour &bonjour, Clock &clock, QObject *parent = nullptr);
    ~RigControlServerDiscovery() override;

    const QList<RigControlServerEndpoint> &endpoints() const { return m_endpoints; }
    bool isBrowsing() const { return m_isBrowsing; }
    // Whether the list is what the network shows now. While the Bonjour daemon is gone it is what
    // the daemon listed last: unknown, not withdrawn, so nothing running is moved off its server.
    bool isCurrent() const { return m_isCurrent; }
    // While the list is not current, or was made current again less than `grace` ago (the daemon
    // came back, or settled this machine's new host name): how much of `grace` is left. A server
    // missing then may only not be announced again yet.
    std::optional<std::chrono::milliseconds> settlingLeft(std::chrono::milliseconds grace) const;

    // Called after the list took a new value from a browse result (not when stopBrowsing()
    // empties it).
    void setOnEndpointsChanged(std::function<void()> callback) { m_onEndpointsChanged = std::move(callback); }

    // Starts browsing; does nothing while a browser exists (even one that failed).
    void startBrowsing();
    // Ends browsing and empties the list.
    void stopBrowsing();

    // The first listed endpoint whose radio name is exactly `radioName`.
    std::optional<RigControlServerEndpoint> endpoint(const QString &radioName) const;
    // Returns the first endpoint of this machine's announced for `radioName` (any radio when it is
    // blank) as soon as one is listed, checking every 100 ms, or nothing once `timeout` has passed.
    // It is not cut short by anything else.
    QCoro::Task<std::optional<RigControlServerEndpoint>> waitForEndpoint(QString radioName,
                                                                         std::chrono::milliseconds timeout);

Q_SIGNALS:
    void endpointsChanged(const QList<RigControlServerEndpoint> &endpoints);
    void isBrowsingChanged(bool isBrowsing);
    void isCurrentChanged(bool isCurrent);

private:
    void processResults(const QList<BonjourBrowseResult> &results);
    void setEndpoints(QList<RigControlServerEndpoint> endpoints);
    void setIsBrowsing(bool browsing);
    void setIsCurrent(bool current);
    Bonjour &m_bonjour;
    Clock &m_clock;
    QList<RigControlServerEndpoint> m_endpoints;
    bool m_isBrowsing = false;
    bool m_isCurrent = true;
    std::optional<std::chrono::steady_clock::time_point> m_currentAgainSince;
    std::function<void()> m_onEndpointsChanged;
    std::unique_ptr<BonjourBrowser> m_browser;
    // The unusable adverts listed, each with what was logged of it: logged again only once it
    // changes, or the log would grow with the square of the adverts.
    std::map<QString, QString> m_unusable;
    // This machine's adverts as the last "endpoints changed" line printed them.
    QString m_logged = QStringLiteral("[]");
};

} // namespace cordavelle
