#include "pairing_notifications.h"

#include "api/pairing_manager.h"

namespace cordavelle {

void PairingManager::registerNotificationCategory(Notifications &notifications)
{
    NotificationCategory category;
    category.identifier = kPairingRequestCategory;
    category.actions = {
        {kAcceptPairingAction, QStringLiteral("Accept"), false},
        {kDenyPairingAction, QStringLiteral("Deny"), true},
    };
    notifications.setCategories({category});
}

void PairingManager::sendPairingNotification(Notifications &notifications, const PairedClient &client)
{
    NotificationRequest request;
    request.identifier = QStringLiteral("pairing-") + client.id;
    request.title = QStringLiteral("Pairing Request");
    request.body = QLatin1Char('\'') + client.hostname + QStringLiteral("' (") + client.platform
                   + QStringLiteral(") is requesting access");
    request.categoryIdentifier = kPairingRequestCategory;
    request.userInfo.insert(QStringLiteral("clientId"), client.id);
    request.sound = true;
    notifications.add(request);
}

PairingNotificationDelegate::PairingNotificationDelegate(Notifications &notifications, PairingManager &manager,
                                                         QObject *parent)
    : QObject(parent), m_manager(manager)
{
    connect(&notifications, &Notifications::responseReceived, this, &PairingNotificationDelegate::handle);
}

void PairingNotificationDelegate::handle(const NotificationResponse &response)
{
    const QVariant value = response.userInfo.value(QStringLiteral("clientId"));
    const QString clientId = value.typeId() == QMetaType::QString ? value.toString() : QString();
    if (clientId.isEmpty()) {
        return;
    }
    if (response.actionIdentifier == kAcceptPairingAction) {
        m_manager.approve(clientId);
    } else if (response.actionIdentifier == kDenyPairingAction) {
        m_manager.deny(clientId);
    }
}

} // namespace cordavelle
