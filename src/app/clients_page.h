#pragma once

#include "app/clients_page_model.h"

#include <QWidget>

#include <chrono>
#include <optional>
#include <stop_token>
#include <vector>

class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace cordavelle {

class AlertPresenter;
class Clock;
class CoalescedRefresh;
class PairingManager;
struct PairedClient;
class StateDot;

// The management window's clients page: every client that asked to pair, with Accept and Deny
// for a waiting one and Remove (after a confirmation) for the others, and a banner while an
// approved client has not fetched its token. It follows the pairing manager's table, and time too
// while it is shown: a row reads "connected" for 60 s after the client was last seen.
class ClientsPage final : public QWidget {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kLastSeenInterval{250};

    ClientsPage(PairingManager &pairing, Clock &clock, AlertPresenter &alerts, QWidget *parent = nullptr);
    ~ClientsPage() override;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    struct ShownRow {
        ClientRow model;
        QWidget *widget;
        // What a new last-seen time changes, set in place.
        StateDot *dot;
        QLabel *status;
    };

    void refresh();
    // While the page is shown, one wait on the clock for the row that changes first by time
    // alone (its 60 s mark, or its "last seen" time moving on); a new refresh replaces it.
    void followTime(const std::vector<PairedClient> &clients);
    void stopFollowingTime();
    // Brings the shown rows up to date: a new status line or dot is set in place, a row that
    // changed in anything else is built anew. False when the page must be built anew (a client
    // came or went, the banner comes or goes).
    bool refreshRows(const std::vector<ClientRow> &rows, bool banner);
    // The list scrolls up and down only: the page is never narrower than its narrowest row, so
    // that no row's buttons can leave the window.
    void keepRowsInView();
    ShownRow makeRow(const ClientRow &row);
    void confirmRemoval(const QString &clientId);
    // Tells why a change the user asked for did not happen, if it did not.
    void reportFailure(const std::optional<QString> &failure, const QString &message);

    PairingManager &m_pairing;
    Clock &m_clock;
    AlertPresenter &m_alerts;
    CoalescedRefresh *m_refresh;
    // Last-seen times change with every request of a polling client: shown a few times a second.
    CoalescedRefresh *m_lastSeenRefresh;
    QVBoxLayout *m_layout;
    QWidget *m_body = nullptr;
    QVBoxLayout *m_rowLayout = nullptr;
    QScrollArea *m_scroll = nullptr;
    std::vector<ShownRow> m_shown;
    bool m_bannerShown = false;
    std::optional<std::stop_source> m_timeWait;
};

} // namespace cordavelle
