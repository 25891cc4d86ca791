#include "pairing_notifications.h"

#include "api/pairing_manager.h"

namespace cordavelle {

namespace {

// A client's notifications share one identifier, so that a later one about it replaces the
// earlier rather than standing beside it.
QString notificationIdentifier(const QString &clientId) { return QStringLiteral("pairing-") + clientId; }

} // namespace

void registerPairingNotificationCategory(Notifications &notifications)
{
    NotificationCategory category;
    category.identifier = kPairingRequestCategory;
    category.actions = {
        {kAcceptPairingAction, QStringLiteral("Accept"), false},
        {kDenyPairingAction, QStringLiteral("Deny"), true},
    };
    notifications.setCategories({category});
}

void sendPairingNotification(Notifications &notifications, const PairedClient &client)
{
    NotificationRequest request;
    request.identifier = notificationIdentifier(client.id);
    request.title = QStringLiteral("Pairing Request");
    request.body = QLatin1Char('\'') + shortenedName(client.hostname) + QStringLiteral("' (") + client.platform
                   + QStringLiteral(") is requesting access");
    request.categoryIdentifier = kPairingRequestCategory;
    request.userInfo.insert(QStringLiteral("clientId"), client.id);
    request.sound = true;
    notifications.add(request);
}

PairingNotificationDelegate::PairingNotificationDelegate(Notifications &notifications, PairingManager &manager,
                                                         QObject *parent)
    : QObject(parent), m_notifications(notifications), m_manager(manager)
{
    connect(&notifications, &Notifications::responseReceived, this, &PairingNotificationDelegate::handle);
    connect(&manager, &PairingManager::clientsChanged, this, &PairingNotificationDelegate::withdrawDecided);
    withdrawDecided();
}

void PairingNotificationDelegate::withdrawDecided()
{
    QSet<QString> pending;
    for (const PairedClient &client : m_manager.clients()) {
        if (client.status == PairingStatus::pending) {
            pending.insert(client.id);
        }
    }
    for (const QString &clientId : std::as_const(m_pending)) {
        if (!pending.contains(clientId)) {
            m_notifications.withdraw(notificationIdentifier(clientId));
        }
    }
    m_pending = std::move(pending);
}

void PairingNotificationDelegate::handle(const NotificationResponse &response)
{
    const QVariant value = response.userInfo.value(QStringLiteral("clientId"));
    const QString clientId = value.typeId() == QMetaType::QString ? value.toString() : QString();
    if (clientId.isEmpty()) {
        return;
    }
    const bool accept = response.actionIdentifier == kAcceptPairingAction;
    if (!accept && response.actionIdentifier != kDenyPairingAction) {
        return;
    }
    // Pressed on a notice that stayed up after its request was decided elsewhere.
    const auto asked = m_manager.client(clientId);
    if (!asked || asked->status != PairingStatus::pending) {
        m_notifications.withdraw(response.requestIdentifier);
        return;
    }
    const std::optional<QString> failure = accept ? m_manager.approve(clientId) : m_manager.deny(clientId);
    if (!failure) {
        return;
    }
    // The client is left as it was; the user can decide again in the clients page.
    NotificationRequest request;
    request.identifier = notificationIdentifier(clientId);
    request.title = accept ? QStringLiteral("Pairing Not Accepted") : QStringLiteral("Pairing Not Denied");
    request.body = *failure + QStringLiteral(". '") + shortenedName(asked->hostname)
                   + QStringLiteral("' is left as it was; decide again on the Clients page.");
    request.userInfo.insert(QStringLiteral("clientId"), clientId);
    m_notifications.add(request);
}

} // namespace cordavelle
