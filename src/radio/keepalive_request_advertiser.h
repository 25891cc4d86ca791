#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QTcpServer;

namespace cordavelle {

class Bonjour;
class BonjourRegistration;

// Asks the client to keep one radio's rig control open: while an announcement naming the
// radio stands, the client holds that radio's rig-control server open. The announcement carries
// no data; connections to its port are closed as soon as they arrive.
class KeepaliveRequestAdvertiser final : public QObject {
    Q_OBJECT
public:
    static inline const QString kServiceType = QStringLiteral("_cordavelle-keepalive-request._tcp");

    static KeepaliveRequestAdvertiser &shared();

    explicit KeepaliveRequestAdvertiser(Bonjour &bonjour, QObject *parent = nullptr);
    ~KeepaliveRequestAdvertiser() override;

    // Announces a keep-alive request for `radioName` (trimmed of spaces and tabs), replacing one
    // for another radio. A blank name is refused with a warning and changes nothing.
    void startAdvertising(const QString &radioName);
    // Withdraws the announcement, if one stands.
    void stopAdvertising();

    // The radio being announced, if any.
    std::optional<QString> advertisedRadioName() const { return m_currentRadioName; }
    // The port of the announcement's listener while one stands: a port of the helper's own.
    std::optional<quint16> listeningPort() const;

Q_SIGNALS:
    // The request for `radioName` could not be published (every name taken, a daemon error): it
    // does not stand, and nothing is advertised any more.
    void advertisingFailed(const QString &radioName, const QString &reason);

private:
    void registrationFailed(const QString &reason);
    Bonjour &m_bonjour;
    // The listener whose port the announcement carries, and the announcement itself.
    std::unique_ptr<QTcpServer> m_listener;
    std::unique_ptr<BonjourRegistration> m_registration;
    std::optional<QString> m_currentRadioName;
};

} // namespace cordavelle
