#include "notifications.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusMessage>

namespace cordavelle {

namespace {
const QString kNotificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kNotificationsInterface = QStringLiteral("org.freedesktop.Notifications");

// Texts of a request are plain; a server that reads markup in the body would otherwise turn a
// client's host name such as "<b>x</b> & co" into formatting or links.
QString escapedMarkup(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&': out += QLatin1String("&amp;"); break;
        case '<': out += QLatin1String("&lt;"); break;
        case '>': out += QLatin1String("&gt;"); break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

FreedesktopNotifications::FreedesktopNotifications(QObject *parent) : Notifications(parent)
{
    qRegisterMetaType<NotificationResponse>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        m_connected = true;
        bus.connect(kNotificationsService, kNotificationsPath, kNotificationsInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(onActionInvoked(uint, QString)));
        bus.connect(kNotificationsService, kNotificationsPath, kNotificationsInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(onNotificationClosed(uint, uint)));
    }
}

void FreedesktopNotifications::setCategories(const QList<NotificationCategory> &categories)
{
    m_categories = categories;
}

void FreedesktopNotifications::add(const NotificationRequest &request)
{
    m_withdrawnWhilePosting.remove(request.identifier);
    if (!m_connected) {
        return;
    }
    if (m_bodyMarkup) {
        post(request);
        return;
    }
    const QDBusMessage ask =
        QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath, kNotificationsInterface, QStringLiteral("GetCapabilities"));
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(ask), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, request](QDBusPendingCallWatcher *w) {
        QDBusPendingReply<QStringList> reply = *w;
        w->deleteLater();
        if (!m_bodyMarkup) {
            // A server that doesn't answer is taken to read markup: escaped text then shows
            // escapes at worst, never formatting.
            m_bodyMarkup = reply.isError() || reply.value().contains(QStringLiteral("body-markup"));
        }
        post(request);
    });
}

void FreedesktopNotifications::withdraw(const QString &identifier)
{
    const auto id = m_idByRequest.constFind(identifier);
    if (id == m_idByRequest.constEnd()) {
        m_withdrawnWhilePosting.insert(identifier);
        return;
    }
    const uint serverId = *id;
    m_posted.remove(serverId);
    m_idByRequest.remove(identifier);
    QDBusMessage call =
        QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath, kNotificationsInterface, QStringLiteral("CloseNotification"));
    call << serverId;
    QDBusConnection::sessionBus().asyncCall(call);
}

void FreedesktopNotifications::post(const NotificationRequest &request)
{
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

    QDBusMessage call = QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath, kNotificationsInterface, QStringLiteral("Notify"));
    call << QCoreApplication::applicationName() << m_idByRequest.value(request.identifier, 0u) << QString()
         << request.title << (*m_bodyMarkup ? escapedMarkup(request.body) : request.body) << actions << hints
         << int(-1);
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
        if (m_withdrawnWhilePosting.remove(posted.identifier)) {
            withdraw(posted.identifier);
        }
    });
}

void FreedesktopNotifications::onActionInvoked(uint id, const QString &actionKey)
{
    const auto it = m_posted.constFind(id);
    if (it == m_posted.constEnd()) {
        return; // another program's notification
    }
    Q_EMIT responseReceived(NotificationResponse{actionKey, it->identifier, it->userInfo});
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
