#pragma once

#include "platform/bonjour.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QTcpServer;

namespace cordavelle {

class ConfigStore;
class SystemInfo;

// Announces the local HTTP API as "_cordavelle-helper._tcp" on the port its listener holds, with
// the helper's version and the machine's name, for as long as that listener lives.
class BonjourAdvertiser : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isAdvertising READ isAdvertising NOTIFY isAdvertisingChanged)

public:
    static inline const QString kServiceType = QStringLiteral("_cordavelle-helper._tcp");

    // Reads the service name from `config` and the machine's name from `systemInfo` at each
    // advertise().
    BonjourAdvertiser(ConfigStore &config, Bonjour &bonjour, SystemInfo &systemInfo, QObject *parent = nullptr);
    ~BonjourAdvertiser() override;

    // Publishes the service on the listener's port. Without a listening listener nothing is
    // published. A failure to publish is logged once and leaves the helper not advertised.
    void advertise(QTcpServer *listener, const QString &version);

    // True while Bonjour confirms that the service stands on the network: not before the
    // daemon has answered, not after it refused, and not once the listener is gone.
    bool isAdvertising() const { return m_isAdvertising; }
    // The name the service stands under while advertising (it differs from the one asked for
    // after a name conflict); empty otherwise. Kept when the service-name setting changes.
    QString advertisedName() const { return m_isAdvertising ? m_advertisedName : QString(); }

Q_SIGNALS:
    void isAdvertisingChanged(bool isAdvertising);
    // The name changed while advertising (a conflict renamed the service).
    void advertisedNameChanged(const QString &name);

private:
    ConfigStore &m_config;
    Bonjour &m_bonjour;
    SystemInfo &m_systemInfo;
    void setAdvertised(bool advertising, const QString &name);
    void withdraw();

    bool m_isAdvertising = false;
    QString m_advertisedName;
    std::unique_ptr<BonjourRegistration> m_registration;
};

} // namespace cordavelle
