#include "paired_client.h"

#include <algorithm>
#include <cmath>

namespace cordavelle {

namespace {

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC.
constexpr double kReferenceOffset = 978307200.0;

QString requiredString(const nlohmann::ordered_json &json, const char *key)
{
    return QString::fromStdString(json.at(key).get<std::string>());
}

PairedClient::Time requiredDate(const nlohmann::ordered_json &json, const char *key)
{
    const auto &value = json.at(key);
    if (!value.is_number()) {
        throw nlohmann::json::type_error::create(302, std::string("date expected for ") + key, &json);
    }
    return fromReferenceSeconds(value.get<double>());
}

} // namespace

QString toRaw(PairingStatus status)
{
    switch (status) {
    case PairingStatus::pending: return QStringLiteral("pending");
    case PairingStatus::approved: return QStringLiteral("approved");
    case PairingStatus::denied: return QStringLiteral("denied");
    }
    return {};
}

std::optional<PairingStatus> pairingStatusFromRaw(const QString &raw)
{
    if (raw == QLatin1String("pending")) return PairingStatus::pending;
    if (raw == QLatin1String("approved")) return PairingStatus::approved;
    if (raw == QLatin1String("denied")) return PairingStatus::denied;
    return std::nullopt;
}

QString shortenedName(const QString &name, qsizetype limit)
{
    if (name.size() <= limit) {
        return name;
    }
    qsizetype head = (limit - 1) / 2;
    qsizetype tail = limit - 1 - head;
    // A cut between the halves of a surrogate pair would leave half a character.
    if (name.at(head).isLowSurrogate()) {
        --head;
    }
    if (name.at(name.size() - tail).isLowSurrogate()) {
        --tail;
    }
    return name.left(head) + QChar(0x2026) + name.right(tail);
}

bool PairedClient::isConnected(Time now) const
{
    return std::chrono::duration<double>(now - lastSeen).count() < 60.0;
}

double toReferenceSeconds(PairedClient::Time time)
{
    const auto sinceUnix = std::chrono::duration<double>(time.time_since_epoch()).count();
    return sinceUnix - kReferenceOffset;
}

PairedClient::Time fromReferenceSeconds(double seconds)
{
    // A stored date beyond what the clock can hold (some 292 years either side of 1970) would
    // overflow the conversion; it is held at the edge of that range instead.
    constexpr double kLimit = 9.0e9;
    const double sinceUnix = std::isnan(seconds) ? 0.0 : std::clamp(seconds + kReferenceOffset, -kLimit, kLimit);
    return PairedClient::Time(
        std::chrono::duration_cast<PairedClient::Time::duration>(std::chrono::duration<double>(sinceUnix)));
}

void to_json(nlohmann::ordered_json &json, const PairedClient &client)
{
    json = nlohmann::ordered_json::object();
    json["id"] = client.id.toStdString();
    json["hostname"] = client.hostname.toStdString();
    json["platform"] = client.platform.toStdString();
    json["pairedAt"] = toReferenceSeconds(client.pairedAt);
    json["lastSeen"] = toReferenceSeconds(client.lastSeen);
    json["status"] = toRaw(client.status).toStdString();
    if (client.tokenClaimedAt) {
        json["tokenClaimedAt"] = toReferenceSeconds(*client.tokenClaimedAt);
    }
}

void from_json(const nlohmann::ordered_json &json, PairedClient &client)
{
    PairedClient decoded;
    decoded.id = requiredString(json, "id");
    decoded.hostname = requiredString(json, "hostname");
    decoded.platform = requiredString(json, "platform");
    decoded.pairedAt = requiredDate(json, "pairedAt");
    decoded.lastSeen = requiredDate(json, "lastSeen");
    const auto status = pairingStatusFromRaw(requiredString(json, "status"));
    if (!status) {
        throw nlohmann::json::type_error::create(302, "unknown pairing status", &json);
    }
    decoded.status = *status;
    if (auto it = json.find("tokenClaimedAt"); it != json.end() && !it->is_null()) {
        decoded.tokenClaimedAt = requiredDate(json, "tokenClaimedAt");
    }
    decoded.token = QString();
    client = std::move(decoded);
}

} // namespace cordavelle
