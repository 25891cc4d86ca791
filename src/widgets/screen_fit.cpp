#include "widgets/screen_fit.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QWidget>

namespace cordavelle {

namespace {

// The frame a window manager adds, as far as it can be known before the window is mapped: a
// title bar and thin borders.
constexpr QMargins kUsualFrame(4, 30, 4, 4);
constexpr const char *kPlaced = "placedOnScreen";

class ScreenFitRule final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Show || !watched->isWidgetType()) {
            return false;
        }
        auto *window = static_cast<QWidget *>(watched);
        // The tray icon's window above all must stay where the tray puts it: moved as a window
        // is, it landed in the middle of the tray's slot, out of sight, whenever the tray had
        // taken it in before it was shown.
        if (!isTitledWindow(*window) || window->property(kPlaced).toBool()) {
            return false;
        }
        window->setProperty(kPlaced, true);
        QWidget *owner = window->parentWidget() ? window->parentWidget()->window() : nullptr;
        QScreen *screen = owner && owner->isVisible() ? owner->screen() : window->screen();
        if (!screen) {
            screen = QGuiApplication::primaryScreen();
        }
        if (!screen) {
            return false;
        }
        std::optional<QRect> over;
        if (owner && owner->isVisible()) {
            over = owner->geometry();
        }
        // A window already mapped once knows its frame.
        const QRect frameGeometry = window->frameGeometry();
        const QRect geometry = window->geometry();
        const QMargins frame = frameGeometry != geometry
                                   ? QMargins(geometry.left() - frameGeometry.left(), geometry.top() - frameGeometry.top(),
                                              frameGeometry.right() - geometry.right(),
                                              frameGeometry.bottom() - geometry.bottom())
                                   : kUsualFrame;
        const QRect placed = placedWithin(screen->availableGeometry(), window->size(), window->minimumSize(), over, frame);
        if (placed.size() != window->size()) {
            window->resize(placed.size());
        }
        window->move(placed.topLeft());
        return false;
    }
};

} // namespace

bool isTitledWindow(const QWidget &widget)
{
    const Qt::WindowType type = widget.windowType();
    if (!widget.isWindow() || (type != Qt::Window && type != Qt::Dialog && type != Qt::Tool)) {
        return false;
    }
    return !widget.windowFlags().testAnyFlags(Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
}

QRect placedWithin(const QRect &available, QSize size, QSize minimum, const std::optional<QRect> &over,
                   const QMargins &frame)
{
    const QRect room = available.marginsRemoved(frame);
    size = size.boundedTo(room.size()).expandedTo(minimum);
    QRect placed(QPoint(), size);
    placed.moveCenter((over ? *over : room).center());
    // Within the room where it fits; its top left corner (the title bar) on the screen where not.
    placed.moveLeft(qMax(room.left(), qMin(placed.left(), room.right() - placed.width() + 1)));
    placed.moveTop(qMax(room.top(), qMin(placed.top(), room.bottom() - placed.height() + 1)));
    return placed;
}

void installScreenFitRule(QCoreApplication &app)
{
    static const char *const kName = "screenFitRule";
    if (app.findChild<ScreenFitRule *>(QLatin1String(kName), Qt::FindDirectChildrenOnly)) {
        return;
    }
    auto *rule = new ScreenFitRule(&app);
    rule->setObjectName(QLatin1String(kName));
    app.installEventFilter(rule);
}

} // namespace cordavelle
