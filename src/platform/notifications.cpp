#include "notifications.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusMessage>

namespace cordavelle {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
} // namespace

FreedesktopNotifications::FreedesktopNotifications(QObject *parent) : Notifications(parent)
{
    qRegisterMetaType<NotificationResponse>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        m_connected = true;
        bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(onActionInvoked(uint, QString)));
        bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(onNotificationClosed(uint, uint)));
    }
}

void FreedesktopNotifications::setCategories(const QList<NotificationCategory> &categories)
{
    m_categories = categories;
}

void FreedesktopNotifications::add(const NotificationRequest &request)
{
    if (!m_connected) {
        return;
    }
    QStringList actions;
    for (const auto &category : std::as_const(m_categories)) {
        if (category.identifier == request.categoryIdentifier) {
            for (const auto &action : category.actions) {
                actions << action.identifier << action.title;
            }
        }
    }
    if (!actions.isEmpty()) {
        // Clicking the notification itself.
        actions << NotificationResponse::kDefaultAction << QString();
    }
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("com.cordavelle.helper"));
    if (request.sound) {
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    } else {
        hints.insert(QStringLiteral("suppress-sound"), true);
    }

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QCoreApplication::applicationName() << m_idByRequest.value(request.identifier, 0u) << QString()
         << request.title << request.body << actions << hints << int(-1);
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    const Posted posted{request.identifier, request.userInfo};
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, posted](QDBusPendingCallWatcher *w) {
        QDBusPendingReply<uint> reply = *w;
        w->deleteLater();
        if (reply.isError()) {
            return; // not shown: dropped, as the callers expect
        }
        m_posted.insert(reply.value(), posted);
        m_idByRequest.insert(posted.identifier, reply.value());
    });
}

void FreedesktopNotifications::onActionInvoked(uint id, const QString &actionKey)
{
    const auto it = m_posted.constFind(id);
    if (it == m_posted.constEnd()) {
        return; // another program's notification
    }
    emit responseReceived(NotificationResponse{actionKey, it->identifier, it->userInfo});
}

void FreedesktopNotifications::onNotificationClosed(uint id, uint)
{
    const auto it = m_posted.find(id);
    if (it == m_posted.end()) {
        return;
    }
    m_idByRequest.remove(it->identifier);
    m_posted.erase(it);
}

} // namespace cordavelle
