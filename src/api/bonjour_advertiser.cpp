#include "bonjour_advertiser.h"

#include "core/config_store.h"
#include "platform/system_info.h"

#include <QTcpServer>

namespace cordavelle {

BonjourAdvertiser::BonjourAdvertiser(ConfigStore &config, Bonjour &bonjour, SystemInfo &systemInfo, QObject *parent)
    : QObject(parent), m_config(config), m_bonjour(bonjour), m_systemInfo(systemInfo)
{
}

BonjourAdvertiser::~BonjourAdvertiser() = default;

void BonjourAdvertiser::advertise(QTcpServer *listener, const QString &version)
{
    if (!listener || !listener->isListening()) {
        return;
    }
    QString hostName = m_systemInfo.hostName();
    if (hostName.isEmpty()) {
        hostName = QStringLiteral("Mac");
    }
    BonjourServiceDescription service;
    service.name = m_config.serviceName();
    service.type = kServiceType;
    service.txt = BonjourTxtRecord{{QStringLiteral("version"), version}, {QStringLiteral("hostname"), hostName}};
    m_requestedName = service.name;
    m_registration = m_bonjour.advertise(service, listener->serverPort());
    // The advertisement lives exactly as long as the listener it describes.
    connect(listener, &QObject::destroyed, this, [this] { m_registration.reset(); });

    if (!m_isAdvertising) {
        m_isAdvertising = true;
        Q_EMIT isAdvertisingChanged(true);
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
