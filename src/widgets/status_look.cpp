#include "widgets/status_look.h"

#include "platform/clock.h"

#include <QFontDatabase>
#include <QHash>
#include <QPainter>
#include <QStandardPaths>

#include <chrono>

namespace cordavelle {

QColor toneColour(Tone tone, const QPalette &palette)
{
    switch (tone) {
    case Tone::gray: return QColor(0x8e, 0x8e, 0x93);
    case Tone::yellow: return QColor(0xe6, 0xb4, 0x00);
    case Tone::green: return QColor(0x2f, 0xb3, 0x4a);
    case Tone::red: return QColor(0xe0, 0x3a, 0x30);
    case Tone::orange: return QColor(0xff, 0x95, 0x00);
    case Tone::blue: return QColor(0x0a, 0x7a, 0xff);
    case Tone::secondary:
    case Tone::tertiary: {
        // The label colour, faded: secondary text less, tertiary more.
        QColor c = palette.color(QPalette::WindowText);
        c.setAlphaF(tone == Tone::secondary ? 0.62f : 0.38f);
        return c;
    }
    }
    return palette.color(QPalette::WindowText);
}

ServiceRunState shownRunState(ServiceRunState state, bool startFailed)
{
    return state == ServiceRunState::stopped && startFailed ? ServiceRunState::error : state;
}

Tone runStateTone(ServiceRunState state)
{
    switch (state) {
    case ServiceRunState::stopped: return Tone::gray;
    case ServiceRunState::starting:
    case ServiceRunState::stopping: return Tone::yellow;
    case ServiceRunState::running: return Tone::green;
    case ServiceRunState::error: return Tone::red;
    }
    return Tone::gray;
}

QString runStateText(ServiceRunState state)
{
    QString raw = toRaw(state);
    raw[0] = raw[0].toUpper();
    return raw;
}

QDateTime wallTime(const Clock &clock)
{
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(clock.wallNow().time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(since.count());
}

void ensureIconTheme()
{
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor")) {
        // Platforms without a desktop (offscreen, a bare X server) name no theme and search
        // no system folder.
        QStringList paths = QIcon::themeSearchPaths();
        for (const QString &dir : QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("icons"),
                                                            QStandardPaths::LocateDirectory)) {
            if (!paths.contains(dir)) {
                paths << dir;
            }
        }
        QIcon::setThemeSearchPaths(paths);
        QIcon::setThemeName(QStringLiteral("Adwaita"));
    }
}

namespace {

// `inner` drawn smaller inside a ring: the design's ".circle" form of a symbol, which no icon
// theme has; VARA FM's waves in their ring are told apart from VARA HF's and from the antenna.
QIcon encircled(const QIcon &inner)
{
    constexpr int kSize = 128;
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, kSize / 14.0));
    painter.drawEllipse(QRectF(kSize / 14.0, kSize / 14.0, kSize * 6 / 7.0, kSize * 6 / 7.0));
    const int innerSize = kSize / 2;
    const int offset = (kSize - innerSize) / 2;
    painter.drawPixmap(QRect(offset, offset, innerSize, innerSize), inner.pixmap(innerSize, innerSize));
    painter.end();
    return QIcon(pixmap);
}

} // namespace

QIcon symbolIcon(const QString &symbolName)
{
    // The design's symbol names, and the freedesktop icon that says the same thing best.
    static const QHash<QString, QString> themeNames{
        {QStringLiteral("wave.3.right"), QStringLiteral("network-wireless-symbolic")},
        {QStringLiteral("dog.fill"), QStringLiteral("network-transmit-receive-symbolic")},
        {QStringLiteral("antenna.radiowaves.left.and.right"), QStringLiteral("network-cellular-symbolic")},
        {QStringLiteral("laptopcomputer.and.iphone"), QStringLiteral("computer-symbolic")},
        {QStringLiteral("checklist"), QStringLiteral("view-list-symbolic")},
        {QStringLiteral("sidebar.left"), QStringLiteral("sidebar-show-symbolic")},
        {QStringLiteral("terminal"), QStringLiteral("utilities-terminal-symbolic")},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("dialog-warning-symbolic")},
        {QStringLiteral("doc.on.doc"), QStringLiteral("edit-copy-symbolic")},
        {QStringLiteral("trash"), QStringLiteral("user-trash-symbolic")},
        {QStringLiteral("bonjour"), QStringLiteral("network-workgroup")},
        {QStringLiteral("arrow.clockwise"), QStringLiteral("view-refresh-symbolic")},
        {QStringLiteral("arrow.clockwise.circle"), QStringLiteral("view-refresh-symbolic")},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("emblem-ok-symbolic")},
        {QStringLiteral("checkmark.circle"), QStringLiteral("object-select-symbolic")},
        {QStringLiteral("xmark.circle.fill"), QStringLiteral("process-stop-symbolic")},
        {QStringLiteral("arrow.triangle.swap"), QStringLiteral("media-playlist-shuffle-symbolic")},
        {QStringLiteral("externaldrive.badge.minus"), QStringLiteral("drive-harddisk-symbolic")},
        {QStringLiteral("macbook"), QStringLiteral("computer-symbolic")},
        {QStringLiteral("laptopcomputer"), QStringLiteral("computer-symbolic")},
        {QStringLiteral("iphone"), QStringLiteral("phone-symbolic")},
        {QStringLiteral("ipad"), QStringLiteral("tablet-symbolic")},
        {QStringLiteral("folder.badge.minus"), QStringLiteral("folder-symbolic")},
        {QStringLiteral("gearshape"), QStringLiteral("preferences-system-symbolic")},
        {QStringLiteral("key"), QStringLiteral("dialog-password-symbolic")},
        {QStringLiteral("power"), QStringLiteral("system-shutdown-symbolic")},
        {QStringLiteral("info.circle.fill"), QStringLiteral("dialog-information-symbolic")},
        {QStringLiteral("gearshape.2.fill"), QStringLiteral("emblem-system-symbolic")},
        {QStringLiteral("network"), QStringLiteral("network-workgroup-symbolic")},
        {QStringLiteral("shippingbox.fill"), QStringLiteral("package-x-generic-symbolic")},
        {QStringLiteral("folder.badge.gear"), QStringLiteral("folder-symbolic")},
        {QStringLiteral("circle"), QStringLiteral("radio-symbolic")},
        {QStringLiteral("arrow.triangle.2.circlepath.circle.fill"), QStringLiteral("software-update-available-symbolic")},
    };
    ensureIconTheme();
    if (symbolName == QLatin1String("wave.3.right.circle")) {
        return encircled(symbolIcon(QStringLiteral("wave.3.right")));
    }
    return QIcon::fromTheme(themeNames.value(symbolName, symbolName));
}

QPixmap tintedPixmap(const QIcon &icon, int size, const QColor &colour, qreal devicePixelRatio)
{
    const int device = qRound(size * devicePixelRatio);
    QPixmap out(device, device);
    out.fill(Qt::transparent);
    if (icon.isNull()) {
        out.setDevicePixelRatio(devicePixelRatio);
        return out;
    }
    QPainter painter(&out);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(QRect(0, 0, device, device), icon.pixmap(device, device));
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(out.rect(), colour);
    painter.end();
    out.setDevicePixelRatio(devicePixelRatio);
    return out;
}

StateDot::StateDot(QWidget *parent, int diameter) : QWidget(parent), m_diameter(diameter)
{
    setFixedSize(diameter, diameter);
}

void StateDot::setTone(Tone tone)
{
    if (tone != m_tone) {
        m_tone = tone;
        update();
    }
}

void StateDot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(toneColour(m_tone, palette()));
    painter.drawEllipse(QRectF(0, 0, m_diameter, m_diameter));
}

namespace textStyle {

namespace {
QFont scaled(const QFont &base, double factor)
{
    QFont font = base;
    if (base.pointSizeF() > 0) {
        font.setPointSizeF(base.pointSizeF() * factor);
    } else {
        font.setPixelSize(qMax(1, qRound(base.pixelSize() * factor)));
    }
    return font;
}
} // namespace

QFont caption(const QFont &base) { return scaled(base, 0.85); }
QFont caption2(const QFont &base) { return scaled(base, 0.8); }

QFont headline(const QFont &base)
{
    QFont font = base;
    font.setWeight(QFont::Bold);
    return font;
}

QFont subheadline(const QFont &base) { return scaled(base, 0.92); }
QFont callout(const QFont &base) { return scaled(base, 0.95); }

QFont title(const QFont &base)
{
    QFont font = scaled(base, 1.75);
    font.setWeight(QFont::Bold);
    return font;
}

QFont title3(const QFont &base) { return scaled(base, 1.25); }

QFont title2(const QFont &base)
{
    QFont font = scaled(base, 1.45);
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont monospaced(const QFont &base)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (base.pointSizeF() > 0) {
        font.setPointSizeF(base.pointSizeF());
    }
    return font;
}

} // namespace textStyle

} // namespace cordavelle
