#pragma once

#include "platform/notifications.h"

#include <QObject>

namespace cordavelle {

class PairingManager;

inline const QString kAcceptPairingAction = QStringLiteral("ACCEPT_PAIRING");
inline const QString kDenyPairingAction = QStringLiteral("DENY_PAIRING");
inline const QString kPairingRequestCategory = QStringLiteral("PAIRING_REQUEST");

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
