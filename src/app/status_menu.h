#pragma once

#include "app/advertised_name.h"
#include "core/service_control.h"
#include "widgets/alert_presenter.h"
#include "widgets/start_stop_meaning.h"
#include "base/service_model.h"

#include <QCoroTask>
#include <QIcon>
#include <QMenu>

#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace cordavelle {

class CoalescedRefresh;

// How a run state shows in the status menu: the mark drawn in the state's tone.
enum class StatusMark { circle, dottedCircle, filledCircle, exclamation };
StatusMark statusMark(ServiceRunState state);
// The mark painted in its colour; the menu never recolours it.
QIcon paintedStateDot(ServiceRunState state, int size = 16);

// One row of the status menu, top to bottom.
struct StatusMenuEntry {
    enum class Kind { service, separator, bonjour, openHelper, quit };
    Kind kind = Kind::separator;
    ServiceID service = ServiceID::varaHF; // service rows
    ServiceRunState state = ServiceRunState::stopped;
    QString text;
    QString actionWord; // service rows: "Stop" while running, else "Start"
    bool dimmed = false;
    bool operator==(const StatusMenuEntry &) const = default;
};

// The rows for the services' present states. `advertisedName` is the name the API is announced
// under, absent while nothing is advertised.
std::vector<StatusMenuEntry> statusMenuEntries(const ServiceControl &services,
                                               const std::optional<QString> &advertisedName);

// Every service whose process runs, whatever its lifecycle mode, in service order.
std::vector<ServiceID> runningServices(const ServiceControl &services);
// The status menu's question before quitting while `running` is not empty.
Alert servicesStillRunningAlert(const std::vector<ServiceID> &running);

// The status menu's quit: each service in order stopped (rigctld after the radio's pre-stop,
// and every service whether it runs or not), then `terminate`.
QCoro::Task<void> stopEveryServiceThenTerminate(ServiceControl &services, std::function<void()> terminate);

// The menu of the tray icon. It owns no state: it is rebuilt from the services whenever it is
// about to show and, while open, whenever `scheduleRefresh` is called.
class StatusMenu final : public QMenu {
    Q_OBJECT
public:
    struct Actions {
        std::function<void()> openHelper;
        // Ends the program through the application's quit (after the menu's own stops).
        std::function<void()> terminate;
    };

    // `advertised` names the API's Bonjour service in the menu; it must outlive the menu. `clock`
    // tells how long each row has read what it reads.
    StatusMenu(ServiceControl &services, AlertPresenter &alerts, AdvertisedName &advertised, Actions actions,
               Clock &clock, QWidget *parent = nullptr);

    // Rebuilds once the current event-loop turn has ended.
    void scheduleRefresh();
    void refresh();

    // What a service row's click does: stops the service when the click means "Stop", else
    // starts it. What the click means follows what the row read (StartStopMeaning), not the
    // state the click finds: a restart after a crash may have moved the service on just then.
    void toggleService(ServiceID id, bool stops);
    // Asks while services run, then stops each and terminates.
    void quit();

private:
    ServiceControl &m_services;
    AlertPresenter &m_alerts;
    AdvertisedName &m_advertised;
    Actions m_actions;
    Clock &m_clock;
    CoalescedRefresh *m_refresh;
    std::map<ServiceID, StartStopMeaning> m_meanings;
};

} // namespace cordavelle
