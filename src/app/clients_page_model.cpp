#include "clients_page_model.h"

#include "widgets/service_header.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>

namespace cordavelle {

namespace {

QDateTime toDateTime(PairedClient::Time time)
{
    return QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count());
}

} // namespace

QString platformSymbol(const QString &platform)
{
    const QString lower = platform.toLower();
    if (lower == QLatin1String("macos")) {
        return QStringLiteral("macbook");
    }
    if (lower == QLatin1String("ios")) {
        return QStringLiteral("iphone");
    }
    if (lower == QLatin1String("ipados")) {
        return QStringLiteral("ipad");
    }
    return QStringLiteral("laptopcomputer");
}

ClientRow clientRow(const PairedClient &client, PairedClient::Time now)
{
    ClientRow row;
    row.id = client.id;
    row.hostname = client.hostname;
    row.platformText = QLatin1Char('(') + client.platform + QLatin1Char(')');
    row.platformSymbol = platformSymbol(client.platform);
    const bool recent = now - client.lastSeen < kConnectedFor;

    switch (client.status) {
    case PairingStatus::pending:
        row.dot = Tone::orange;
        row.dotMeaning = QStringLiteral("Needs attention");
        row.statusLine = QStringLiteral("Requesting access...");
        row.statusTone = Tone::orange;
        row.actions = ClientRow::Actions::acceptDeny;
        return row;
    case PairingStatus::denied:
        row.dot = Tone::red;
        row.dotMeaning = QStringLiteral("Denied");
        row.statusLine = QStringLiteral("Denied");
        row.statusTone = Tone::red;
        return row;
    case PairingStatus::approved:
        break;
    }
    row.dot = recent ? Tone::green : Tone::gray;
    row.dotMeaning = recent ? QStringLiteral("Connected") : QStringLiteral("Not connected");
    if (client.isApprovalUnclaimed()) {
        row.statusLine = QStringLiteral("Approved but token not delivered \u2014 client can't authenticate");
        row.statusTone = Tone::orange;
    } else if (recent) {
        row.statusLine = QStringLiteral("Connected \u2014 last seen just now");
        row.statusTone = Tone::green;
    } else {
        // relativeTime says "<n>m ago" and the like.
        row.statusLine = QStringLiteral("Paired \u2014 last seen ") + relativeTime(toDateTime(client.lastSeen), toDateTime(now));
        row.statusTone = Tone::secondary;
    }
    row.pairedLine = QStringLiteral("Paired: ") +
                     QLocale().toString(toDateTime(client.pairedAt).date(), QLocale::ShortFormat);
    return row;
}

std::optional<PairedClient::Time> nextRowChange(const PairedClient &client, PairedClient::Time now)
{
    using namespace std::chrono;
    if (client.status != PairingStatus::approved) {
        return std::nullopt;
    }
    const auto sinceSeen = now - client.lastSeen;
    if (sinceSeen < kConnectedFor) {
        return client.lastSeen + kConnectedFor;
    }
    if (client.isApprovalUnclaimed()) {
        // Past its mark only the dot could change, and it has turned gray.
        return std::nullopt;
    }
    // The steps of relativeTime past the first minute: minutes, then hours, then days.
    const seconds step = sinceSeen < hours(1) ? minutes(1) : sinceSeen < hours(24) ? hours(1) : hours(24);
    return client.lastSeen + (duration_cast<seconds>(sinceSeen) / step + 1) * step;
}

bool hasUnclaimedApproval(const std::vector<PairedClient> &clients)
{
    return std::any_of(clients.begin(), clients.end(), [](const PairedClient &c) { return c.isApprovalUnclaimed(); });
}

QString revokeConfirmationTitle(const std::optional<PairedClient> &client)
{
    return client ? QStringLiteral("Remove ") + shortenedName(client->hostname) + QLatin1Char('?')
                  : QStringLiteral("Remove Client?");
}

Alert revokeConfirmationAlert(const PairedClient &client)
{
    const QString name = shortenedName(client.hostname);
    Alert alert;
    alert.style = Alert::Style::warning;
    alert.message = revokeConfirmationTitle(client);
    alert.informativeText = QStringLiteral("This will disconnect '") + name +
                            QStringLiteral("' and require the app to pair again before it can use Helper features.");
    alert.buttons = {QStringLiteral("Remove '") + name + QLatin1Char('\''), QStringLiteral("Cancel")};
    alert.destructive = true;
    return alert;
}

Alert pairingNotSavedAlert(const QString &message, const QString &reason)
{
    Alert alert;
    alert.style = Alert::Style::critical;
    alert.message = message;
    alert.informativeText = reason;
    alert.buttons = {QStringLiteral("OK")};
    return alert;
}

} // namespace cordavelle
