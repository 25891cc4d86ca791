#include "bonjour_advertiser.h"

#include "base/helper_logger.h"
#include "core/config_store.h"
#include "platform/system_info.h"

#include <QSysInfo>
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
    // The name the machine has on the network when the user has given it none of its own.
    QString hostName = m_systemInfo.hostName();
    if (hostName.isEmpty()) {
        hostName = QSysInfo::machineHostName();
    }
    BonjourServiceDescription service;
    service.name = m_config.serviceName();
    service.type = kServiceType;
    service.txt = BonjourTxtRecord{{QStringLiteral("version"), version}, {QStringLiteral("hostname"), hostName}};
    withdraw();
    m_registration = m_bonjour.advertise(service, listener->serverPort());
    BonjourRegistration *registration = m_registration.get();
    connect(registration, &BonjourRegistration::registered, this, [this](const QString &name) {
        HelperLogger::info(QStringLiteral("[BonjourAdvertiser] The helper is advertised over Bonjour as \"") + name +
                               QLatin1Char('"'),
                           HelperLogger::Category::network);
        setAdvertised(true, name);
    });
    connect(registration, &BonjourRegistration::interrupted, this, [this](const QString &reason) {
        HelperLogger::warning(QStringLiteral("[BonjourAdvertiser] The helper is not advertised over Bonjour for now (") + reason +
                                  QStringLiteral("); it is advertised again once avahi-daemon is back"),
                              HelperLogger::Category::network);
        setAdvertised(false, {});
    });
    connect(registration, &BonjourRegistration::failed, this, [this, registration](const QString &error) {
        HelperLogger::error(QStringLiteral("[BonjourAdvertiser] Could not advertise the helper over Bonjour: ") + error,
                            HelperLogger::Category::network);
        // One failure, one line: the registration is done with.
        disconnect(registration, nullptr, this, nullptr);
        setAdvertised(false, {});
    });
    // The advertisement lives exactly as long as the listener it describes.
    connect(listener, &QObject::destroyed, this, [this, registration] {
        if (m_registration.get() == registration) {
            withdraw();
        }
    });
}

void BonjourAdvertiser::withdraw()
{
    m_registration.reset();
    setAdvertised(false, {});
}

void BonjourAdvertiser::setAdvertised(bool advertising, const QString &name)
{
    const bool nameChanged = advertising && m_isAdvertising && name != m_advertisedName;
    m_advertisedName = name;
    if (advertising != m_isAdvertising) {
        m_isAdvertising = advertising;
        Q_EMIT isAdvertisingChanged(advertising);
    } else if (nameChanged) {
        Q_EMIT advertisedNameChanged(name);
    }
}

} // namespace cordavelle
