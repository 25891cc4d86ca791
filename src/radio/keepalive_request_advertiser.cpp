#include "keepalive_request_advertiser.h"

#include "base/helper_logger.h"
#include "base/spaces_and_tabs.h"
#include "platform/platform.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace cordavelle {

namespace {

const QString kAdvertiserTag = QStringLiteral("[KeepaliveRequestAdvertiser] ");

} // namespace

KeepaliveRequestAdvertiser &KeepaliveRequestAdvertiser::shared()
{
    static KeepaliveRequestAdvertiser *instance = new KeepaliveRequestAdvertiser(Platform::current().bonjour());
    return *instance;
}

KeepaliveRequestAdvertiser::KeepaliveRequestAdvertiser(Bonjour &bonjour, QObject *parent)
    : QObject(parent), m_bonjour(bonjour)
{
}

KeepaliveRequestAdvertiser::~KeepaliveRequestAdvertiser() = default;

void KeepaliveRequestAdvertiser::startAdvertising(const QString &radioName)
{
    const QString name = trimmedSpacesAndTabs(radioName);
    if (name.isEmpty()) {
        HelperLogger::warning(kAdvertiserTag + QStringLiteral("startAdvertising called with empty radio name — ignoring"),
                              HelperLogger::Category::services);
        return;
    }
    if (m_listener && m_currentRadioName == name) {
        return;
    }
    stopAdvertising();

    auto listener = std::make_unique<QTcpServer>();
    if (!listener->listen(QHostAddress::Any, 0)) {
        HelperLogger::warning(kAdvertiserTag + QStringLiteral("failed to advertise keep-alive request for ") + name
                                  + QStringLiteral(": ") + listener->errorString(),
                              HelperLogger::Category::services);
        return;
    }
    QTcpServer *server = listener.get();
    connect(server, &QTcpServer::newConnection, server, [server] {
        while (QTcpSocket *connection = server->nextPendingConnection()) {
            connection->abort();
            connection->deleteLater();
        }
    });

    BonjourServiceDescription service;
    service.name = QStringLiteral("Cordavelle Keepalive (") + name + QLatin1Char(')');
    service.type = kServiceType;
    service.txt.insert(QStringLiteral("radio"), name);
    m_registration = m_bonjour.advertise(service, listener->serverPort());
    connect(m_registration.get(), &BonjourRegistration::failed, this, &KeepaliveRequestAdvertiser::registrationFailed);
    connect(m_registration.get(), &BonjourRegistration::interrupted, this, [name](const QString &reason) {
        HelperLogger::warning(kAdvertiserTag + QStringLiteral("the keep-alive request for ") + name + QStringLiteral(" does not stand for now (") +
                                  reason + QStringLiteral("); it is published again once avahi-daemon is back"),
                              HelperLogger::Category::services);
    });
    connect(m_registration.get(), &BonjourRegistration::registered, this, [name](const QString &published) {
        HelperLogger::info(kAdvertiserTag + QStringLiteral("keep-alive request for ") + name + QStringLiteral(" stands as \"") + published +
                               QLatin1Char('"'),
                           HelperLogger::Category::services);
    });
    m_listener = std::move(listener);
    m_currentRadioName = name;
    HelperLogger::info(kAdvertiserTag + QStringLiteral("advertising ") + kServiceType + QStringLiteral(" radio=\"") + name
                           + QStringLiteral("\" — Cordavelle will hold this radio's RigControlServer open"),
                       HelperLogger::Category::services);
}

void KeepaliveRequestAdvertiser::registrationFailed(const QString &reason)
{
    const QString name = m_currentRadioName.value_or(QString());
    HelperLogger::warning(kAdvertiserTag + QStringLiteral("failed to advertise keep-alive request for ") + name + QStringLiteral(": ") +
                              reason,
                          HelperLogger::Category::services);
    // Nothing stands any more: a later start for this radio must try again rather than take the
    // failed one for a standing request. The registration is the sender, so it goes later.
    if (m_registration) {
        m_registration->disconnect(this);
        m_registration.release()->deleteLater();
    }
    if (m_listener) {
        m_listener->close();
        m_listener.reset();
    }
    m_currentRadioName.reset();
    Q_EMIT advertisingFailed(name, reason);
}

std::optional<quint16> KeepaliveRequestAdvertiser::listeningPort() const
{
    return m_listener && m_listener->isListening() ? std::optional(m_listener->serverPort()) : std::nullopt;
}

void KeepaliveRequestAdvertiser::stopAdvertising()
{
    if (m_listener && m_registration) {
        // Said to be stopped only once the daemon has taken it off the network: until then the
        // client may go on holding the radio's rig control open for it.
        const QString radio = m_currentRadioName.value_or(QString());
        BonjourRegistration *withdrawing = m_registration.release();
        withdrawing->disconnect(this);
        withdrawing->setParent(this);
        connect(withdrawing, &BonjourRegistration::withdrawalPending, this, [radio](const QString &reason) {
            HelperLogger::warning(kAdvertiserTag + QStringLiteral("withdrawal of the keep-alive request for radio=\"") + radio +
                                      QStringLiteral("\" still pending (") + reason + QLatin1Char(')'),
                                  HelperLogger::Category::services);
        });
        connect(withdrawing, &BonjourRegistration::withdrawn, this, [withdrawing, radio] {
            HelperLogger::info(kAdvertiserTag + QStringLiteral("stopped advertising for radio=\"") + radio + QLatin1Char('"'),
                               HelperLogger::Category::services);
            withdrawing->deleteLater();
        });
        withdrawing->withdraw();
    }
    if (m_listener) {
        m_listener->close();
    }
    m_registration.reset();
    m_listener.reset();
    m_currentRadioName.reset();
}

} // namespace cordavelle
