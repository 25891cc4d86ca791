#pragma once

#include "api/paired_client.h"
#include "widgets/alert_presenter.h"
#include "widgets/status_look.h"

#include <QString>

#include <chrono>
#include <optional>
#include <vector>

namespace cordavelle {

// What one row of the clients page shows, decided from the client and the time now.
struct ClientRow {
    enum class Actions { acceptDeny, remove };

    QString id;
    QString hostname;
    // "(" + platform + ")", the platform as the client sent it.
    QString platformText;
    QString platformSymbol;
    Tone dot = Tone::gray;
    // What the dot means, for those who cannot see its colour.
    QString dotMeaning;
    QString statusLine;
    Tone statusTone = Tone::secondary;
    // "Paired: <date>" for an approved client only.
    std::optional<QString> pairedLine;
    Actions actions = Actions::remove;

    bool operator==(const ClientRow &) const = default;
};

// Seen less than this long ago counts as connected.
inline constexpr std::chrono::seconds kConnectedFor{60};

// "macbook", "iphone", "ipad" for the three known platforms in any letter case, else
// "laptopcomputer".
QString platformSymbol(const QString &platform);
ClientRow clientRow(const PairedClient &client, PairedClient::Time now);
// The first moment after `now` at which the client's row reads differently with nothing else
// changed: its 60 s mark, then each step of the "last seen" time. None when the row never
// changes by time alone.
std::optional<PairedClient::Time> nextRowChange(const PairedClient &client, PairedClient::Time now);
// Some approved client never fetched its token, so the helper refuses every request of it.
bool hasUnclaimedApproval(const std::vector<PairedClient> &clients);

// The removal confirmation: the title with or without a client, and for a client the
// destructive button first, then "Cancel".
QString revokeConfirmationTitle(const std::optional<PairedClient> &client);
Alert revokeConfirmationAlert(const PairedClient &client);
// A pairing change that could not be saved and so did not happen: `message` says which, `reason`
// why.
Alert pairingNotSavedAlert(const QString &message, const QString &reason);
} // namespace cordavelle
