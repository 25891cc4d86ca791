#pragma once

#include <QWidget>

class QVBoxLayout;

namespace cordavelle {

class AlertPresenter;
class Clock;
class CoalescedRefresh;
class PairingManager;
struct ClientRow;

// The management window's clients page: every client that asked to pair, with Accept and Deny
// for a waiting one and Remove (after a confirmation) for the others, and a banner while an
// approved client has not fetched its token. It follows the pairing manager's table.
class ClientsPage final : public QWidget {
    Q_OBJECT
public:
    ClientsPage(PairingManager &pairing, Clock &clock, AlertPresenter &alerts, QWidget *parent = nullptr);

private:
    void refresh();
    QWidget *makeRow(const ClientRow &row);
    void confirmRemoval(const QString &clientId);

    PairingManager &m_pairing;
    Clock &m_clock;
    AlertPresenter &m_alerts;
    CoalescedRefresh *m_refresh;
    QVBoxLayout *m_layout;
    QWidget *m_body = nullptr;
};

} // namespace cordavelle
