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
    // published. Registration problems are not watched, as nothing could be done about them.
    void advertise(QTcpServer *listener, const QString &version);

    // True once advertise() published; never goes back to false.
    bool isAdvertising() const { return m_isAdvertising; }
    // The name the service stands under: the registered one once Bonjour has confirmed it (it
    // differs after a name conflict), else the one asked for. Kept until the next advertise(),
    // even when the service-name setting changes meanwhile.
    QString advertisedName() const;
    // The published registration (for its registered name), while the listener lives.
    BonjourRegistration *registration() const { return m_registration.get(); }

Q_SIGNALS:
    void isAdvertisingChanged(bool isAdvertising);

private:
    ConfigStore &m_config;
    Bonjour &m_bonjour;
    SystemInfo &m_systemInfo;
    bool m_isAdvertising = false;
    QString m_requestedName;
    std::unique_ptr<BonjourRegistration> m_registration;
};

} // namespace cordavelle
