#pragma once

#include "platform/notifications.h"

#include <vector>

namespace cordavelle::test {

// Keeps what was posted; `respond` plays the user pressing a button.
class RecordingNotifications final : public Notifications {
public:
    void setCategories(const QList<NotificationCategory> &list) override { categories = list; }
    void add(const NotificationRequest &request) override { requests.push_back(request); }
    void withdraw(const QString &identifier) override { withdrawn.push_back(identifier); }

    void respond(const QString &action, const NotificationRequest &request)
    {
        Q_EMIT responseReceived(NotificationResponse{action, request.identifier, request.userInfo});
    }

    QList<NotificationCategory> categories;
    std::vector<NotificationRequest> requests;
    std::vector<QString> withdrawn;
};

} // namespace cordavelle::test
