#pragma once

#include "api/paired_client.h"
#include "platform/notifications.h"

#include <QObject>
#include <QSet>

namespace cordavelle {

class PairingManager;

inline const QString kAcceptPairingAction = QStringLiteral("ACCEPT_PAIRING");
inline const QString kDenyPairingAction = QStringLiteral("DENY_PAIRING");
inline const QString kPairingRequestCategory = QStringLiteral("PAIRING_REQUEST");

// The notification category with the Accept and Deny buttons of a pairing request.
void registerPairingNotificationCategory(Notifications &notifications);
// Puts a pending request before the user; a later one for the same client replaces it.
void sendPairingNotification(Notifications &notifications, const PairedClient &client);

// Turns Accept and Deny on a pairing notification into the pairing manager's approve and deny.
// A decision that cannot be saved is told in a notification of its own, with the reason. A
// request decided anywhere (here, in the window, through the API) has its notice withdrawn, and a
// button pressed on a notice whose request is no longer pending changes nothing.
class PairingNotificationDelegate : public QObject {
    Q_OBJECT

public:
    PairingNotificationDelegate(Notifications &notifications, PairingManager &manager, QObject *parent = nullptr);

    void handle(const NotificationResponse &response);

private:
    void withdrawDecided();

    Notifications &m_notifications;
    PairingManager &m_manager;
    // The clients whose request was pending at the last change of the table.
    QSet<QString> m_pending;
};

} // namespace cordavelle
