#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace cordavelle {

struct NotificationAction {
    QString identifier;
    QString title;
    bool destructive = false;
};

// A set of buttons that notifications can carry by naming the category.
struct NotificationCategory {
    QString identifier;
    QList<NotificationAction> actions;
};

struct NotificationRequest {
    // A later request with the same identifier replaces the earlier notification.
    QString identifier;
    QString title;
    QString body;
    QString categoryIdentifier;
    QVariantMap userInfo;
    bool sound = true;
};

// What the user did with a notification: one of its category's action identifiers, or
// `kDefaultAction` when the notification itself was clicked.
struct NotificationResponse {
    static inline const QString kDefaultAction = QStringLiteral("default");

    QString actionIdentifier;
    QString requestIdentifier;
    QVariantMap userInfo;
};

// The desktop's notifications. Posting never reports failure: a notification that cannot be
// shown is dropped, as the helper's callers expect.
class Notifications : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Replaces the known categories.
    virtual void setCategories(const QList<NotificationCategory> &categories) = 0;
    // Whether the helper may show notifications. The Linux desktop asks no permission.
    virtual bool requestAuthorization() { return true; }
    virtual void add(const NotificationRequest &request) = 0;
    // Takes away what is shown under the request identifier, if anything; a button pressed on it
    // afterwards is not reported.
    virtual void withdraw(const QString &identifier) = 0;

Q_SIGNALS:
    void responseReceived(const cordavelle::NotificationResponse &response);
};

// org.freedesktop.Notifications on the session bus, with action buttons.
class FreedesktopNotifications final : public Notifications {
    Q_OBJECT

public:
    explicit FreedesktopNotifications(QObject *parent = nullptr);

    void setCategories(const QList<NotificationCategory> &categories) override;
    void add(const NotificationRequest &request) override;
    void withdraw(const QString &identifier) override;

private Q_SLOTS:
    void onActionInvoked(uint id, const QString &actionKey);
    void onNotificationClosed(uint id, uint reason);

private:
    struct Posted {
        QString identifier;
        QVariantMap userInfo;
    };

    void post(const NotificationRequest &request);

    bool m_connected = false;
    // Whether the server reads markup in the body, once it has said so.
    std::optional<bool> m_bodyMarkup;
    QList<NotificationCategory> m_categories;
    QMap<uint, Posted> m_posted;        // server id -> what was posted
    QMap<QString, uint> m_idByRequest;  // request identifier -> server id, for replacement
    // Identifiers withdrawn while their posting was still on its way to the server.
    QSet<QString> m_withdrawnWhilePosting;
};

} // namespace cordavelle

Q_DECLARE_METATYPE(cordavelle::NotificationResponse)
