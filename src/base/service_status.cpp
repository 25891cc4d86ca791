#include "service_status.h"

namespace cordavelle {

void to_json(Json &j, const ServiceStatus &s)
{
    j = Json::object();
    j["id"] = s.id;
    j["displayName"] = s.displayName;
    j["state"] = s.state;
    j["lifecycleMode"] = s.lifecycleMode;
    if (s.pid) {
        j["pid"] = *s.pid;
    }
    Json ports = Json::object();
    for (const auto &[role, port] : s.ports) {
        ports[role.toStdString()] = port;
    }
    j["ports"] = std::move(ports);
    if (s.error) {
        j["error"] = *s.error;
    }
    if (s.uptime) {
        j["uptime"] = *s.uptime;
    }
}

void from_json(const Json &j, ServiceStatus &status)
{
    const JsonObjectReader r(j);
    ServiceStatus s;
    s.id = r.required<QString>("id");
    s.displayName = r.required<QString>("displayName");
    s.state = r.required<ServiceRunState>("state");
    s.lifecycleMode = r.required<ServiceLifecycleMode>("lifecycleMode");
    s.pid = r.optional<qint64>("pid");
    const Json ports = r.required<Json>("ports");
    try {
        const JsonObjectReader portReader(ports);
        for (const auto &[role, value] : ports.items()) {
            s.ports[QString::fromStdString(role)] = portReader.required<int>(role.c_str());
        }
    } catch (const JsonDecodeError &e) {
        throw e.inMember(QStringLiteral("ports"));
    }
    s.error = r.optional<QString>("error");
    s.uptime = r.optional<double>("uptime");
    status = std::move(s);
}

void to_json(Json &j, const ConnectedClient &c)
{
    j = Json::object();
    j["id"] = c.id;
    j["hostname"] = c.hostname;
    j["platform"] = c.platform;
    j["lastSeen"] = c.lastSeen.toUTC().toString(Qt::ISODate);
    Json services = Json::array();
    for (const QString &service : c.requestedServices) {
        services.push_back(service);
    }
    j["requestedServices"] = std::move(services);
}

void from_json(const Json &j, ConnectedClient &client)
{
    const JsonObjectReader r(j);
    ConnectedClient c;
    c.id = r.required<QString>("id");
    c.hostname = r.required<QString>("hostname");
    c.platform = r.required<QString>("platform");
    const QString lastSeen = r.required<QString>("lastSeen");
    c.lastSeen = QDateTime::fromString(lastSeen, Qt::ISODate);
    if (!c.lastSeen.isValid()) {
        throw JsonDecodeError(QStringLiteral("Expected an ISO 8601 date, found \"%1\"").arg(lastSeen),
                              QStringLiteral("lastSeen"));
    }
    c.requestedServices = r.required<QStringList>("requestedServices");
    client = std::move(c);
}

} // namespace cordavelle
