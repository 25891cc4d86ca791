#pragma once

#include "base/service_config.h"
#include "base/service_model.h"
#include "widgets/setting_note.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

class QVBoxLayout;
class QWidget;

namespace cordavelle {

class Clock;
class LifecyclePicker;
class LogViewer;
class ServiceOrchestrator;

// Whether a restart would apply settings: the service runs, launched with settings other than
// the stored ones. The lifecycle mode is the helper's own and never reaches the child.
template <class Config>
bool settingsChangedSinceLaunch(ServiceRunState state, const std::optional<Config> &launched, Config stored)
{
    if (state != ServiceRunState::running || !launched) {
        return false;
    }
    stored.lifecycleMode = launched->lifecycleMode;
    return stored != *launched;
}

// A port of a service: the one its child listens on and the one stored for its next start.
struct PortInEffect {
    // "port", "KISS port".
    QString role;
    int running = 0;
    int stored = 0;
};

// For each port stored while the service's child runs on another: "rigctld listens on port 4532
// until it restarts; port 4600 takes effect when rigctld next starts." Empty when every port is
// the one in use, as when nothing runs.
QString portsWaitingForNextStart(const QString &program, const std::vector<PortInEffect> &ports);

// What every service's page is built on: a scrolling column headed by the service's header, a
// Lifecycle section whose picker stores what the user picks, the page's own parts twelve points
// apart, and the service's log following its process. The page owns the frame; every widget
// belongs to the page.
class ServicePageFrame {
public:
    // The header's uptime is read on `clock`.
    ServicePageFrame(QWidget *page, ServiceID service, ServiceOrchestrator &orchestrator, Clock &clock);

    QVBoxLayout *column() const { return m_column; }
    LifecyclePicker *lifecycle() const { return m_lifecycle; }
    LogViewer *log() const { return m_log; }

    // `widget` twelve points below what goes before.
    void add(QWidget *widget);
    // A titled section, twelve points below what goes before.
    void addSection(const QString &title, QWidget *content);
    // The Lifecycle section showing `mode`, with `caption` under the picker when one is given;
    // a mode the user picks goes to `store`, and a mode it refuses gives way to the stored one.
    void addLifecycle(ServiceLifecycleMode mode, std::function<StoreAnswer(ServiceLifecycleMode)> store,
                      const QString &caption = {});
    // The service's log, kept current with its process's lines; its Clear runs `clear`.
    void addLog(std::function<void()> clear);
    // `widget` below a divider, eight points from it on either side.
    void addBelowDivider(QWidget *widget);

    // Shows the stored mode without reporting it as the user's choice, and the process's log.
    void refresh(ServiceLifecycleMode mode);

private:
    QWidget *m_page;
    ServiceID m_service;
    ServiceOrchestrator &m_orchestrator;
    QVBoxLayout *m_column;
    LifecyclePicker *m_lifecycle = nullptr;
    ServiceLifecycleMode m_storedMode = ServiceLifecycleMode::onDemand;
    LogViewer *m_log = nullptr;
};

} // namespace cordavelle
