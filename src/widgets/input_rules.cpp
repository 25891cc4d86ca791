#include "input_rules.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QAccessibleWidget>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QEvent>
#include <QSignalBlocker>
#include <QWheelEvent>

namespace cordavelle {

namespace {

bool takesWheelForValue(const QObject *object)
{
    return qobject_cast<const QComboBox *>(object) || qobject_cast<const QAbstractSpinBox *>(object);
}

class WheelRule final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!takesWheelForValue(watched)) {
            return false;
        }
        auto *widget = static_cast<QWidget *>(watched);
        if (event->type() == QEvent::Polish) {
            // Pointing the wheel at the field must not focus it either, or the next turn would
            // change it after all.
            if (widget->focusPolicy() == Qt::WheelFocus) {
                widget->setFocusPolicy(Qt::StrongFocus);
            }
        } else if (event->type() == QEvent::Wheel && !widget->hasFocus()) {
            // Ignored and consumed: the application hands it on to the parents, up to the page's
            // scroll area.
            event->ignore();
            return true;
        }
        return false;
    }
};

// A plain widget's face, a window while it is one: a widget made without a parent and given one
// later is no window by then, so the role is asked each time rather than fixed when made.
class PlainWidgetFace final : public QAccessibleWidget {
public:
    using QAccessibleWidget::QAccessibleWidget;

    QAccessible::Role role() const override
    {
        return widget()->windowType() == Qt::Window ? QAccessible::Window : QAccessibleWidget::role();
    }
};

// Only at the level of QWidget itself: every subclass Qt gives a face of its own keeps it.
QAccessibleInterface *plainWidgetFace(const QString &className, QObject *object)
{
    if (className != QLatin1String("QWidget") || !object || !object->isWidgetType()) {
        return nullptr;
    }
    return new PlainWidgetFace(static_cast<QWidget *>(object));
}

} // namespace

void installWindowRole()
{
    static const bool installed = [] {
        QAccessible::installFactory(plainWidgetFace);
        return true;
    }();
    Q_UNUSED(installed);
}

void installWheelRule(QCoreApplication &app)
{
    static const char *const kName = "wheelRule";
    if (app.findChild<WheelRule *>(QLatin1String(kName), Qt::FindDirectChildrenOnly)) {
        return;
    }
    auto *rule = new WheelRule(&app);
    rule->setObjectName(QLatin1String(kName));
    app.installEventFilter(rule);
}

void onToggled(QAbstractButton *button, QObject *context, std::function<void(bool)> store)
{
    QObject::connect(button, &QAbstractButton::toggled, context, std::move(store));
}

void onChosen(QButtonGroup *group, QObject *context, std::function<void(int)> store)
{
    QObject::connect(group, &QButtonGroup::idToggled, context, [store = std::move(store)](int id, bool checked) {
        if (checked) {
            store(id);
        }
    });
}

void showChecked(QAbstractButton *button, bool checked)
{
    const QSignalBlocker quiet(button);
    button->setChecked(checked);
}

void showChosen(QButtonGroup *group, int id)
{
    const QSignalBlocker quiet(group);
    if (QAbstractButton *button = group->button(id)) {
        const QSignalBlocker quietButton(button);
        button->setChecked(true);
    }
}

} // namespace cordavelle
