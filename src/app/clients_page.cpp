#include "clients_page.h"

#include "api/pairing_manager.h"
#include "widgets/accent_style.h"
#include "widgets/alert_presenter.h"
#include "widgets/coalesced_refresh.h"
#include "widgets/form_parts.h"
#include "app/content_placeholder.h"
#include "platform/clock.h"

#include <QCoroTask>
#include <QFrame>
#include <QPointer>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

namespace cordavelle {

namespace {

QWidget *emptyState()
{
    auto *empty = new QWidget;
    auto *column = new QVBoxLayout(empty);
    column->addStretch(1);
    auto *placeholder = new ContentPlaceholder(QStringLiteral("laptopcomputer.and.iphone"), QStringLiteral("No Clients"));
    placeholder->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    column->addWidget(placeholder);
    auto *description = captionLabel(QStringLiteral("Cordavelle clients that pair with this Helper will appear here."));
    description->setAlignment(Qt::AlignCenter);
    column->addWidget(description);
    column->addStretch(1);
    return empty;
}

QWidget *unclaimedApprovalBanner()
{
    auto *banner = new QFrame;
    banner->setObjectName(QStringLiteral("unclaimedApprovalBanner"));
    banner->setAutoFillBackground(true);
    QPalette palette = banner->palette();
    QColor tint = toneColour(Tone::orange, palette);
    tint.setAlphaF(0.1);
    palette.setColor(QPalette::Window, tint);
    banner->setPalette(palette);
    auto *row = new QHBoxLayout(banner);
    row->setSpacing(12);
    row->addWidget(symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), Tone::orange, 22), 0, Qt::AlignTop);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(4);
    auto *title = new QLabel;
    title->setTextFormat(Qt::PlainText);
    title->setText(QStringLiteral("Pairing not fully completed"));
    title->setFont(textStyle::headline(title->font()));
    texts->addWidget(title);
    texts->addWidget(captionLabel(QStringLiteral(
        "One or more clients were approved but never fetched their pairing token \u2014 often because the client "
        "wasn't running when Accept was clicked, or the pairing notification was missed. These clients cannot "
        "connect until they collect their token. Remove the affected entry and pair again from the Cordavelle app.")));
    row->addLayout(texts, 1);
    return banner;
}

// The whole of a name (or a platform) for its tooltip, which a name without spaces would run off the screen in:
// in lines of at most 64 characters, and escaped, as a client's name may look like markup.
QString wholeNameTip(const QString &name)
{
    QStringList lines;
    for (qsizetype start = 0; start < name.size();) {
        qsizetype length = qMin<qsizetype>(64, name.size() - start);
        if (start + length < name.size() && name.at(start + length - 1).isHighSurrogate()) {
            --length;
        }
        lines << name.mid(start, length).toHtmlEscaped();
        start += length;
    }
    return QStringLiteral("<p style='white-space:pre'>") + lines.join(QStringLiteral("<br>")) + QStringLiteral("</p>");
}

// However narrow the row, a cut label keeps room for a few characters at either end of its text,
// or the whole of a short one.
void keepReadable(QLabel *label)
{
    label->setMinimumWidth(qMin(label->sizeHint().width(), 16 * label->fontMetrics().averageCharWidth()));
}

QCoro::Task<void> refreshAt(QPointer<ClientsPage> page, Clock &clock, std::chrono::milliseconds delay,
                            std::stop_token stop, std::function<void()> refresh)
{
    const bool slept = co_await clock.sleep(delay, stop);
    if (slept && page) {
        refresh();
    }
}

} // namespace

ClientsPage::ClientsPage(PairingManager &pairing, Clock &clock, AlertPresenter &alerts, QWidget *parent)
    : QWidget(parent), m_pairing(pairing), m_clock(clock), m_alerts(alerts),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); })),
      m_lastSeenRefresh(new CoalescedRefresh(this, [this] { refresh(); }, clock, kLastSeenInterval)),
      m_layout(bareColumn(this))
{
    connect(&pairing, &PairingManager::clientsChanged, m_refresh, &CoalescedRefresh::schedule);
    connect(&pairing, &PairingManager::lastSeenChanged, m_lastSeenRefresh, &CoalescedRefresh::schedule);
    refresh();
}

ClientsPage::~ClientsPage() { stopFollowingTime(); }

void ClientsPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Time went on while the page was hidden.
    refresh();
}

void ClientsPage::hideEvent(QHideEvent *event)
{
    stopFollowingTime();
    QWidget::hideEvent(event);
}

void ClientsPage::stopFollowingTime()
{
    if (m_timeWait) {
        m_timeWait->request_stop();
        m_timeWait.reset();
    }
}

void ClientsPage::followTime(const std::vector<PairedClient> &clients)
{
    stopFollowingTime();
    if (!isVisible()) {
        return;
    }
    const auto now = m_clock.wallNow();
    std::optional<PairedClient::Time> due;
    for (const PairedClient &client : clients) {
        if (const auto change = nextRowChange(client, now); change && (!due || *change < *due)) {
            due = change;
        }
    }
    if (!due) {
        return;
    }
    m_timeWait.emplace();
    // Rounded up: woken a little early, the row would not have changed yet.
    const auto delay = std::chrono::ceil<std::chrono::milliseconds>(*due - now);
    refreshAt(this, m_clock, delay, m_timeWait->get_token(), [this] {
        m_timeWait.reset();
        refresh();
    });
}

void ClientsPage::refresh()
{
    const std::vector<PairedClient> &clients = m_pairing.clients();
    followTime(clients);
    const auto now = m_clock.wallNow();
    std::vector<ClientRow> rows;
    rows.reserve(clients.size());
    for (const PairedClient &client : clients) {
        rows.push_back(clientRow(client, now));
    }
    const bool banner = hasUnclaimedApproval(clients);
    if (refreshRows(rows, banner)) {
        keepRowsInView();
        return;
    }

    delete m_body;
    m_shown.clear();
    m_rowLayout = nullptr;
    m_scroll = nullptr;
    m_bannerShown = banner;
    if (rows.empty()) {
        m_body = emptyState();
        m_layout->addWidget(m_body);
        return;
    }
    m_body = new QWidget;
    auto *column = bareColumn(m_body, 0);
    if (banner) {
        column->addWidget(unclaimedApprovalBanner());
    }
    auto *list = new QWidget;
    m_rowLayout = new QVBoxLayout(list);
    for (const ClientRow &row : rows) {
        m_shown.push_back(makeRow(row));
        m_rowLayout->addWidget(m_shown.back().widget);
    }
    m_rowLayout->addStretch();
    m_scroll = new QScrollArea;
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setWidget(list);
    column->addWidget(m_scroll, 1);
    m_layout->addWidget(m_body);
    keepRowsInView();
}

void ClientsPage::keepRowsInView()
{
    if (m_scroll) {
        m_scroll->setMinimumWidth(m_scroll->widget()->minimumSizeHint().width()
                                  + m_scroll->verticalScrollBar()->sizeHint().width());
    }
}

bool ClientsPage::refreshRows(const std::vector<ClientRow> &rows, bool banner)
{
    const bool sameClients =
        std::equal(rows.begin(), rows.end(), m_shown.begin(), m_shown.end(),
                   [](const ClientRow &row, const ShownRow &shown) { return row.id == shown.model.id; });
    if (!m_body || banner != m_bannerShown || !sameClients) {
        return false;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ShownRow &shown = m_shown[i];
        const ClientRow &row = rows[i];
        if (row == shown.model) {
            continue;
        }
        ClientRow sameStatus = row;
        sameStatus.dot = shown.model.dot;
        sameStatus.dotMeaning = shown.model.dotMeaning;
        sameStatus.statusLine = shown.model.statusLine;
        sameStatus.statusTone = shown.model.statusTone;
        if (sameStatus == shown.model) {
            if (row.dot != shown.model.dot) {
                shown.dot->setTone(row.dot);
                shown.dot->setAccessibleName(row.dotMeaning);
            }
            if (row.statusLine != shown.model.statusLine || row.statusTone != shown.model.statusTone) {
                setToneText(shown.status, row.statusLine, row.statusTone);
            }
            shown.model = row;
            continue;
        }
        ShownRow replacement = makeRow(row);
        delete m_rowLayout->replaceWidget(shown.widget, replacement.widget);
        delete shown.widget;
        shown = replacement;
    }
    return true;
}

ClientsPage::ShownRow ClientsPage::makeRow(const ClientRow &model)
{
    auto *row = new QWidget;
    row->setObjectName(QStringLiteral("client:") + model.id);
    auto *line = new QHBoxLayout(row);
    line->setContentsMargins(8, 4, 8, 4);
    line->setSpacing(12);
    auto *dot = new StateDot(nullptr, 10);
    dot->setTone(model.dot);
    dot->setAccessibleName(model.dotMeaning);
    line->addWidget(dot);
    auto *symbol = symbolLabel(model.platformSymbol, Tone::secondary, 22);
    symbol->setFixedWidth(28);
    symbol->setAlignment(Qt::AlignCenter);
    line->addWidget(symbol);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto *names = new QHBoxLayout;
    // A name may take 255 characters: cut to the row's width, it leaves the buttons in view.
    auto *host = new MiddleElidedLabel(1);
    host->setTextFormat(Qt::PlainText);
    host->setFont(textStyle::headline(host->font()));
    host->setFullText(model.hostname);
    host->setToolTip(wholeNameTip(model.hostname));
    host->setAccessibleDescription(model.hostname);
    keepReadable(host);
    names->addWidget(host);
    auto *platform = new MiddleElidedLabel(1);
    platform->setTextFormat(Qt::PlainText);
    platform->setFont(textStyle::caption(platform->font()));
    QPalette faded = platform->palette();
    faded.setColor(QPalette::WindowText, toneColour(Tone::secondary, faded));
    platform->setPalette(faded);
    platform->setFullText(model.platformText);
    platform->setToolTip(wholeNameTip(model.platformText));
    keepReadable(platform);
    names->addWidget(platform);
    names->addStretch();
    texts->addLayout(names);
    auto *status = captionLabel(model.statusLine, model.statusTone);
    texts->addWidget(status);
    if (model.pairedLine) {
        auto *paired = captionLabel(*model.pairedLine, Tone::tertiary);
        paired->setFont(textStyle::caption2(paired->font()));
        texts->addWidget(paired);
    }
    line->addLayout(texts, 1);

    const QString id = model.id;
    if (model.actions == ClientRow::Actions::acceptDeny) {
        auto *accept = new AccentButton(QStringLiteral("Accept"));
        auto *deny = new QPushButton(QStringLiteral("Deny"));
        const QString quoted = QLatin1Char('\'') + shortenedName(model.hostname) + QLatin1Char('\'');
        connect(accept, &QPushButton::clicked, this, [this, id, quoted] {
            reportFailure(m_pairing.approve(id), quoted + QStringLiteral(" could not be accepted"));
        });
        connect(deny, &QPushButton::clicked, this, [this, id, quoted] {
            reportFailure(m_pairing.deny(id), quoted + QStringLiteral(" could not be denied"));
        });
        line->addWidget(accept);
        line->addWidget(deny);
    } else {
        auto *remove = new QPushButton(QStringLiteral("Remove"));
        QPalette palette = remove->palette();
        palette.setColor(QPalette::ButtonText, toneColour(Tone::red, palette));
        remove->setPalette(palette);
        connect(remove, &QPushButton::clicked, this, [this, id] { confirmRemoval(id); });
        line->addWidget(remove);
    }
    return {model, row, dot, status};
}

void ClientsPage::confirmRemoval(const QString &clientId)
{
    const auto &clients = m_pairing.clients();
    const auto it = std::find_if(clients.begin(), clients.end(), [&](const PairedClient &c) { return c.id == clientId; });
    if (it == clients.end()) {
        return;
    }
    const PairedClient client = *it;
    if (m_alerts.present(revokeConfirmationAlert(client), this) == 0) {
        reportFailure(m_pairing.revoke(client.id),
                      QLatin1Char('\'') + shortenedName(client.hostname) + QStringLiteral("' could not be removed"));
    }
}

void ClientsPage::reportFailure(const std::optional<QString> &failure, const QString &message)
{
    if (failure) {
        m_alerts.present(pairingNotSavedAlert(message, *failure), this);
    }
}

} // namespace cordavelle
