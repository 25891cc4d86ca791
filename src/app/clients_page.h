#pragma once

#include "app/clients_page_model.h"

#include <QWidget>

#include <vector>

class QVBoxLayout;

namespace cordavelle {

class AlertPresenter;
class Clock;
class CoalescedRefresh;
class PairingManager;

// The management window's clients page: every client that asked to pair, with Accept and Deny
// for a waiting one and Remove (after a confirmation) for the others, and a banner while an
// approved client has not fetched its token. It follows the pairing manager's table.
class ClientsPage final : public QWidget {
    Q_OBJECT
public:
    ClientsPage(PairingManager &pairing, Clock &clock, AlertPresenter &alerts, QWidget *parent = nullptr);

private:
    struct ShownRow {
        ClientRow model;
        QWidget *widget;
    };

    void refresh();
    // Replaces the rows whose text changed; false when the page must be built anew (a client
    // came or went, the banner comes or goes).
    bool refreshRows(const std::vector<ClientRow> &rows, bool banner);
    QWidget *makeRow(const ClientRow &row);
    void confirmRemoval(const QString &clientId);

    PairingManager &m_pairing;
    Clock &m_clock;
    AlertPresenter &m_alerts;
    CoalescedRefresh *m_refresh;
    QVBoxLayout *m_layout;
    QWidget *m_body = nullptr;
    QVBoxLayout *m_rowLayout = nullptr;
    std::vector<ShownRow> m_shown;
    bool m_bannerShown = false;
};

} // namespace cordavelle
