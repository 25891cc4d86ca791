#include "api_router.h"

#include "client_text.h"
#include "config_limits.h"

#include "paired_client.h"
#include "pairing_manager.h"

#include "base/helper_error.h"
#include "base/json_support.h"
#include "core/config_store.h"
#include "platform/clock.h"
#include "platform/user_defaults.h"
#include "radio/serial_port_manager.h"

#include <QCoreApplication>

#include <chrono>

namespace cordavelle {

namespace {

const QString kUnauthorized = QString::fromUtf8("Unauthorized \u2014 pairing required");
const QString kNoControlCharacters = QString::fromUtf8(" \u2014 text values may not hold control characters");

// The moment of the first authenticated status reply: "uptime" counts from there.
Clock::WallTime launchTime(Clock &clock)
{
    static const Clock::WallTime first = clock.wallNow();
    return first;
}

QString versionText()
{
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral("1.0") : version;
}

QCoro::Task<void> stopWhenPrepared(ServiceControl &orchestrator, ServiceID id)
{
    co_await orchestrator.prepareToStopService(id);
    orchestrator.stopService(id);
}

// A change that could not be written: the setting keeps its old value, in memory and on disk.
HTTPResponse notSaved(const QString &reason)
{
    return HTTPResponse::error(QString::fromUtf8("Could not save the settings \u2014 ") + reason, 500);
}

// Decodes a configuration body into its record and stores it in place of `stored`; the record as
// stored is the reply.
template <class Record, class Store>
HTTPResponse replaceConfig(const std::optional<QByteArray> &body, const Record &stored, const QString &invalidMessage,
                           Store store)
{
    if (!body) {
        return HTTPResponse::error(QStringLiteral("Missing request body"), 400);
    }
    Record record;
    QStringList sent;
    try {
        const Json parsed = Json::parse(body->cbegin(), body->cend());
        if (holdsControlCharacters(parsed)) {
            return HTTPResponse::error(invalidMessage + kNoControlCharacters, 400);
        }
        record = parsed.template get<Record>();
        sent = textValues(parsed);
    } catch (const std::exception &) {
        return HTTPResponse::error(invalidMessage, 400);
    }
    if (const auto problem = config_limits::problem(record, stored)) {
        // The refused value is named as sent; what the check found beyond it (a link's target,
        // the Wine prefix a VARA path lies in) is not.
        return HTTPResponse::error(invalidMessage + QString::fromUtf8(" \u2014 ") + *problem, 400, sent);
    }
    if (const std::optional<QString> failure = store(record)) {
        return notSaved(*failure);
    }
    return HTTPResponse::jsonEncodable(record, 200);
}

} // namespace

APIRouter::APIRouter(ServiceControl &orchestrator, ConfigStore &config, PairingManager &pairing, Clock &clock,
                     UserDefaults &defaults, Notifications &notifications)
    : m_orchestrator(orchestrator), m_config(config), m_pairing(pairing), m_clock(clock), m_defaults(defaults),
      m_notifications(notifications)
{
}

APIRouter::Handler APIRouter::handler(ServiceControl &orchestrator, ConfigStore &config, PairingManager &pairing,
                                      Clock &clock, UserDefaults &defaults, Notifications &notifications)
{
    return [&orchestrator, &config, &pairing, &clock, &defaults,
            &notifications](HTTPRequest request) -> QCoro::Task<HTTPResponse> {
        // The router lives in this frame for as long as the request takes.
        APIRouter router(orchestrator, config, pairing, clock, defaults, notifications);
        co_return co_await router.handle(std::move(request));
    };
}

std::optional<PairedClient> APIRouter::clientForToken(const HTTPRequest &request) const
{
    const std::optional<QString> authorization = request.header(QStringLiteral("authorization"));
    if (!authorization || !authorization->startsWith(QLatin1String("bearer "), Qt::CaseInsensitive)) {
        return std::nullopt;
    }
    // Taken as sent: a second blank after the scheme becomes part of the token.
    return m_pairing.validateToken(QStringView(*authorization).mid(7));
}

bool APIRouter::isAuthenticated(const HTTPRequest &request) const
{
    return !m_config.requirePairing() || clientForToken(request).has_value();
}

QCoro::Task<HTTPResponse> APIRouter::handle(HTTPRequest request)
{
    const QString &method = request.method;
    const QString &path = request.path;

    if (request.body && jsonNestsDeeperThan(*request.body, kMaxJsonBodyDepth)) {
        co_return HTTPResponse::error(
            QString::fromUtf8("Invalid request body \u2014 JSON nested deeper than %1 levels").arg(kMaxJsonBodyDepth), 400);
    }

    const QStringList components = request.pathComponents();
    const bool isPairingRoute = !components.isEmpty() && components.first() == QLatin1String("pair");
    if (isPairingRoute || (m_config.requirePairing() && request.header(QStringLiteral("authorization")))) {
        // The tokens come from the keychain, which may still be settling just after the start.
        co_await m_pairing.untilTokensWarm();
    }

    if (method == QLatin1String("GET") && path == QLatin1String("/status")) {
        co_return handleGetStatus(isAuthenticated(request));
    }

    if (isPairingRoute) {
        co_return co_await handlePairing(request, components);
    }

    if (m_config.requirePairing()) {
        const std::optional<PairedClient> client = clientForToken(request);
        if (!client) {
            if (request.header(QStringLiteral("authorization")) && m_pairing.cannotTellTokens()) {
                co_return keyringNotAnswering();
            }
            co_return HTTPResponse::error(kUnauthorized, 401);
        }
        m_pairing.updateLastSeen(client->id);
    }

    if (method == QLatin1String("GET") && path == QLatin1String("/services")) {
        co_return handleGetServices();
    }
    if (components.size() >= 2 && components.first() == QLatin1String("services")) {
        const std::optional<ServiceID> id = fromRaw<ServiceID>(components[1]);
        if (!id) {
            co_return HTTPResponse::error(QStringLiteral("Unknown service: ") + components[1], 404);
        }
        if (components.size() == 3) {
            const QString &action = components[2];
            if (method == QLatin1String("POST") && action == QLatin1String("start")) {
                co_return co_await handleStartService(*id);
            }
            if (method == QLatin1String("POST") && action == QLatin1String("stop")) {
                co_return handleStopService(*id);
            }
            if (method == QLatin1String("GET") && action == QLatin1String("config")) {
                co_return handleGetConfig(*id);
            }
            if (method == QLatin1String("PUT") && action == QLatin1String("config")) {
                co_return handlePutConfig(*id, request.body);
            }
            co_return HTTPResponse::notFound();
        }
        if (components.size() == 2 && method == QLatin1String("GET")) {
            co_return handleGetService(*id);
        }
        // Anything else under a known service falls through to the routes below.
    }
    if (path == QLatin1String("/callsign")) {
        if (method == QLatin1String("GET")) {
            co_return handleGetCallsign();
        }
        if (method == QLatin1String("PUT")) {
            co_return handlePutCallsign(request.body);
        }
        co_return HTTPResponse::notFound();
    }
    if (method == QLatin1String("GET") && path == QLatin1String("/serial/ports")) {
        co_return handleGetSerialPorts();
    }
    co_return HTTPResponse::notFound();
}

HTTPResponse APIRouter::handleGetStatus(bool authenticated) const
{
    // Every client polls this route: its body is written straight out, in the key order and the
    // number form a JSON document of these values is written in, rather than built as a document.
    QByteArray body;
    body.reserve(160);
    body += "{\"version\":";
    body += jsonStringLiteral(versionText());
    if (!authenticated) {
        body += '}';
        return HTTPResponse::jsonText(std::move(body), 200);
    }
    const std::chrono::duration<double> uptime = m_clock.wallNow() - launchTime(m_clock);
    body += ",\"uptime\":";
    appendJsonNumber(body, uptime.count());
    body += ",\"services\":[";
    bool first = true;
    for (const ServiceID id : allCases<ServiceID>()) {
        if (!first) {
            body += ',';
        }
        first = false;
        body += jsonStringLiteral(toRaw(m_orchestrator.status(id).state));
    }
    body += "],\"hasCompletedSetup\":";
    body += m_defaults.boolForKey(ConfigStore::Keys::kHasCompletedHelperSetup) ? "true" : "false";
    body += '}';
    return HTTPResponse::jsonText(std::move(body), 200);
}

HTTPResponse APIRouter::handleGetServices() const
{
    QByteArray body = "[";
    for (const ServiceID id : allCases<ServiceID>()) {
        if (body.size() > 1) {
            body += ',';
        }
        body += serviceStatusJson(m_orchestrator.status(id));
    }
    body += ']';
    return HTTPResponse::jsonText(std::move(body), 200);
}

HTTPResponse APIRouter::handleGetService(ServiceID id) const
{
    return HTTPResponse::jsonText(serviceStatusJson(m_orchestrator.status(id)), 200);
}

QCoro::Task<HTTPResponse> APIRouter::handleStartService(ServiceID id)
{
    m_orchestrator.recordActivity(id);
    std::optional<QString> failure;
    try {
        co_await m_orchestrator.startService(id);
    } catch (const HelperError &error) {
        failure = error.description();
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (failure) {
        logStartFailure(id, *failure);
        co_return HTTPResponse::error(*failure, 500);
    }
    const ServiceStatus status = m_orchestrator.status(id);
    if (status.state == ServiceRunState::error) {
        // A start that ended with its child gone (it exited, or was stopped for never listening
        // where clients connect) failed as surely as one that threw; its start path logged why.
        co_return HTTPResponse::error(status.error.value_or(QStringLiteral("%1 did not start").arg(displayName(id))), 500);
    }
    co_return HTTPResponse::jsonText(serviceStatusJson(status), 200);
}

HTTPResponse APIRouter::handleStopService(ServiceID id)
{
    m_orchestrator.recordActivity(id);
    if (m_orchestrator.lifecycleMode(id) == ServiceLifecycleMode::onDemand) {
        m_orchestrator.stopServiceIdle(id);
    } else {
        // After the reply is built, so it still shows the state before the stop.
        ServiceControl &orchestrator = m_orchestrator;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&orchestrator, id] { stopWhenPrepared(orchestrator, id); },
            Qt::QueuedConnection);
    }
    return HTTPResponse::jsonText(serviceStatusJson(m_orchestrator.status(id)), 200);
}

HTTPResponse APIRouter::handleGetConfig(ServiceID id) const
{
    return m_config.visitConfig(id, [](const auto &record) { return HTTPResponse::jsonEncodable(record, 200); });
}

HTTPResponse APIRouter::handlePutConfig(ServiceID id, const std::optional<QByteArray> &body)
{
    ConfigStore &config = m_config;
    const QString invalid = QStringLiteral("Invalid %1 config JSON").arg(displayName(id));
    return config.visitConfig(id, [&](const auto &current) {
        using Record = std::decay_t<decltype(current)>;
        return replaceConfig<Record>(body, current, invalid,
                                     [&config](const Record &record) { return config.setConfig(record); });
    });
}

HTTPResponse APIRouter::handleGetCallsign() const
{
    return HTTPResponse::json({{"callsign", m_config.stationCallsign().toStdString()}}, 200);
}

HTTPResponse APIRouter::handlePutCallsign(const std::optional<QByteArray> &body)
{
    const HTTPResponse invalid = HTTPResponse::error(QStringLiteral("Missing or invalid callsign JSON"), 400);
    if (!body) {
        return invalid;
    }
    Json parsed;
    try {
        parsed = Json::parse(body->cbegin(), body->cend());
    } catch (const std::exception &) {
        return invalid;
    }
    if (!parsed.is_object() || !parsed.contains("callsign") || !parsed["callsign"].is_string()) {
        return invalid;
    }
    const QString callsign = QString::fromStdString(parsed["callsign"].get<std::string>()).toUpper();
    if (holdsControlCharacters(callsign)) {
        return HTTPResponse::error(QString::fromUtf8("Invalid callsign \u2014 it may not hold control characters"), 400);
    }
    if (const auto problem = config_limits::nameProblem("callsign", callsign)) {
        return HTTPResponse::error(QString::fromUtf8("Invalid callsign \u2014 ") + *problem, 400);
    }
    if (const std::optional<QString> failure = m_config.setStationCallsign(callsign)) {
        return notSaved(*failure);
    }
    return HTTPResponse::json({{"callsign", callsign.toStdString()}}, 200);
}

HTTPResponse APIRouter::handleGetSerialPorts() const
{
    return HTTPResponse::jsonEncodable(SerialPortManager::listPorts(), 200);
}

} // namespace cordavelle
