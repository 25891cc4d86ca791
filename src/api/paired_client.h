#pragma once

#include <QByteArray>
#include <QString>

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>

namespace cordavelle {

enum class PairingStatus { pending, approved, denied };

QString toRaw(PairingStatus status);
std::optional<PairingStatus> pairingStatusFromRaw(const QString &raw);

// A client that asked for access to the API. Its token lives in the keychain only: the JSON form
// has no key for it and a record read back from JSON carries the empty string.
struct PairedClient {
    using Time = std::chrono::system_clock::time_point;

    QString id;
    QString hostname;
    QString platform;
    QString token;
    Time pairedAt{};
    Time lastSeen{};
    PairingStatus status = PairingStatus::pending;
    std::optional<Time> tokenClaimedAt;

    bool isApprovalUnclaimed() const { return status == PairingStatus::approved && !tokenClaimedAt; }
    // Seen within the last minute.
    bool isConnected(Time now) const;

    bool operator==(const PairedClient &) const = default;
};

// A client's host name where space is short (a notice, a dialog, an alert): one longer than
// `limit` characters keeps its beginning and its end, where names tell hosts apart
// ("shack-ipad.local"), around an ellipsis.
QString shortenedName(const QString &name, qsizetype limit = 48);

// Dates travel as seconds (with fraction) since 2001-01-01 00:00:00 UTC.
double toReferenceSeconds(PairedClient::Time time);
PairedClient::Time fromReferenceSeconds(double seconds);

void to_json(nlohmann::ordered_json &json, const PairedClient &client);
// Throws nlohmann::json::exception when a required key is missing or has the wrong type, or the
// status is not one of its raw values.
void from_json(const nlohmann::ordered_json &json, PairedClient &client);

} // namespace cordavelle
