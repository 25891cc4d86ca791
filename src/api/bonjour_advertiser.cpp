#include "bonjour_advertiser.h"

#include "core/config_store.h"
#include "platform/platform.h"

#include <QTcpServer>

namespace cordavelle {

BonjourAdvertiser::BonjourAdvertiser(ConfigStore *config, QObject *parent) : QObject(parent), m_config(config) {}

BonjourAdvertiser::~BonjourAdvertiser() = default;

void BonjourAdvertiser::advertise(QTcpServer *listener, const QString &version)
{
    if (!listener || !listener->isListening()) {
        return;
    }
    QString hostName = Platform::current().systemInfo().hostName();
    if (hostName.isEmpty()) {
        hostName = QStringLiteral("Mac");
    }
    BonjourServiceDescription service;
    service.name = (m_config ? *m_config : ConfigStore::shared()).serviceName();
    service.type = kServiceType;
    service.txt = BonjourTxtRecord{{QStringLiteral("version"), version}, {QStringLiteral("hostname"), hostName}};
    m_requestedName = service.name;
    m_registration = Platform::current().bonjour().advertise(service, listener->serverPort());
    // The advertisement lives exactly as long as the listener it describes.
    connect(listener, &QObject::destroyed, this, [this] { m_registration.reset(); });

    if (!m_isAdvertising) {
        m_isAdvertising = true;
        emit isAdvertisingChanged(true);
    }
}

QString BonjourAdvertiser::advertisedName() const
{
    if (m_registration && !m_registration->registeredName().isEmpty()) {
        return m_registration->registeredName();
    }
    return m_requestedName;
}

} // namespace cordavelle
