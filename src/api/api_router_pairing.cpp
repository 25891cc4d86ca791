#include "api_router.h"

#include "client_text.h"

#include "pairing_manager.h"
#include "pairing_notifications.h"

#include "base/json_support.h"
#include "core/config_store.h"

namespace cordavelle {

namespace {

const QString kInvalidBody =
    QString::fromUtf8("Invalid request body \u2014 requires clientId, hostname, platform");
const QString kRateLimited = QString::fromUtf8("Too many pairing requests \u2014 try again shortly");
const QString kTableFull = QString::fromUtf8("Pairing table full \u2014 revoke an unused client first");
const QString kNoTokenMade = QString::fromUtf8("Could not create a pairing token \u2014 try again shortly");
const QString kTokenUnreadable = QString::fromUtf8("Pairing token could not be read \u2014 try again shortly");

// The longest texts a pairing request may carry, in UTF-8 bytes: an identifier, a host name
// and a platform name. Anything longer would only fill the settings file.
struct TextLimit {
    const char *key;
    qsizetype maxBytes;
};
constexpr TextLimit kTextLimits[] = {{"clientId", 128}, {"hostname", 255}, {"platform", 64}};

// Why a request's texts can't be stored, or nothing when they can.
std::optional<QString> unfitText(const QString &clientId, const QString &hostname, const QString &platform)
{
    const QString *texts[] = {&clientId, &hostname, &platform};
    for (std::size_t i = 0; i < std::size(kTextLimits); ++i) {
        const QString key = QLatin1String(kTextLimits[i].key);
        if (texts[i]->toUtf8().size() > kTextLimits[i].maxBytes) {
            return QString::fromUtf8("Invalid request body \u2014 %1 is longer than %2 bytes")
                .arg(key, QString::number(kTextLimits[i].maxBytes));
        }
        if (holdsControlCharacters(*texts[i])) {
            return QString::fromUtf8("Invalid request body \u2014 %1 may not hold control characters").arg(key);
        }
    }
    return std::nullopt;
}

std::optional<QString> stringMember(const Json &object, const char *key)
{
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return std::nullopt;
    }
    return QString::fromStdString(it->get<std::string>());
}

} // namespace

HTTPResponse APIRouter::keyringNotAnswering()
{
    return HTTPResponse::unavailable(
        QString::fromUtf8("The desktop's keyring is not answering, so the token can't be checked yet \u2014 try again "
                          "shortly, or pair again: once the request is accepted in the helper, a new token comes "
                          "with it"),
        kKeyringRetrySeconds);
}

QCoro::Task<HTTPResponse> APIRouter::handlePairing(const HTTPRequest &request, const QStringList &components)
{
    const QString &method = request.method;
    if (components.size() == 3 && components[1] == QLatin1String("status") && method == QLatin1String("GET")) {
        co_return handlePairingStatus(components[2]);
    }
    if (components.size() == 2 && components[1] == QLatin1String("request") && method == QLatin1String("POST")) {
        co_return co_await handlePairingRequest(request);
    }
    if (components.size() == 2 && method == QLatin1String("DELETE")) {
        co_return handlePairingRemoval(request, components[1]);
    }
    co_return HTTPResponse::notFound();
}

QCoro::Task<HTTPResponse> APIRouter::handlePairingRequest(const HTTPRequest &request)
{
    if (!request.body) {
        co_return HTTPResponse::error(kInvalidBody, 400);
    }
    Json body;
    try {
        body = parseJson(*request.body);
    } catch (const JsonDecodeError &) {
        co_return HTTPResponse::error(kInvalidBody, 400);
    }
    if (!body.is_object()) {
        co_return HTTPResponse::error(kInvalidBody, 400);
    }
    const auto clientId = stringMember(body, "clientId");
    const auto hostname = stringMember(body, "hostname");
    const auto platform = stringMember(body, "platform");
    if (!clientId || !hostname || !platform) {
        co_return HTTPResponse::error(kInvalidBody, 400);
    }
    if (const auto unfit = unfitText(*clientId, *hostname, *platform)) {
        co_return HTTPResponse::error(*unfit, 400);
    }

    const auto result = co_await m_pairing.requestPairing(*clientId, *hostname, *platform, request.remoteHost);
    co_return answerPairingRequest(request, result);
}

HTTPResponse APIRouter::answerPairingRequest(const HTTPRequest &request, const PairingManager::PairingResult &result)
{
    using Kind = PairingManager::PairingResult::Kind;
    switch (result.kind) {
    case Kind::rateLimited:
        return HTTPResponse::error(kRateLimited, 429);
    case Kind::capacityExceeded:
        return HTTPResponse::error(kTableFull, 503);
    case Kind::tokenUnavailable:
        return HTTPResponse::error(kNoTokenMade, 500);
    case Kind::notSaved:
        return HTTPResponse::error(result.failure, 500);
    case Kind::accepted:
        break;
    }

    const PairedClient &registered = *result.client;
    if (!m_config.requirePairing() && request.isLoopback()) {
        // The request stays pending, so asking again approves it once the approval can be saved.
        if (const auto failure = m_pairing.approve(registered.id)) {
            return HTTPResponse::error(*failure, 500);
        }
    } else {
        sendPairingNotification(m_notifications, registered);
    }
    const auto current = m_pairing.client(registered.id);
    const PairingStatus status = current ? current->status : registered.status;
    return HTTPResponse::json(Json{{"status", toRaw(status).toStdString()}});
}

HTTPResponse APIRouter::handlePairingStatus(const QString &clientId)
{
    const auto client = m_pairing.client(clientId);
    if (!client) {
        return HTTPResponse::error(QStringLiteral("Client not found"), 404);
    }
    Json reply{{"status", toRaw(client->status).toStdString()}};
    if (client->status == PairingStatus::approved) {
        // An approval without a readable token would leave the client holding nothing it can
        // use while believing it is paired; it asks again instead.
        if (client->token.isEmpty()) {
            if (m_pairing.tokenState(client->id).kind == TokenState::Kind::awaitingKeyring) {
                return keyringNotAnswering();
            }
            return HTTPResponse::error(kTokenUnreadable, 500);
        }
        // A hand-out the table does not record would lapse after 600 s with the client holding
        // a token that stops working; the client polls again instead.
        if (const auto failure = m_pairing.markTokenClaimed(client->id)) {
            return HTTPResponse::error(*failure, 500);
        }
        reply["token"] = client->token.toStdString();
    }
    return HTTPResponse::json(reply);
}

HTTPResponse APIRouter::handlePairingRemoval(const HTTPRequest &request, const QString &clientId)
{
    const auto client = clientForToken(request);
    if (!client && m_pairing.cannotTellTokens()) {
        return keyringNotAnswering();
    }
    if (client && client->id == clientId) {
        if (const auto failure = m_pairing.revoke(client->id)) {
            return HTTPResponse::error(*failure, 500);
        }
        return HTTPResponse::json(Json{{"status", "removed"}});
    }
    return HTTPResponse::error(QStringLiteral("Unauthorized"), 401);
}

} // namespace cordavelle
