#include "app/about_window.h"

#include "app/changelog.h"
#include "widgets/form_parts.h"
#include "widgets/status_look.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QStringDecoder>
#include <QUrl>
#include <QVBoxLayout>

namespace cordavelle {

namespace {

QLabel *label(const QString &text, const QFont &font, std::optional<Tone> tone = std::nullopt)
{
    auto *l = new QLabel(text);
    l->setTextFormat(Qt::PlainText);
    l->setFont(font);
    if (tone) {
        QPalette palette = l->palette();
        palette.setColor(QPalette::WindowText, toneColour(*tone, palette));
        l->setPalette(palette);
    }
    return l;
}

// A credited work: name — author, and a line about it. A click opens its web page.
class AcknowledgmentRow final : public QWidget {
public:
    explicit AcknowledgmentRow(const Acknowledgment &work) : m_url(work.url)
    {
        auto *column = bareColumn(this, 1);
        auto *title = new QHBoxLayout;
        title->setSpacing(4);
        QFont name = textStyle::caption(font());
        name.setWeight(QFont::Medium);
        auto *nameLabel = new QLabel(work.name);
        nameLabel->setTextFormat(Qt::PlainText);
        nameLabel->setFont(name);
        title->addWidget(nameLabel);
        title->addWidget(label(QStringLiteral("\u2014 ") + work.author, textStyle::caption(font()), Tone::secondary));
        title->addStretch();
        column->addLayout(title);
        auto *description = label(work.description, textStyle::caption2(font()), Tone::tertiary);
        description->setWordWrap(true);
        column->addWidget(description);
        setToolTip(work.url);
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        const QUrl url(m_url, QUrl::StrictMode);
        if (event->button() == Qt::LeftButton && url.isValid() && !url.scheme().isEmpty()) {
            QDesktopServices::openUrl(url);
        }
    }

private:
    QString m_url;
};

QString readReleaseNotes()
{
    QFile file(QStringLiteral(":/CHANGELOG-Helper.md"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(file.readAll());
    return utf8.hasError() ? QString() : text;
}

} // namespace

const std::vector<Acknowledgment> &acknowledgments()
{
    static const std::vector<Acknowledgment> works{
        {QStringLiteral("Qt"), QStringLiteral("The Qt Project"), QStringLiteral("https://www.qt.io"),
         QStringLiteral("Cross-platform application framework: windows, event loop, processes and networking.")},
        {QStringLiteral("QCoro"), QStringLiteral("QCoro contributors"), QStringLiteral("https://qcoro.dev"),
         QStringLiteral("C++ coroutines for Qt.")},
        {QStringLiteral("nlohmann/json"), QStringLiteral("JSON for Modern C++ contributors"),
         QStringLiteral("https://json.nlohmann.me"), QStringLiteral("JSON for modern C++.")},
        {QStringLiteral("libplist"), QStringLiteral("libimobiledevice project"),
         QStringLiteral("https://libimobiledevice.org"), QStringLiteral("Reads and writes property list files.")},
        {QStringLiteral("libsecret"), QStringLiteral("The GNOME Project"),
         QStringLiteral("https://wiki.gnome.org/Projects/Libsecret"),
         QStringLiteral("Stores pairing tokens in the Secret Service.")},
        {QStringLiteral("Avahi"), QStringLiteral("Avahi project"), QStringLiteral("https://avahi.org"),
         QStringLiteral("Zeroconf service discovery on the local network.")},
        {QStringLiteral("ALSA"), QStringLiteral("ALSA project"), QStringLiteral("https://www.alsa-project.org"),
         QStringLiteral("Linux sound devices.")},
        {QStringLiteral("Hamlib"), QStringLiteral("Hamlib project"), QStringLiteral("https://hamlib.github.io"),
         QStringLiteral("Ham radio control libraries and the rigctld daemon.")},
        {QStringLiteral("Direwolf"), QStringLiteral("Direwolf contributors"),
         QStringLiteral("https://github.com/wb2osz/direwolf"),
         QStringLiteral("Software sound-card AX.25 packet modem and TNC.")},
        {QStringLiteral("Wine"), QStringLiteral("WineHQ"), QStringLiteral("https://www.winehq.org"),
         QStringLiteral("Runs the VARA modems, which are Windows programs.")},
    };
    return works;
}

QString buildDateText(const std::optional<QDateTime> &modified, const QLocale &locale)
{
    if (!modified || !modified->isValid()) {
        return QStringLiteral("Unknown");
    }
    // Qt has no medium date style: the abbreviated month name in the locale's order comes
    // closest.
    QString format = locale.dateFormat(QLocale::LongFormat);
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    format.remove(QRegularExpression(QStringLiteral("dddd[,.]?\\s*")));
    return locale.toString(modified->date(), format.trimmed());
}

QString versionLine(const QString &version, const QString &buildNumber, const QString &buildDate)
{
    return QStringLiteral("Version ") + version + QStringLiteral(" (") + buildNumber + QStringLiteral(") \u2014 Built ") +
           buildDate;
}

AboutInfo AboutInfo::current()
{
    AboutInfo info;
    if (const QString version = QCoreApplication::applicationVersion(); !version.isEmpty()) {
        info.version = version;
    }
    if (const QVariant build = qApp ? qApp->property("buildNumber") : QVariant();
        build.typeId() == QMetaType::QString) {
        info.buildNumber = build.toString();
    }
    const QFileInfo executable(QCoreApplication::applicationFilePath());
    info.buildDate = buildDateText(executable.exists() ? std::optional(executable.lastModified()) : std::nullopt,
                                   QLocale());
    info.releaseNotes = readReleaseNotes();
    return info;
}

AboutWindow::AboutWindow(const AboutInfo &info, QWidget *parent)
    : QWidget(parent), m_version(versionLine(info.version, info.buildNumber, info.buildDate))
{
    setWindowTitle(QStringLiteral("About Cordavelle Helper"));
    QScrollArea *scroll = fillWithScrollArea(this);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto *content = new QWidget;
    content->setFixedWidth(420);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(20);

    auto *header = new QVBoxLayout;
    header->setSpacing(8);
    auto *icon = new QLabel;
    icon->setAlignment(Qt::AlignCenter);
    const QIcon appIcon = QApplication::windowIcon();
    icon->setPixmap(appIcon.isNull() ? tintedPixmap(symbolIcon(QStringLiteral("antenna.radiowaves.left.and.right")), 80,
                                                    palette().color(QPalette::Highlight), devicePixelRatioF())
                                     : appIcon.pixmap(80, 80));
    header->addWidget(icon);
    auto *name = label(QStringLiteral("Cordavelle Helper"), textStyle::title2(font()));
    name->setAlignment(Qt::AlignCenter);
    header->addWidget(name);
    auto *version = label(m_version, textStyle::caption(font()), Tone::secondary);
    version->setAlignment(Qt::AlignCenter);
    header->addWidget(version);
    column->addLayout(header);

    column->addWidget(divider());
    auto *description = label(QStringLiteral("Manages radio modem infrastructure on Linux for Cordavelle Pelorin "
                                             "clients. Handles Wine, VARA modem, and rigctld lifecycle so the "
                                             "Cordavelle client can focus on messaging."),
                              textStyle::caption(font()), Tone::secondary);
    description->setAlignment(Qt::AlignCenter);
    description->setWordWrap(true);
    column->addWidget(description);
    column->addWidget(divider());

    if (!info.releaseNotes.isEmpty()) {
        m_releaseNotes = new QWidget;
        auto *notes = bareColumn(m_releaseNotes, 8);
        notes->addWidget(label(QStringLiteral("Release Notes"), textStyle::headline(font())));
        auto *notesScroll = new QScrollArea;
        notesScroll->setWidgetResizable(true);
        notesScroll->setFrameShape(QFrame::NoFrame);
        notesScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        auto *changelog = new ChangelogView(info.releaseNotes);
        // As tall as the notes, up to 200 points; longer notes scroll.
        const int width = content->width() - column->contentsMargins().left() - column->contentsMargins().right();
        const int height =
            changelog->hasHeightForWidth() ? changelog->heightForWidth(width) : changelog->sizeHint().height();
        notesScroll->setFixedHeight(qBound(1, height, 200));
        notesScroll->setWidget(changelog);
        notes->addWidget(notesScroll);
        column->addWidget(m_releaseNotes);
        column->addWidget(divider());
    }

    auto *thanks = new QVBoxLayout;
    thanks->setSpacing(12);
    thanks->addWidget(label(QStringLiteral("Acknowledgments"), textStyle::headline(font())));
    auto *rows = new QVBoxLayout;
    rows->setSpacing(8);
    for (const Acknowledgment &work : acknowledgments()) {
        rows->addWidget(new AcknowledgmentRow(work));
    }
    thanks->addLayout(rows);
    column->addLayout(thanks);
    column->addStretch();

    scroll->setWidget(content);
    scroll->setMinimumWidth(420 + scroll->verticalScrollBar()->sizeHint().width());
    resize(minimumWidth(), 620);
}

} // namespace cordavelle
