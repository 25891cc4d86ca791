#pragma once

#include "base/service_model.h"

#include <QWidget>

class QButtonGroup;
class QLabel;

namespace cordavelle {

// The sentence under the mode picker that explains a lifecycle mode.
QString lifecycleCaption(ServiceLifecycleMode mode);

// A segmented "Mode" picker over the three lifecycle modes, with the chosen mode's caption
// below it. setMode shows a value without reporting it; only the user's choice is reported.
class LifecyclePicker final : public QWidget {
    Q_OBJECT
public:
    explicit LifecyclePicker(ServiceLifecycleMode mode = ServiceLifecycleMode::onDemand, QWidget *parent = nullptr);

    ServiceLifecycleMode mode() const { return m_mode; }
    void setMode(ServiceLifecycleMode mode);
    QString caption() const;

Q_SIGNALS:
    void modeActivated(cordavelle::ServiceLifecycleMode mode);

private:
    void display(ServiceLifecycleMode mode);

    ServiceLifecycleMode m_mode;
    QButtonGroup *m_segments;
    QLabel *m_caption;
};

} // namespace cordavelle
