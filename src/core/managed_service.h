#pragma once

#include "base/service_model.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace cordavelle {

// What the orchestrator's service table holds of each supervised service. The orchestrator hands
// every entry back as its concrete ManagedProcess, so nothing needs to call through this.
class ManagedService {
public:
    virtual ~ManagedService() = default;

    virtual ServiceID serviceID() const = 0;
    virtual ServiceRunState state() const = 0;
    virtual std::optional<qint64> pid() const = 0;
    virtual std::optional<QString> lastError() const = 0;
    virtual void setLastError(const std::optional<QString> &lastError) = 0;
    virtual std::optional<QDateTime> startedAt() const = 0;
    virtual std::optional<double> uptime() const = 0;
    virtual QStringList logLines() const = 0;

    virtual void markRunning() = 0;
    virtual void stop() = 0;
    virtual void appendSyntheticLog(const QString &line) = 0;
};

} // namespace cordavelle
