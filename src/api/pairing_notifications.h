#pragma once

#include "api/paired_client.h"
#include "platform/notifications.h"

#include <QObject>

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
// A decision that cannot be saved is told in a notification of its own, with the reason.
class PairingNotificationDelegate : public QObject {
    Q_OBJECT

public:
    PairingNotificationDelegate(Notifications &notifications, PairingManager &manager, QObject *parent = nullptr);

    void handle(const NotificationResponse &response);

private:
    Notifications &m_notifications;
    PairingManager &m_manager;
};

} // namespace cordavelle
