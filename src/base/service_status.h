#pragma once

#include "base/json_support.h"
#include "base/service_model.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>

namespace cordavelle {

// Snapshot of one service as the API reports it. Built on demand, encoded and dropped, so it has
// no equality of its own. Empty optionals are left out of the JSON, never written as null.
struct ServiceStatus {
    QString id;          // the ServiceID raw value
    QString displayName; // the ServiceID display name
    ServiceRunState state = ServiceRunState::stopped;
    ServiceLifecycleMode lifecycleMode = ServiceLifecycleMode::onDemand;
    std::optional<qint64> pid;
    // TCP ports by role: "command"/"data", "tcp", "kiss"/"agw".
    std::map<QString, int> ports;
    // Text of the process's last failure.
    std::optional<QString> error;
    // Seconds since the last launch completed; only while running.
    std::optional<double> uptime;
};

// A client application known to the orchestrator.
struct ConnectedClient {
    QString id;
    QString hostname;
    QString platform;
    // Written as ISO 8601 text in UTC, without fractional seconds.
    QDateTime lastSeen;
    QStringList requestedServices;

    bool operator==(const ConnectedClient &) const = default;
};

// ServiceStatus decoding requires id, displayName, state, lifecycleMode and ports; pid, error and
// uptime may be missing or null. ConnectedClient decoding requires all five members.
void to_json(Json &j, const ServiceStatus &status);
void from_json(const Json &j, ServiceStatus &status);
void to_json(Json &j, const ConnectedClient &client);
void from_json(const Json &j, ConnectedClient &client);

} // namespace cordavelle
