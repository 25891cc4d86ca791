#include "helper_keychain_storage.h"

#include "platform/keychain.h"
#include "platform/logger.h"

namespace cordavelle {

namespace {

const Logger &keychainLogger()
{
    static const Logger logger(QStringLiteral("com.kelvo.cordavelle-helper"), QStringLiteral("Keychain"));
    return logger;
}

} // namespace

std::optional<QString> HelperKeychainStorage::token(const QString &clientId) const
{
    QByteArray data;
    if (m_keychain.read(kService, clientId, &data) != Keychain::kSuccess) {
        return std::nullopt;
    }
    QString text = QString::fromUtf8(data);
    if (text.toUtf8() != data) {
        return std::nullopt; // not valid UTF-8
    }
    return text;
}

void HelperKeychainStorage::saveToken(const QString &token, const QString &clientId)
{
    m_keychain.remove(kService, clientId);
    const int status = m_keychain.add(kService, clientId, token.toUtf8());
    if (status != Keychain::kSuccess) {
        keychainLogger().error(QStringLiteral("Failed to save pairing token for %1: OSStatus %2").arg(clientId, QString::number(status)));
    }
}

void HelperKeychainStorage::deleteToken(const QString &clientId)
{
    m_keychain.remove(kService, clientId);
}

std::optional<QStringList> HelperKeychainStorage::tokenOwners() const
{
    QStringList owners;
    const int status = m_keychain.accounts(kService, &owners);
    if (status == Keychain::kItemNotFound) {
        return QStringList();
    }
    return status == Keychain::kSuccess ? std::optional(owners) : std::nullopt;
}

void HelperKeychainStorage::deleteAllTokens() { m_keychain.removeAll(kService); }

} // namespace cordavelle
