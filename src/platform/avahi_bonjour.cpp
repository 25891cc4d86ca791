#include "avahi_bonjour.h"

#include "avahi_browser.h"
#include "avahi_link.h"
#include "avahi_registration.h"

#include <utility>

namespace cordavelle {

AvahiBonjour::AvahiBonjour(const QDBusConnection &bus) : m_link(std::make_shared<AvahiLink>(bus)) {}

AvahiBonjour::~AvahiBonjour() = default;

std::unique_ptr<BonjourRegistration> AvahiBonjour::advertise(const BonjourServiceDescription &service, quint16 port)
{
    return std::make_unique<AvahiRegistration>(m_link, service, port);
}

std::unique_ptr<BonjourBrowser> AvahiBonjour::browse(const QString &type, const QString &domain)
{
    return std::make_unique<AvahiBrowser>(m_link, type, domain);
}

QString AvahiBonjour::errorText(const QString &name, const QString &message)
{
    static const std::pair<const char *, const char *> known[] = {
        {"org.freedesktop.Avahi.CollisionError", "the name is already taken"},
        {"org.freedesktop.Avahi.InvalidServiceNameError", "invalid service name"},
        {"org.freedesktop.Avahi.InvalidServiceTypeError", "invalid service type"},
        {"org.freedesktop.Avahi.InvalidDomainNameError", "invalid domain"},
        {"org.freedesktop.Avahi.InvalidPortError", "invalid port"},
        {"org.freedesktop.Avahi.TooManyObjectsError", "avahi-daemon holds too many objects for this program"},
        {"org.freedesktop.Avahi.AccessDeniedError", "avahi-daemon refused this program"},
        {"org.freedesktop.Avahi.TimeoutError", "the service did not answer"},
        {"org.freedesktop.DBus.Error.AccessDenied", "the system bus refused this program access to avahi-daemon"},
    };
    for (const auto &[errorName, text] : known) {
        if (name == QLatin1String(errorName)) {
            return QString::fromLatin1(text);
        }
    }
    if (avahi::failureNamed(name) == avahi::Failure::absent) {
        return avahi::kNotRunning;
    }
    return message.isEmpty() ? name : message;
}

} // namespace cordavelle
