#pragma once

#include <QMetaObject>
#include <QObject>

#include <functional>

namespace cordavelle {

// Folds any number of change signals within one event-loop turn into one call of `refresh`.
// A child of the view it refreshes, so a refresh still queued when the view goes is dropped.
class CoalescedRefresh final : public QObject {
public:
    CoalescedRefresh(QObject *owner, std::function<void()> refresh) : QObject(owner), m_refresh(std::move(refresh)) {}

    void schedule()
    {
        if (m_scheduled) {
            return;
        }
        m_scheduled = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_scheduled = false;
                m_refresh();
            },
            Qt::QueuedConnection);
    }

private:
    std::function<void()> m_refresh;
    bool m_scheduled = false;
};

} // namespace cordavelle
